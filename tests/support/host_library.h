// What the hosts run in the test bed share: the library loaded from the
// host's own directory, as players load it, and the "key = value" lines the
// drivers read back (bed_results.py).
#ifndef VESK_TESTS_SUPPORT_HOST_LIBRARY_H
#define VESK_TESTS_SUPPORT_HOST_LIBRARY_H

#include <vesk/vesk.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace vesk::test {

// The library beside the host program, unloaded when this goes (after the
// manager's release). getManager is null when the library or its export is
// missing; missing() then prints "error = no library" and returns the
// host's exit code for it, 3.
class HostLibrary {
    plat::Module module_;  // first: getManager is looked up in it

public:
    HostLibrary()
        : module_(plat::loadModule(plat::directoryOf(plat::modulePath(reinterpret_cast<const void*>(&anchor))) +
                                   plat::sharedLibraryName("vesk"))),
          getManager(reinterpret_cast<VeskGetManagerFn>(plat::findSymbol(module_, "getManager"))),
          getInitReport(reinterpret_cast<VeskGetInitReportFn>(plat::findSymbol(module_, "getInitReport"))) {}
    ~HostLibrary() { plat::unloadModule(module_); }
    HostLibrary(const HostLibrary&) = delete;
    HostLibrary& operator=(const HostLibrary&) = delete;

    const VeskGetManagerFn getManager;
    const VeskGetInitReportFn getInitReport;  // null in a library older than it

    static int missing() {
        std::printf("error = no library\n");
        return 3;
    }

private:
    // An address inside the host program itself (this header is compiled into it).
    static void anchor() {}
};

// A fixed-size text field of a record: up to its first NUL, or all of it.
template <std::size_t N>
std::string text(const char (&f)[N]) {
    return std::string(f, strnlen(f, N));
}

// Bytes as two-digit lower-case hex separated by blanks: "87 05 49".
inline std::string hex(const std::uint8_t* p, std::uint32_t n) {
    std::string s;
    char b[4];
    for (std::uint32_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02x" : "%02x", p[i]);
        s += b;
    }
    return s;
}

inline void put(const std::string& key, const std::string& value) {
    std::printf("%s = %s\n", key.c_str(), value.c_str());
}
inline void put(const std::string& key, long long value) { std::printf("%s = %lld\n", key.c_str(), value); }

}  // namespace vesk::test

#endif
