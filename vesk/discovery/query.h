// Board and slot queries: fill the board records, the transport settings
// and the chip records from the boards' answers.
#ifndef VESK_DISCOVERY_QUERY_H
#define VESK_DISCOVERY_QUERY_H

#include <vesk/vesk.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <vector>

#include "discovery/discovery.h"

namespace vesk {

class InitReport;

// Per-board transport timing, filled by the board query.
struct BoardSettings {
    std::uint8_t idleMs;  // keep-alive after this many ms without writes
    std::uint8_t gapMs;   // a batch closes after this many ms without writes
};

// Gap time given to every transport, ms.
constexpr std::uint8_t kBatchGapMs = 2;

struct SlotResult {
    bool present = false;
    VeskChipInfo info{};
};

// Stores one received board reply (L 40 00 item value...) into the record by
// the reply's own item byte. Ignores replies whose byte 1 is not 0x40 or whose
// byte 2 is not 0, and unknown items. Reads only the bytes received: a
// number whose position lies beyond them is not stored; a text is cut to what
// arrived. Returns true when a field was stored.
bool applyBoardReply(const std::uint8_t* reply, std::size_t length, VeskBoardInfo& board, BoardSettings& settings);

// The same for a slot reply (byte 2 not 0); the slot byte itself is not
// compared with the slot being asked.
bool applySlotReply(const std::uint8_t* reply, std::size_t length, SlotResult& slot);

// Copies a text value into a fixed field: zeros beyond the text, no
// terminator when it fills the field, all zeros when it is longer.
void copyTextField(char* field, std::size_t fieldSize, const std::uint8_t* text, std::size_t length);

// Asks every board, in endpoint order, items 00 01 04 05 06 07 0B (one
// receive of up to 128 bytes after each, 200 ms), after setting the
// library's own fields. boards and settings hold one zeroed entry per endpoint.
// The report (when given) names each board with a socket that answered none
// of the items.
void queryBoards(const std::list<BoardEndpoint>& endpoints, VeskBoardInfo* boards, BoardSettings* settings,
                 InitReport* report = nullptr);

// Asks every slot of every board items 00..05; one result per slot, in
// board then slot order, present or not.
std::vector<SlotResult> querySlots(const std::list<BoardEndpoint>& endpoints, const VeskBoardInfo* boards);

// Copies an address text into a 65-byte record field (at most 64 characters,
// always terminated).
void copyAddressField(char (&field)[65], const std::string& text);

}  // namespace vesk

#endif
