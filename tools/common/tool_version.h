// --version, as every tool answers it: the tool's own version and, for the
// tools that load the library, the version of the library they would load
// (a player's problem report needs both: the library beside it may be
// another release's).
#pragma once

#include <vesk/vesk.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "vesk_version.h"

namespace vesk::tools {

// The library a tool loads: the one in the folder of the module holding
// anchor (the tool's own).
inline std::string libraryBeside(const void* anchor) {
    return plat::directoryOf(plat::modulePath(anchor)) + plat::sharedLibraryName("vesk");
}

// Prints "<tool> <version>" and, when libraryPath is given, a line for that
// library: its version, or why it has none (cannot be loaded; older than
// the version export). The library is loaded and unloaded again; nothing of
// it is started.
inline void printVersion(const char* tool, const std::string& libraryPath = {}) {
    std::printf("%s %s\n", tool, VESK_VERSION_TEXT);
    if (libraryPath.empty()) return;
    plat::Module lib = plat::loadModule(libraryPath);
    if (!lib) {
        std::printf("library %s: cannot be loaded\n", libraryPath.c_str());
        return;
    }
    auto version = reinterpret_cast<VeskGetVersionFn>(plat::findSymbol(lib, "getVeskVersion"));
    std::printf("library %s %s\n", libraryPath.c_str(),
                version ? version() : "(a release before 0.9.0: it does not tell its version)");
    plat::unloadModule(lib);
}

}  // namespace vesk::tools
