#include "discovery/tap_switch.h"

#include <thread>

namespace vesk {

void TapSwitch::setUp(const std::string& path) {
    count_ = 0;
    module_ = plat::loadModule(path);
    if (!module_) return;
    getTapSwitchNum_ = reinterpret_cast<int (*)()>(plat::findSymbol(module_, "getTapSwitchNum"));
    switchTapSwitch_ = reinterpret_cast<int (*)(int, int)>(plat::findSymbol(module_, "switchTapSwitch"));
    if (!getTapSwitchNum_ || !switchTapSwitch_) {
        // Calling a missing entry point would crash the host: treat as absent.
        plat::unloadModule(module_);
        module_ = nullptr;
        getTapSwitchNum_ = nullptr;
        switchTapSwitch_ = nullptr;
        return;
    }
    count_ = static_cast<std::uint32_t>(getTapSwitchNum_());
    if (count_ != 0) {
        switchTapSwitch_(0, 1);  // only switch 0 is ever operated
        std::this_thread::sleep_for(settleTime);
    }
}

void TapSwitch::release() {
    if (!module_) return;
    if (count_ != 0) switchTapSwitch_(0, 0);
    plat::unloadModule(module_);
    module_ = nullptr;
    getTapSwitchNum_ = nullptr;
    switchTapSwitch_ = nullptr;
}

}  // namespace vesk
