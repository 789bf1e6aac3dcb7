// Which board chip plays each part of a song.
#ifndef VESK_PLAY_PARTS_H
#define VESK_PLAY_PARTS_H

#include <vesk/vesk.h>

#include <cstdint>
#include <string>
#include <vector>

#include "text.h"
#include "vgm_reader.h"

namespace vesk::play {

using vgm::Chip;

// One chip of the song (a family, or the second of a dual pair) and the
// board chip it plays on.
struct Part {
    Chip chip = Chip::Count;
    int instance = 0;
    std::uint32_t songClock = 0;
    int record = -1;           // index in the manager's chip records; -1 silent
    std::string model;         // the board chip's name
    std::uint32_t clock = 0;   // clock asked for
    bool ownClock = false;     // fixed clock other than the song's
    bool compatible = false;   // another model than the song's
    std::uint32_t waitMs = 0;  // its board's latency
    std::string boardName;
    VeskChip* handle = nullptr;
    std::uint64_t writes = 0;
    std::int64_t shiftNs = 0;  // delay so that all boards sound together
};

// The boards and chips the library found.
struct Boards {
    std::vector<VeskChipInfo> chips;
    std::vector<VeskBoardInfo> boards;

    const VeskBoardInfo* board(const std::string& address) const {
        for (const VeskBoardInfo& b : boards)
            if (text(b.boardAddress) == address) return &b;
        return nullptr;
    }
};

// Chooses a board chip for every part of the song: the song's model at its
// clock (or able to take it), then a compatible model, then a model whose
// fixed clock differs. Each chip is used once; warnings say what differs.
std::vector<Part> mapParts(const vgm::Song& song, const Boards& found, const std::string& onlyBoard,
                           std::vector<std::string>& notes);

// The song's tags and where each part plays, on standard output.
void showHeader(const vgm::Song& song, const std::vector<Part>& parts, const Boards& found);

}  // namespace vesk::play

#endif  // VESK_PLAY_PARTS_H
