// Loads the vesk library from the program's own directory and fetches
// getManager by name, exactly as the companion programs and players do.
#include <string>

#include "platform/platform.h"

namespace {
vesk::plat::Module g_module;
}

extern "C" void* vesk_host_load_manager_fn(void) {
    std::string dir =
        vesk::plat::directoryOf(vesk::plat::modulePath(reinterpret_cast<const void*>(&vesk_host_load_manager_fn)));
    g_module = vesk::plat::loadModule(dir + vesk::plat::sharedLibraryName("vesk"));
    return vesk::plat::findSymbol(g_module, "getManager");
}

extern "C" void vesk_host_unload(void) {
    vesk::plat::unloadModule(g_module);
    g_module = nullptr;
}
