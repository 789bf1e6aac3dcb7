// The adapter's export: loads vesk from the adapter's own directory.
#include <new>
#include <string>

#include "adapter_manager.h"
#include "platform/platform.h"

namespace {

// The adapter's directory, trailing separator included ("" when the module
// path has none); vesk and the INI file are looked for here.
std::string adapterDirectory() {
    return vesk::plat::directoryOf(vesk::plat::modulePath(reinterpret_cast<const void*>(&adapterDirectory)));
}

}  // namespace

extern "C" SCCI2VESK_EXPORT SoundInterfaceManager* getSoundInterfaceManager(void) {
    const std::string dir = adapterDirectory();
    vesk::plat::Module library = vesk::plat::loadModule(dir + vesk::plat::sharedLibraryName("vesk"));
    if (!library) return nullptr;
    auto getManager = reinterpret_cast<VeskGetManagerFn>(vesk::plat::findSymbol(library, "getManager"));
    if (!getManager) return nullptr;
    VeskManager* manager = getManager();
    if (!manager) return nullptr;
    auto* adapter = new (std::nothrow) scci2vesk::AdapterManager(library, manager, dir + "scci2vesk.ini");
    if (!adapter) {
        manager->release();
        vesk::plat::unloadModule(library);
    }
    return adapter;
}
