#include "discovery/firmware.h"

#include <cstring>

#include "platform/platform.h"

namespace vesk {

std::string firmwareWarningText(const char* boardAddress) {
    const std::uint32_t major = kMinimumFirmware >> 24, minor = (kMinimumFirmware >> 16) & 0xFF,
                        patch = (kMinimumFirmware >> 8) & 0xFF;
    const std::string version = std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
    // The address field is at most 64 characters and always terminated.
    return "[" + std::string(boardAddress, strnlen(boardAddress, 65)) + "] のボードのファームウェアバージョンを " +
           version + " にアップデートしてください";
}

void checkFirmware(const VeskBoardInfo* boards, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i)
        if (boards[i].firmwareVersion < kMinimumFirmware)
            plat::messageBox(firmwareWarningText(boards[i].boardAddress), "firmware warning");
}

}  // namespace vesk
