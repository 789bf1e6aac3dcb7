// vesk_play: plays VGM logs on the boards' chips. A host like any other: it
// loads the library from its own folder by name and uses only the public
// interface.
#include <vesk/vesk.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "init_report_text.h"
#include "options.h"
#include "platform/platform.h"
#include "play.h"
#include "playlist.h"
#include "report.h"
#include "tool_version.h"

namespace {

namespace plat = vesk::plat;
using namespace vesk::play;

// The library the player loads: the one in its own folder.
std::string libraryBeside() { return vesk::tools::libraryBeside(reinterpret_cast<const void*>(&libraryBeside)); }

// The files to play, each read and checked before any board is looked for:
// the arguments' folders and playlists expanded, what is missing or cannot
// be played named on the error output (bad set) and left out.
std::vector<std::string> filesToPlay(const Options& o, bool& bad) {
    const Playlist list = expand(o.files, o.recursive, FileSystem::system());
    for (const std::string& p : list.problems) std::fprintf(stderr, "vesk_play: %s\n", p.c_str());
    bad = !list.problems.empty();
    std::vector<std::string> files;
    for (const std::string& path : list.files) {
        vesk::vgm::Song song;
        std::string error;
        if (loadSong(path, song, error)) {
            files.push_back(path);
        } else {
            std::fprintf(stderr, "vesk_play: %s\n", error.c_str());
            bad = true;
        }
    }
    return files;
}

// --quiet's line for a file played.
void printSummary(const FileResult& r) {
    std::uint64_t skipped = 0;
    for (const auto& s : r.skipped) skipped += s.second;
    int used = 0;
    for (const Part& p : r.parts) used += p.record >= 0;
    std::printf("%s: %.1f s, %" PRIu64 " writes on %d chip(s), %" PRIu64
                " commands skipped, pacing (%s) p50 %.0f us p99 %.0f us\n",
                baseName(r.path).c_str(), r.seconds, r.writes, used, skipped, r.timed ? "timed" : "paced", r.p50, r.p99);
}

// The silence between two songs (their chips were silenced at the end of
// the first); false when the user interrupted it.
bool silence(double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                            std::chrono::duration<double>(seconds));
    while (!plat::interruptRequested()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) return true;
        plat::sleepUntil(std::min(end, now + std::chrono::milliseconds(50)));
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    switch (parseOptions(argc, argv, o)) {
    case 0: break;
    case 1: return 0;
    case 3: vesk::tools::printVersion("vesk_play", libraryBeside()); return 0;
    default: return 2;
    }
    plat::ConsoleUtf8 utf8Console;
    plat::catchInterrupts();
    const bool terminal = plat::stdoutIsTerminal();
    bool bad = false;
    const std::vector<std::string> files = filesToPlay(o, bad);
    if (files.empty()) {
        std::fprintf(stderr, "vesk_play: nothing to play\n");
        return 1;
    }

    const std::string libraryPath = libraryBeside();
    plat::Module lib = plat::loadModule(libraryPath);
    auto getManagerFn = lib ? reinterpret_cast<VeskGetManagerFn>(plat::findSymbol(lib, "getManager")) : nullptr;
    if (!getManagerFn) {
        std::fprintf(stderr, "vesk_play: cannot load %s\n", libraryPath.c_str());
        if (lib) plat::unloadModule(lib);
        return 1;
    }
    // Timed writes where the library has them (an older one has not).
    auto getTimedWritesFn = reinterpret_cast<VeskGetTimedWritesFn>(plat::findSymbol(lib, "getTimedWrites"));
    const VeskTimedWrites* timedApi = getTimedWritesFn && !o.paced ? getTimedWritesFn() : nullptr;
    if (timedApi && (timedApi->size < sizeof(VeskTimedWrites) || timedApi->version < 1)) timedApi = nullptr;
    const int threadsBefore = plat::processThreadCount();
    VeskManager* m = getManagerFn();
    if (!m) {
        std::fprintf(stderr, "vesk_play: the library could not make its manager (out of memory)\n");
        plat::unloadModule(lib);
        return 1;
    }
    m->init();
    Boards found;
    found.boards.resize(m->getBoardCount());
    if (!found.boards.empty()) m->getBoardInfo(found.boards.data(), static_cast<std::uint32_t>(found.boards.size()));
    found.chips.resize(m->getChipCount());
    if (!found.chips.empty()) m->getChipInfo(found.chips.data(), static_cast<std::uint32_t>(found.chips.size()));

    if (o.list || !o.quiet) {
        std::printf("%zu board(s), %zu chip(s)\n", found.boards.size(), found.chips.size());
        for (const VeskBoardInfo& b : found.boards) {
            std::printf("  board %s [%s] wait %u ms, buffer %u bytes\n", text(b.name).c_str(),
                        text(b.boardAddress).c_str(), b.waitMs, b.bufferSize);
            for (const VeskChipInfo& c : found.chips)
                if (text(c.address) == text(b.boardAddress))
                    std::printf("    slot %u: %s at %u Hz%s\n", c.slot, text(c.name).c_str(), c.clock,
                                c.variableClock ? " (variable clock)" : "");
        }
    }
    // Why boards are missing goes to the error output even with --quiet:
    // a user who sees none played needs it most.
    std::string why = vesk::tools::initReportText(lib);
    for (std::size_t at = 0; at < why.size();) {
        const std::size_t end = std::min(why.find('\n', at), why.size());
        std::fprintf(stderr, "vesk_play: %s\n", why.substr(at, end - at).c_str());
        at = end + 1;
    }
    if (!o.board.empty() && !found.board(o.board))
        std::fprintf(stderr, "vesk_play: no board with the address %s\n", o.board.c_str());

    std::vector<FileResult> results;
    int rc = bad ? 1 : 0;
    std::vector<std::string> order = files;
    std::mt19937 random(std::random_device{}());
    // The keys while playing (space, n, p, q, the arrows), where standard
    // input is a terminal.
    std::unique_ptr<plat::ConsoleKeys> console;
    if (!o.list) console = std::make_unique<plat::ConsoleKeys>();
    Keys keys(console.get());
    bool quit = false;   // q
    bool played = true;  // a file of the last round played: another is worth it
    for (bool more = true; more && played && !quit && !plat::interruptRequested(); more = o.repeat && !o.list) {
        if (o.shuffle) std::shuffle(order.begin(), order.end(), random);
        played = false;
        for (std::size_t i = 0; i < order.size();) {
            if (!results.empty() && !o.list && !silence(o.gap)) break;
            FileResult r = playFile(order[i], o, m, found, timedApi, terminal, keys);
            played = played || r.ok;
            if (!r.ok) {
                std::fprintf(stderr, "%s\n", r.error.c_str());
                rc = 1;
            } else if (o.quiet && !o.list) {
                printSummary(r);
            }
            quit = r.interrupted;
            i = r.ask == Ask::Previous ? i - std::min<std::size_t>(i, 1) : i + 1;
            results.push_back(std::move(r));
            if (quit || plat::interruptRequested()) break;
        }
    }
    console.reset();  // the terminal as it was
    std::fflush(stdout);
    const bool interrupted = quit || plat::interruptRequested();
    m->releaseAllChips();
    m->release();
    // Written after release, so that it can tell whether release left a thread.
    if (!o.report.empty()) writeReport(o.report, results, found, threadsBefore, plat::processThreadCount());
    if (!o.writeTimes.empty()) writeCallTimes(o.writeTimes, results);
    plat::unloadModule(lib);
    if (interrupted) {
        plat::interruptFinished();
        return plat::interruptExitCode();
    }
    return rc;
}
