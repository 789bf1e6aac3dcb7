// Bringing a chip to where a song has it at some point without playing what
// came before (--start, and later seeking): each register's last value, in
// the order the song first wrote them, the registers that start notes last
// (so that no note sounds before its voice is set up), and what only plays
// samples left out (DAC data, the ADPCM units' data and start registers,
// the drum triggers): half a sample is not the music.
#ifndef VESK_PLAY_SEEK_H
#define VESK_PLAY_SEEK_H

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "vgm_reader.h"

namespace vesk::play {

class ChipState {
public:
    explicit ChipState(vgm::Chip chip) : chip_(chip) {}

    // One write of the song (a Write event of this chip), in song order.
    void take(const vgm::Event& e);
    // The writes that bring the chip from its reset to the state taken:
    // the plain registers in the order first written, then the key-on ones.
    std::vector<vgm::Event> writes() const;

private:
    enum class Role : std::uint8_t { Plain, Key, Left };
    // Its role, and in id what it holds: registers that keep several
    // values (a key-on register per channel) count as one per value.
    Role roleOf(const vgm::Event& e, std::uint32_t& id) const;

    vgm::Chip chip_;
    std::vector<vgm::Event> plain_, keys_;  // last value of each, in the order first written
    std::unordered_map<std::uint32_t, std::size_t> at_;  // id -> index (keys: | 0x80000000)
    std::uint8_t snLatch_ = 0;  // SN76489: the register the data bytes go to
};

}  // namespace vesk::play

#endif  // VESK_PLAY_SEEK_H
