// The optional external switch library (tap_switch) beside vesk.
#ifndef VESK_DISCOVERY_TAP_SWITCH_H
#define VESK_DISCOVERY_TAP_SWITCH_H

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace vesk {

class TapSwitch {
public:
    // How long init waits after switching on; tests shorten it.
    std::chrono::milliseconds settleTime{8000};

    // Loads the library at path. When it exports both "getTapSwitchNum" and
    // "switchTapSwitch" and reports at least one switch, turns switch 0 on
    // and sleeps settleTime. A library lacking either entry point is
    // unloaded and treated as absent. Nothing is reported in any case.
    void setUp(const std::string& path);

    // Turns switch 0 off (when the count was not 0) and unloads the library.
    void release();

    bool loaded() const { return module_ != nullptr; }
    std::uint32_t count() const { return count_; }

private:
    plat::Module module_ = nullptr;
    std::uint32_t count_ = 0;
    int (*getTapSwitchNum_)() = nullptr;
    int (*switchTapSwitch_)(int, int) = nullptr;
};

}  // namespace vesk

#endif
