// Warning for boards whose firmware predates 0.9.3.
#ifndef VESK_DISCOVERY_FIRMWARE_H
#define VESK_DISCOVERY_FIRMWARE_H

#include <cstdint>
#include <string>

#include <vesk/vesk.h>

namespace vesk {

// 0.9.3 in the record's form: major<<24 | minor<<16 | patch<<8.
constexpr std::uint32_t kMinimumFirmware = 0x00090300;

std::string firmwareWarningText(const char* boardAddress);

// One modal "firmware warning" box per out-of-date board, in board order.
// A board that never answered (version 0) counts as out of date.
void checkFirmware(const VeskBoardInfo* boards, std::uint32_t count);

}  // namespace vesk

#endif
