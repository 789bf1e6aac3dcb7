// The library calls that play a song's events on its chips.
#ifndef VESK_PLAY_SEND_H
#define VESK_PLAY_SEND_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "parts.h"
#include "vgm_reader.h"

namespace vesk::play {

using Clock = std::chrono::steady_clock;

// One library write call as --write-times keeps it: when it was made, the
// address and data it wrote, and the index of the file's part it was for.
struct WriteCall {
    std::int64_t ns;
    std::uint32_t address;
    std::uint8_t data;
    std::uint8_t part;
};

// Where a part's write calls are noted: nowhere unless --write-times asked
// (calls null). The vector is reserved before the music starts.
struct CallLog {
    std::vector<WriteCall>* calls = nullptr;
    std::uint8_t part = 0;

    void note(Clock::time_point at, std::uint32_t address, std::uint8_t data) const {
        if (calls)
            calls->push_back(
                {std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count(), address, data, part});
    }
};

// SCC and SCC+ addresses of the K051649 port writes of the log.
std::vector<std::uint32_t> sccAddresses(bool plus, std::uint8_t port, std::uint8_t reg);

// at: when the write's turn came (the time noted for its calls).
void sendWrite(Part& p, const vgm::Event& e, const CallLog& log, Clock::time_point at);

// A data block's sample memory load to the part's chip: the YM2610's
// through the library's upload, the DELTA-T units' through their
// memory-write registers; a refused upload is noted in notes.
void sendLoad(Part& p, const vgm::Song& song, const vgm::Event& e, std::vector<std::string>& notes,
              const CallLog& log);

}  // namespace vesk::play

#endif  // VESK_PLAY_SEND_H
