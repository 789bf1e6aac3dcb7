// What the plain C SCCI host needs from the platform: loading the adapter
// from the program's own directory as players do, and reaching the stand-in
// D2XX library the YM2610+H link loads.
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace {
vesk::plat::Module g_adapter;
vesk::plat::Module g_d2xx;

std::string hostDirectory() {
    return vesk::plat::directoryOf(vesk::plat::modulePath(reinterpret_cast<const void*>(&hostDirectory)));
}
}  // namespace

extern "C" void* scci_host_load(void) {
    g_adapter = vesk::plat::loadModule(hostDirectory() + vesk::plat::sharedLibraryName("scci2vesk"));
    return vesk::plat::findSymbol(g_adapter, "getSoundInterfaceManager");
}

extern "C" void scci_host_unload(void) {
    vesk::plat::unloadModule(g_adapter);
    g_adapter = nullptr;
    vesk::plat::unloadModule(g_d2xx);
    g_d2xx = nullptr;
}

// Puts the stand-in D2XX library (beside the program) where the library
// looks for the vendor's: the system directory on Windows. Elsewhere the
// dynamic loader's search path is set up by the test. The old file is
// removed first: the Wine prefix's files may be hard links into a cache.
extern "C" int scci_host_install_d2xx(const char* fakeName) {
    if (vesk::plat::systemDirectory().empty()) return 1;
    std::string data;
    if (!vesk::plat::readFile(hostDirectory() + fakeName, data)) return 0;
    const std::string target = vesk::plat::systemLibraryPath("ftd2xx");
    std::remove(target.c_str());
    FILE* f = std::fopen(target.c_str(), "wb");
    if (!f) return 0;
    bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok ? 1 : 0;
}

// The stand-in's call log (one call a line), or -1 when it is not loaded.
extern "C" int scci_host_d2xx_log(char* out, int capacity) {
    if (!g_d2xx) g_d2xx = vesk::plat::loadModule(vesk::plat::systemLibraryPath("ftd2xx"));
    using LogFn = int (*)(char*, int);
    auto fn = reinterpret_cast<LogFn>(vesk::plat::findSymbol(g_d2xx, "fake_d2xx_log"));
    return fn ? fn(out, capacity) : -1;
}

extern "C" void scci_host_sleep_ms(int ms) {
    vesk::plat::sleepUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms));
}
