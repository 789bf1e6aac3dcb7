// A host for the chip tests over the test bed: loads the library from its
// own directory, runs init, drives the chip and board operations of one
// scenario and prints what it saw as "key = value" lines. The checks are the
// driver's (chips_e2e.py), against the simulator's record.
//
//   chips_host access   chip hand-out, a timed burst of writes, resets, I2C
//                       and the attenuator
//   chips_host reset    resetBoards only
//   chips_host memory   the process's memory before and after init
#include <vesk/vesk.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/host_library.h"

namespace {

using vesk::test::hex;
using vesk::test::put;
using vesk::test::text;
using Clock = std::chrono::steady_clock;

// "address/slot/clock" of a chip, or "null".
std::string describe(VeskChip* c) {
    if (!c) return "null";
    return std::string(c->getAddress(0)) + "/" + std::to_string(c->getSlot()) + "/" + std::to_string(c->getClock());
}

// Status lines of /proc/self/status (nothing where there is none).
void putMemory(const char* when) {
    std::string status;
    if (!vesk::plat::readFile("/proc/self/status", status)) return;
    for (const char* field : {"VmRSS", "VmHWM", "VmSize", "VmData"}) {
        std::size_t at = status.find(std::string(field) + ":");
        if (at == std::string::npos) continue;
        long long kb = std::atoll(status.c_str() + at + std::strlen(field) + 1);
        put(std::string(when) + "." + field + "_kB", kb);
    }
}

void spinFor(std::chrono::microseconds d) {
    const auto end = Clock::now() + d;
    while (Clock::now() < end) {
    }
}

void access(VeskManager* m, const std::vector<VeskBoardInfo>& boards) {
    const std::string a = boards.size() > 0 ? text(boards[0].boardAddress) : "";
    const std::string b = boards.size() > 1 ? text(boards[1].boardAddress) : "";
    const std::uint32_t count = m->getChipCount();

    // getChip: an equal clock is taken as it is; a free variable-clock chip
    // follows the requested clock; names are compared exactly.
    VeskChip* c1 = m->getChip("YM2151", 4000000);
    put("getChip.YM2151.4000000", describe(c1));
    put("getChip.YM2151.4000000.again", describe(m->getChip("YM2151", 4000000)));
    put("getChip.YM2151.3579545", describe(m->getChip("YM2151", 3579545)));
    put("releaseChip.first", m->releaseChip(c1));
    put("getChip.YM2151.3579545.after_release", describe(m->getChip("YM2151", 3579545)));
    put("getChip.ym2151", describe(m->getChip("ym2151", 3579545)));
    put("getChip.YM2149.4000000", describe(m->getChip("YM2149", 4000000)));
    put("releaseChip.null", m->releaseChip(nullptr));
    m->releaseAllChips();

    // getChipBySlot sends the clock to a variable-clock chip even when it
    // already runs at it.
    put("getChipBySlot.a0.3579545", describe(m->getChipBySlot(a.c_str(), 0, 3579545)));
    put("getChipBySlot.a1.4000000", describe(m->getChipBySlot(a.c_str(), 1, 4000000)));
    put("getChipBySlot.a1.2000000", describe(m->getChipBySlot(a.c_str(), 1, 2000000)));
    put("getChipBySlot.a2.4000000", describe(m->getChipBySlot(a.c_str(), 2, 4000000)));
    put("getChipBySlot.unknown", describe(m->getChipBySlot("fe80::dead", 0, 4000000)));
    put("getChipBySlot.b3.3579545", describe(m->getChipBySlot(b.c_str(), 3, 3579545)));
    m->releaseAllChips();

    put("getChipByIndex.count", describe(m->getChipByIndex(count, 4000000)));
    put("getChipByIndex.5.4000000", describe(m->getChipByIndex(5, 4000000)));
    put("getChipByIndex.5.3579545", describe(m->getChipByIndex(5, 3579545)));
    put("getChipByIndex.5.3579545.again", describe(m->getChipByIndex(5, 3579545)));
    // A clock the chip refuses: handed out all the same, clock unchanged.
    put("getChipByIndex.0.100", describe(m->getChipByIndex(0, 100)));
    m->releaseAllChips();

    // A burst on the fixed-clock YM2151 of the second board: back to back,
    // then 300 us, 2 ms and 15 ms apart (the last far apart enough for the
    // transport to close each batch on its own).
    VeskChip* chip = m->getChipBySlot(b.c_str(), 2, 3579545);
    put("burst.chip", describe(chip));
    if (chip) {
        // Let what is still queued for the board (the end of the last silence
        // table) leave first, so the burst opens a datagram of its own.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::vector<long long> at;
        std::string regs, datas;
        const auto t0 = Clock::now();
        for (int i = 0; i < 160; ++i) {
            if (i >= 150)
                std::this_thread::sleep_for(std::chrono::milliseconds(15));
            else if (i >= 140)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            else if (i >= 100)
                spinFor(std::chrono::microseconds(300));
            const std::uint32_t reg = 0x20 + (i % 0x60), data = (i * 7) & 0xFF;
            at.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
            chip->write(reg, data);
            regs += (regs.empty() ? "" : ",") + std::to_string(reg);
            datas += (datas.empty() ? "" : ",") + std::to_string(data);
        }
        std::string times;
        for (long long t : at) times += (times.empty() ? "" : ",") + std::to_string(t);
        put("burst.regs", regs);
        put("burst.datas", datas);
        put("burst.host_ns", times);
        put("burst.t0_ns", std::chrono::duration_cast<std::chrono::nanoseconds>(t0.time_since_epoch()).count());
        m->releaseChip(chip);
    }

    put("resetBoards", m->resetBoards());

    // I2C: the attenuator at 0x28 and a memory at 0x50 on the first board.
    put("i2cProbe.a.28", m->i2cProbe(a.c_str(), 0x28));
    put("i2cProbe.a.29", m->i2cProbe(a.c_str(), 0x29));
    put("i2cProbe.b.28", m->i2cProbe(b.c_str(), 0x28));
    put("i2cProbe.unknown", m->i2cProbe("fe80::dead", 0x28));
    std::uint8_t block[255];
    block[0] = 0x00;  // the memory's address pointer
    for (int i = 1; i < 255; ++i) block[i] = static_cast<std::uint8_t>(i * 13 + 1);
    put("i2cWrite.a.50", m->i2cWrite(a.c_str(), 0x50, block, 255));
    put("i2cWrite.a.51", m->i2cWrite(a.c_str(), 0x51, block, 4));
    std::uint8_t from[1] = {0x10};
    std::uint8_t out[64];
    std::memset(out, 0xEE, sizeof out);
    std::uint32_t n = m->i2cRead(a.c_str(), 0x50, out, sizeof out, 32, from, 1, 0);
    put("i2cRead.a.50.count", n);
    put("i2cRead.a.50", hex(out, n));
    put("i2cRead.a.50.expected", hex(block + 1 + 0x10, 32));
    std::memset(out, 0xEE, sizeof out);
    // A buffer smaller than the read: only what fits is asked for.
    n = m->i2cRead(a.c_str(), 0x50, out, 4, 32, from, 1, 0);
    put("i2cRead.a.50.small.count", n);
    put("i2cRead.a.50.small", hex(out, 5));

    std::uint32_t v = 999;
    put("getOutputVolume.0.start", m->getOutputVolume(a.c_str(), &v, 0, 0) ? std::to_string(v) : "false");
    put("getOutputVolume.1.start", m->getOutputVolume(a.c_str(), &v, 1, 0) ? std::to_string(v) : "false");
    put("setOutputVolume.0.20", m->setOutputVolume(a.c_str(), 20, 0, 0));
    put("getOutputVolume.0.after0", m->getOutputVolume(a.c_str(), &v, 0, 0) ? std::to_string(v) : "false");
    put("getOutputVolume.1.after0", m->getOutputVolume(a.c_str(), &v, 1, 0) ? std::to_string(v) : "false");
    put("setOutputVolume.1.44", m->setOutputVolume(a.c_str(), 44, 1, 0));
    put("getOutputVolume.1.after1", m->getOutputVolume(a.c_str(), &v, 1, 0) ? std::to_string(v) : "false");
    put("setOutputVolume.inhibit", m->setOutputVolume(a.c_str(), 1, 2, 1));
    put("setOutputVolume.both.33", m->setOutputVolume(a.c_str(), 33, 2, 0));
    put("getOutputVolume.0.both", m->getOutputVolume(a.c_str(), &v, 0, 0) ? std::to_string(v) : "false");
    put("getOutputVolume.1.both", m->getOutputVolume(a.c_str(), &v, 1, 0) ? std::to_string(v) : "false");
    put("setOutputVolume.b", m->setOutputVolume(b.c_str(), 10, 0, 0));
    put("getOutputVolume.b", m->getOutputVolume(b.c_str(), &v, 0, 0) ? std::to_string(v) : "false");
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vesk;
    plat::ConsoleUtf8 utf8Console;
    const std::string mode = argc > 1 ? argv[1] : "access";
    test::HostLibrary lib;
    if (!lib.getManager) return lib.missing();
    putMemory("before_init");
    VeskManager* m = lib.getManager();
    m->init();
    putMemory("after_init");
    const std::uint32_t nb = m->getBoardCount(), nc = m->getChipCount();
    put("boards", nb);
    put("chips", nc);
    std::vector<VeskBoardInfo> boards(nb);
    std::vector<VeskChipInfo> chips(nc);
    m->getBoardInfo(boards.data(), nb);
    m->getChipInfo(chips.data(), nc);
    for (std::uint32_t i = 0; i < nb; ++i) put("board" + std::to_string(i), text(boards[i].boardAddress));
    for (std::uint32_t i = 0; i < nc; ++i)
        put("chip" + std::to_string(i), text(chips[i].name) + "@" + text(chips[i].address) + "/" +
                                            std::to_string(chips[i].slot) + "/" + std::to_string(chips[i].clock));
    std::fflush(stdout);
    if (mode == "access") {
        access(m, boards);
    } else if (mode == "reset") {
        put("resetBoards", m->resetBoards());
    }
    std::fflush(stdout);
    m->release();
    return 0;
}
