// Small text helpers the player's parts share.
#ifndef VESK_PLAY_TEXT_H
#define VESK_PLAY_TEXT_H

#include <cstdio>
#include <cstring>
#include <string>

namespace vesk::play {

// A fixed-size record field, up to its first NUL.
template <std::size_t N>
std::string text(const char (&f)[N]) {
    return std::string(f, strnlen(f, N));
}

inline std::string baseName(const std::string& path) {
    std::size_t at = path.find_last_of("/\\");
    return at == std::string::npos ? path : path.substr(at + 1);
}

// "m:ss.s"
inline std::string minutes(double s) {
    char b[32];
    int m = static_cast<int>(s / 60);
    std::snprintf(b, sizeof b, "%d:%04.1f", m, s - 60.0 * m);
    return b;
}

}  // namespace vesk::play

#endif  // VESK_PLAY_TEXT_H
