// Helpers shared by the chip suites: records, chips on fake transports, and
// payloads written as hex text ("06 00 21 10 3f 05 91").
#ifndef VESK_TESTS_SUPPORT_CHIP_TEST_UTIL_H
#define VESK_TESTS_SUPPORT_CHIP_TEST_UTIL_H

#include <vesk/vesk.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "chips/chip.h"
#include "chips/chip_table.h"
#include "chips/opn.h"
#include "chips/ym2610h.h"
#include "support/fake_board_link.h"

namespace vesk {

// What the suites check of a chip's own state.
struct ChipTestAccess {
    static std::uint8_t slotNibble(const Chip& c) { return c.slotNibble_; }
    static std::uint32_t flushThreshold(const Chip& c) { return c.flushThreshold_; }
    static const BoardLink* link(const Chip& c) { return c.link_; }
    static std::uint8_t sampleWriteMode(const Chip& c) { return c.sampleStream_.mode; }
    static std::uint32_t prescalerThreshold(const ChipOPNPrescaled& c) { return c.prescalerThreshold_; }
    static std::uint8_t linkOpen(const ChipYM2610H& c) { return c.linkOpen_; }
    static std::uint32_t bankSize(const ChipYM2610H& c, int bank) { return c.bankSize_[bank]; }
    static std::thread& uploadThread(ChipYM2610H& c, int bank) { return c.uploadThread_[bank]; }
    static std::uint32_t failedTransfers(const ChipYM2610H& c) { return c.failedTransfers_.load(); }
};

}  // namespace vesk

namespace vesk::test {

inline std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    char b[4];
    for (std::uint8_t v : bytes) {
        std::snprintf(b, sizeof b, s.empty() ? "%02x" : " %02x", v);
        s += b;
    }
    return s;
}

struct RecordSpec {
    const char* name = "YM2151";
    std::uint32_t clock = 4000000;
    std::uint32_t slot = 0;
    bool variableClock = false;
    bool hardwareReset = false;
    const char* extInfo = "";
    const char* address = "fe80::1";
};

inline VeskChipInfo makeRecord(const RecordSpec& s) {
    VeskChipInfo r{};
    r.variableClock = s.variableClock;
    r.hardwareReset = s.hardwareReset;
    r.clock = s.clock;
    // Fields may be filled to the last byte, without a terminator.
    std::memcpy(r.name, s.name, std::min(std::strlen(s.name), sizeof r.name));
    std::memcpy(r.extInfo, s.extInfo, std::min(std::strlen(s.extInfo), sizeof r.extInfo));
    r.slot = s.slot;
    std::strncpy(r.address, s.address, sizeof r.address - 1);
    return r;
}

// A chip built by the chip table's own factory, on its own fake board. The
// record lives here because the chip keeps a pointer to it.
struct ChipOnBoard {
    explicit ChipOnBoard(const RecordSpec& spec, std::uint32_t bufferSize = 4096)
        : record(makeRecord(spec)),
          transport(std::make_unique<fake::FakeBoardLink>(spec.address, bufferSize)),
          chip(createChip(transport.get(), &record)) {}
    fake::Board& board() { return transport->board(); }
    // Everything sent since the last call, as hex lines ("R " marks a request).
    std::vector<std::string> take() {
        std::vector<std::string> out;
        for (const auto& e : board().snapshot()) out.push_back((e.isRequest ? "R " : "") + hex(e.bytes));
        board().clear();
        return out;
    }

    VeskChipInfo record;
    std::unique_ptr<fake::FakeBoardLink> transport;
    std::unique_ptr<Chip> chip;
};

}  // namespace vesk::test

#endif  // VESK_TESTS_SUPPORT_CHIP_TEST_UTIL_H
