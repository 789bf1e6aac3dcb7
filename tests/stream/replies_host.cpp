// A host that asks a board questions whose answers are known from the
// simulator's configuration, twice over, and prints each answer as
// "NN.what = value" in the order asked. Run against a board whose replies
// come late, twice or also from another address, the driver
// (replies_e2e.py) checks that every exchange got its own answer. Loads the
// library from its own directory and uses the public interface only.
#include <vesk/vesk.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/host_library.h"

namespace {

using vesk::test::hex;
using vesk::test::text;

int step = 0;

// "NN.key = value", NN counting the answers from 0.
void answer(const std::string& key, const std::string& value) {
    std::printf("%02d.%s = %s\n", step++, key.c_str(), value.c_str());
    std::fflush(stdout);
}

void exchanges(VeskManager* m, const char* board, VeskChip* a, VeskChip* b) {
    for (int round = 0; round < 2; ++round) {
        for (std::uint32_t reg : {0x20u, 0x21u, 0x22u})
            answer("read.a." + std::to_string(reg), a ? std::to_string(a->read(reg)) : "no chip");
        std::uint32_t v = 999;
        answer("volume.0", m->getOutputVolume(board, &v, 0, 0) ? std::to_string(v) : "false");
        for (std::uint32_t reg : {0x20u, 0x21u})
            answer("read.b." + std::to_string(reg), b ? std::to_string(b->read(reg)) : "no chip");
        answer("probe.28", std::to_string(m->i2cProbe(board, 0x28)));
        std::uint8_t out[8] = {};
        std::uint32_t n = m->i2cRead(board, 0x28, out, sizeof out, 3, nullptr, 0, 0);
        answer("i2c_read.28", hex(out, n));
        answer("volume.1", m->getOutputVolume(board, &v, 1, 0) ? std::to_string(v) : "false");
        answer("probe.29", std::to_string(m->i2cProbe(board, 0x29)));
        answer("reset", std::to_string(m->resetBoards()));
    }
}

}  // namespace

int main() {
    using namespace vesk;
    test::HostLibrary lib;
    if (!lib.getManager) return lib.missing();
    VeskManager* m = lib.getManager();
    m->init();
    const std::uint32_t nb = m->getBoardCount(), nc = m->getChipCount();
    answer("boards", std::to_string(nb));
    std::vector<VeskBoardInfo> boards(nb);
    std::vector<VeskChipInfo> chips(nc);
    m->getBoardInfo(boards.data(), nb);
    m->getChipInfo(chips.data(), nc);
    for (const auto& bi : boards)
        answer("board", text(bi.name) + " wait " + std::to_string(bi.waitMs) + " buffer " +
                            std::to_string(bi.bufferSize) + " slots " + std::to_string(bi.slotCount));
    for (const auto& ci : chips)
        answer("chip", text(ci.name) + " slot " + std::to_string(ci.slot) + " clock " + std::to_string(ci.clock));
    if (nb) {
        const char* board = boards[0].boardAddress;
        exchanges(m, board, m->getChipBySlot(board, 0, 4000000), m->getChipBySlot(board, 1, 3579545));
    }
    m->release();
    return 0;
}
