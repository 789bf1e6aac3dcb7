// INI files on POSIX: parsed here the way the Windows private-profile
// functions read them.
#include "profile.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/platform.h"

namespace scci2vesk {

namespace {

// An INI file parsed the way the Windows private-profile functions see it:
// lines trimmed, "[name]" up to the last ']' opens a section, lines before
// the first section belong to none, key and value trimmed around the first
// '='. A line without '=' is a key without value.
struct ProfileKey {
    std::string name;
    std::string value;
    bool hasValue = false;
};
struct ProfileSection {
    std::string name;
    bool named = false;
    std::vector<ProfileKey> keys;
};

bool profileSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::vector<ProfileSection> loadProfile(const std::string& path) {
    std::vector<ProfileSection> sections;
    std::string text;
    if (!vesk::plat::readFile(path, text)) return sections;
    sections.emplace_back();  // the lines before any section header
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        std::size_t b = pos, e = eol;
        pos = eol + 1;
        while (b < e && profileSpace(text[b])) ++b;
        while (e > b && profileSpace(text[e - 1])) --e;
        if (b == e) continue;
        if (text[b] == '[') {
            std::size_t close = text.rfind(']', e - 1);
            if (close != std::string::npos && close > b) {
                ProfileSection sec;
                sec.name = text.substr(b + 1, close - b - 1);
                sec.named = true;
                sections.push_back(std::move(sec));
                continue;
            }
        }
        ProfileKey key;
        std::size_t eq = text.find('=', b);
        if (eq != std::string::npos && eq < e) {
            std::size_t ne = eq;
            while (ne > b && profileSpace(text[ne - 1])) --ne;
            std::size_t vb = eq + 1;
            while (vb < e && profileSpace(text[vb])) ++vb;
            key.name = text.substr(b, ne - b);
            key.value = text.substr(vb, e - vb);
            key.hasValue = true;
        } else {
            key.name = text.substr(b, e - b);
        }
        sections.back().keys.push_back(std::move(key));
    }
    return sections;
}

bool sameNameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Copies at most room - 2 characters of s and a terminator to b, as the
// Windows functions fill their buffers; returns the characters copied.
std::size_t copyCut(char* b, const std::string& s, std::size_t room) {
    std::size_t n = room >= 2 ? std::min(s.size(), room - 2) : 0;
    std::memcpy(b, s.data(), n);
    b[n] = '\0';
    return n;
}

}  // namespace

// Both fill a buffer of kProfileBufferSize bytes step by step as
// GetPrivateProfileSectionNamesA / GetPrivateProfileSectionA do, so that
// cut strings end where they end on Windows.
std::vector<std::string> profileSectionNames(const std::string& path) {
    char buf[kProfileBufferSize] = {};
    char* b = buf;
    std::size_t room = kProfileBufferSize - 1;
    for (const auto& sec : loadProfile(path)) {
        if (!sec.named || sec.name.empty()) continue;
        const std::size_t need = sec.name.size() + 1;
        if (need >= room) {
            std::memcpy(b, sec.name.data(), room - 1);
            b[room - 1] = '\0';
            b[room] = '\0';
            return detail::splitProfileBuffer(buf, sizeof buf);
        }
        std::memcpy(b, sec.name.c_str(), need);
        b += need;
        room -= need;
    }
    *b = '\0';
    return detail::splitProfileBuffer(buf, sizeof buf);
}

std::vector<std::string> profileSection(const std::string& path, const std::string& section) {
    char buf[kProfileBufferSize] = {};
    for (const auto& sec : loadProfile(path)) {
        if (!sec.named || !sameNameIgnoringCase(sec.name, section)) continue;
        char* b = buf;
        std::size_t room = kProfileBufferSize;
        for (const auto& key : sec.keys) {
            if (room <= 2) break;
            if (key.name.empty() && !key.hasValue) continue;
            if (!key.name.empty() && key.name[0] == ';') continue;
            std::size_t n = copyCut(b, key.name, room);
            room -= n + 1;
            b += n + 1;
            if (room < 2) break;
            if (key.hasValue) {
                b[-1] = '=';
                n = copyCut(b, key.value, room);
                room -= n + 1;
                b += n + 1;
            }
        }
        if (room >= 1) *b = '\0';
        if (room <= 1) b[-1] = '\0';
        break;
    }
    return detail::splitProfileBuffer(buf, sizeof buf);
}

}  // namespace scci2vesk
