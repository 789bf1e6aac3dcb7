// INI files on Windows: the private-profile functions themselves.
#include "profile.h"

#include <windows.h>

namespace scci2vesk {

namespace {

// The private-profile functions take 8-bit paths in the ANSI code page.
std::string ansiPath(const std::string& utf8) {
    const int wide = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (wide <= 0) return std::string();
    std::wstring w(static_cast<std::size_t>(wide), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &w[0], wide);
    int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

}  // namespace

std::vector<std::string> profileSectionNames(const std::string& path) {
    char buf[kProfileBufferSize] = {};
    GetPrivateProfileSectionNamesA(buf, sizeof buf, ansiPath(path).c_str());
    return detail::splitProfileBuffer(buf, sizeof buf);
}

std::vector<std::string> profileSection(const std::string& path, const std::string& section) {
    char buf[kProfileBufferSize] = {};
    GetPrivateProfileSectionA(section.c_str(), buf, sizeof buf, ansiPath(path).c_str());
    return detail::splitProfileBuffer(buf, sizeof buf);
}

}  // namespace scci2vesk
