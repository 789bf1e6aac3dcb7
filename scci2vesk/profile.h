// The adapter's INI file reading, one file per system: profile_win.cpp asks
// Windows, profile_posix.cpp reproduces what Windows returns.
#ifndef SCCI2VESK_PROFILE_H
#define SCCI2VESK_PROFILE_H

#include <cstddef>
#include <string>
#include <vector>

namespace scci2vesk {

// Private-profile reading with the Windows rules on every platform: Windows
// calls GetPrivateProfileSectionNamesA / GetPrivateProfileSectionA, POSIX
// reproduces what they return. Each call sees only what a buffer of
// kProfileBufferSize bytes holds (a string cut by the end of the buffer is
// returned cut). Lines come back trimmed, as "key=value" with the blanks
// around "=" removed, or as the bare line when it has no "="; blank lines and
// lines starting with ';' are left out. Section names are matched without
// regard to letter case; of several sections with one name, the first is
// read. A missing file gives no strings.
constexpr std::size_t kProfileBufferSize = 1024;
std::vector<std::string> profileSectionNames(const std::string& path);
std::vector<std::string> profileSection(const std::string& path, const std::string& section);

namespace detail {
// The strings of a double-NUL-terminated list, up to the first empty one.
inline std::vector<std::string> splitProfileBuffer(const char* buf, std::size_t size) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < size && buf[pos]) {
        std::size_t end = pos;
        while (end < size && buf[end]) ++end;
        out.emplace_back(buf + pos, end - pos);
        pos = end + 1;
    }
    return out;
}
}  // namespace detail

}  // namespace scci2vesk

#endif  // SCCI2VESK_PROFILE_H
