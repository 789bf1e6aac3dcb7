// Building the chip objects from the slot records, and tearing them down.
#ifndef VESK_CHIPS_CHIP_TABLE_H
#define VESK_CHIPS_CHIP_TABLE_H

#include <vesk/vesk.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vesk {

class BoardLink;
class Chip;

// Board address text -> positions of that board's chips in the chip vector.
using ChipLookup = std::unordered_map<std::string, std::vector<std::uint32_t>>;

// The "PRE13=" setting of an extInfo field (at most its 32 bytes are read):
// the decimal number after the first "PRE13=" as strtol would read it
// (blanks, sign, digits), kept as its 32-bit pattern. 0 when there is no
// "PRE13=", no digits follow it, or the number does not fit in 32 signed
// bits.
std::uint32_t prescalerThresholdFrom(const char* extInfo);

// Builds the chip object for one record: the class the catalogue
// (chip_models.def) gives its model name (exact, case-sensitive; an unknown
// name gives ChipUnknown), the shared construction (clock command, slot
// reset) and the model's set-up (waits, silence table, and for YM2610+H the
// USB link). The record must outlive the chip. Talks to the board; throws std::bad_alloc.
Chip* createChip(BoardLink* transport, VeskChipInfo* record);

// Appends one chip per record whose address names a board of links (by
// BoardLink::address), board by board in list order and records in their order, and gives every
// board of the list a key in lookup (the first of two equal addresses keeps
// its entry; the second gets no chips). Records of unknown boards get no
// chip. The records must outlive the chips.
void buildChipTable(const std::vector<BoardLink*>& links, VeskChipInfo* records, std::uint32_t count,
                    std::vector<VeskChip*>& chips, ChipLookup& lookup);

// Destroys every chip of the vector (joining any upload thread) and leaves
// null in its place; the vector keeps its length. Touches neither the
// records (release frees them first) nor the transports (destroyed after).
void destroyChipTable(std::vector<VeskChip*>& chips);

}  // namespace vesk

#endif  // VESK_CHIPS_CHIP_TABLE_H
