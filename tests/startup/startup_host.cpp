// A host for the start-up tests: loads the library from its own directory,
// runs init, prints every record field as "key = value" lines, releases,
// and reports the process's threads before init and after release.
#include <vesk/vesk.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/host_library.h"

namespace {
using vesk::test::text;
bool zero(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i]) return false;
    return true;
}
}  // namespace

int main() {
    using namespace vesk;
    plat::ConsoleUtf8 utf8Console;
    test::HostLibrary lib;
    if (!lib.getManager) return lib.missing();
    // What the system reports before init: tells a test-bed fault (no
    // adapters visible yet) from a library fault.
    int adapters = 0;
    for (const auto& a : plat::listAdapters())
        if (a.ifType == plat::kIfTypeEthernet || a.ifType == plat::kIfTypeIeee80211) ++adapters;
    std::printf("adapters = %d\n", adapters);
    // ThreadSanitizer starts a thread of its own at the process's first
    // thread creation: one started and joined here puts it in the count
    // before init, so the counts compare the library's threads only.
    std::thread([] {}).join();
    const int threadsBefore = plat::processThreadCount();
    VeskManager* m = lib.getManager();
    auto t0 = std::chrono::steady_clock::now();
    m->init();
    auto t1 = std::chrono::steady_clock::now();
    std::printf("init_ms = %lld\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(t1 - t0).count()));
    const std::uint32_t nb = m->getBoardCount(), nc = m->getChipCount();
    std::printf("boards = %u\nchips = %u\n", nb, nc);
    // The init report through the export, whole ("reasonN" per line) and
    // into a 17-byte buffer ("report_cut").
    if (lib.getInitReport) {
        const std::uint32_t n = lib.getInitReport(nullptr, 0);
        std::vector<char> full(n + 1), cut(17, '\x7f');
        std::printf("report_length = %u\n", lib.getInitReport(full.data(), n + 1));
        lib.getInitReport(cut.data(), static_cast<std::uint32_t>(cut.size()));
        std::printf("report_cut = %s\n", std::string(cut.data(), strnlen(cut.data(), cut.size())).c_str());
        std::string text(full.data());
        for (std::size_t i = 0, line = 0; i < text.size(); ++line) {
            const std::size_t end = std::min(text.find('\n', i), text.size());
            std::printf("reason%u = %s\n", static_cast<unsigned>(line), text.substr(i, end - i).c_str());
            i = end + 1;
        }
    }
    std::vector<VeskBoardInfo> boards(nb);
    std::vector<VeskChipInfo> chips(nc);
    m->getBoardInfo(boards.data(), nb);
    m->getChipInfo(chips.data(), nc);
    for (std::uint32_t i = 0; i < nb; ++i) {
        const auto& b = boards[i];
        std::printf("board%u.name = %s\n", i, text(b.name).c_str());
        std::printf("board%u.local = %s\n", i, text(b.localAddress).c_str());
        std::printf("board%u.address = %s\n", i, text(b.boardAddress).c_str());
        std::printf("board%u.ipv4 = %s\n", i, text(b.boardIPv4).c_str());
        std::printf("board%u.firmware = %08x\n", i, b.firmwareVersion);
        std::printf("board%u.slots = %u\n", i, b.slotCount);
        std::printf("board%u.protocol = %u\n", i, b.protocol);
        std::printf("board%u.listen = %u\n", i, static_cast<unsigned>(b.listenPort));
        std::printf("board%u.send = %u\n", i, static_cast<unsigned>(b.sendPort));
        std::printf("board%u.buffer = %u\n", i, b.bufferSize);
        std::printf("board%u.wait = %u\n", i, static_cast<unsigned>(b.waitMs));
        std::printf("board%u.reserved_zero = %d\n", i,
                    zero(b.reserved0, 2) && zero(b.reserved1, 2) &&
                        zero(reinterpret_cast<const std::uint8_t*>(b.localIPv4), sizeof b.localIPv4));
    }
    for (std::uint32_t i = 0; i < nc; ++i) {
        const auto& c = chips[i];
        std::printf("chip%u.name = %s\n", i, text(c.name).c_str());
        std::printf("chip%u.address = %s\n", i, text(c.address).c_str());
        std::printf("chip%u.slot = %u\n", i, c.slot);
        std::printf("chip%u.clock = %u\n", i, c.clock);
        std::printf("chip%u.variable_clock = %u\n", i, static_cast<unsigned>(c.variableClock));
        std::printf("chip%u.hardware_reset = %u\n", i, static_cast<unsigned>(c.hardwareReset));
        std::printf("chip%u.ext_info = %s\n", i, text(c.extInfo).c_str());
        std::printf("chip%u.reserved_zero = %d\n", i, zero(c.reserved0, 2) && zero(c.reserved1, 23));
    }
    std::fflush(stdout);
    m->release();
    std::printf("threads_before = %d\nthreads_after = %d\n", threadsBefore, plat::processThreadCount());
    return 0;
}
