// The soak host: plays songs over and over on the boards' chips, one thread
// per song, while a third thread sets and reads back every board's output
// volume and reads its attenuator over I2C, for a given time; then silences
// and releases everything, as a player does. Loads the library from its own
// directory and uses the public interface only. Prints "key = value" lines;
// what the boards received is checked by the driver (soak_e2e.py) against
// the songs.
//
//   soak_host --seconds S [--request-ms N] --song FILE BOARD-ADDRESS ...
//
// A song repeats from its start (its loop point is not used) until S
// seconds have passed; each part of it plays on the chip of its model on
// the given board, taken at the song's clock. Writes leave at the song's
// times (plain sleeps: the soak checks what arrives, not when).
//
// Printed per song i and part j: songI.partJ.chip / .slot / .writes (the
// writes made, in song order from the first pass on) and songI.passes
// (whole passes); requests.ok / .timed_out / .stale / .wrong (rounds) and
// .max_ms; and the process's
// figures: threads.*, handles.* and rss_kb.* at load (library loaded),
// start (after a first manager's init and release), warm (a tenth into the
// run), end (just before stopping), after_release, and rss_kb.samples (ten
// samples over the run).
#include <vesk/vesk.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/host_library.h"
#include "vgm_reader.h"

namespace {

using vesk::test::put;
using Clock = std::chrono::steady_clock;
namespace plat = vesk::plat;
namespace vgm = vesk::vgm;

struct Part {
    vgm::Chip chip = vgm::Chip::Count;
    VeskChip* handle = nullptr;
    std::uint32_t slot = 0;
    std::string model;
    long long writes = 0;
};

struct Song {
    std::string path, board;
    vgm::Song song;
    std::vector<Part> parts;
    long long passes = 0;
};

// Board models able to play a chip family of the songs the soak uses.
std::vector<std::string> models(vgm::Chip c) {
    switch (c) {
    case vgm::Chip::YM2612: return {"YM2612", "YM3438"};
    case vgm::Chip::AY8910: return {"YM2149", "AY8910"};
    default: return {vgm::chipName(c)};
    }
}

bool twoBank(vgm::Chip c) {
    return c == vgm::Chip::YM2612 || c == vgm::Chip::YM2608 || c == vgm::Chip::YM2610 || c == vgm::Chip::YMF262;
}

// Takes a chip for every part of the song on its board. false, with the
// reason printed, when a part has none or the song needs what the soak does
// not play (dual chips, sample memories, SCC).
bool takeChips(VeskManager* m, const std::vector<VeskChipInfo>& chips, Song& s) {
    for (const vgm::ChipHeader& h : s.song.chips) {
        if (h.instances != 1 || h.chip == vgm::Chip::K051649) {
            std::fprintf(stderr, "soak_host: %s: %s is not played by the soak\n", s.path.c_str(),
                         vgm::chipName(h.chip));
            return false;
        }
        Part p;
        p.chip = h.chip;
        for (const std::string& name : models(h.chip)) {
            for (const VeskChipInfo& c : chips) {
                if (vesk::test::text(c.address) != s.board || vesk::test::text(c.name) != name) continue;
                p.handle = m->getChipBySlot(s.board.c_str(), c.slot, h.clock);
                p.slot = c.slot;
                p.model = name;
                break;
            }
            if (p.handle) break;
        }
        if (!p.handle) {
            std::fprintf(stderr, "soak_host: %s: no %s on %s\n", s.path.c_str(), vgm::chipName(h.chip),
                         s.board.c_str());
            return false;
        }
        s.parts.push_back(p);
    }
    for (const vgm::Event& e : s.song.events)
        if (e.kind != vgm::Event::Write) {
            std::fprintf(stderr, "soak_host: %s: sample memory loads are not played by the soak\n", s.path.c_str());
            return false;
        }
    return true;
}

// Plays the song from start until stop, pass after pass, then silences its
// chips and hands them back.
void play(VeskManager* m, Song& s, Clock::time_point start, Clock::time_point stop) {
    std::vector<Part*> owner(s.song.events.size(), nullptr);
    for (std::size_t i = 0; i < owner.size(); ++i)
        for (Part& p : s.parts)
            if (p.chip == s.song.events[i].chip) owner[i] = &p;
    const std::uint64_t length = std::max<std::uint64_t>(s.song.endSample, 1);
    for (std::uint64_t pass = 0;; ++pass) {
        for (std::size_t i = 0; i < owner.size(); ++i) {
            const vgm::Event& e = s.song.events[i];
            const auto at =
                start + std::chrono::nanoseconds((pass * length + e.sample) * 1000000000ull / vgm::kSampleRate);
            if (at >= stop) goto done;
            if (at > Clock::now()) plat::sleepUntil(at);
            Part& p = *owner[i];
            if (p.chip == vgm::Chip::SN76489)
                p.handle->writeData(0, e.data);
            else if (twoBank(p.chip))
                p.handle->write(static_cast<std::uint32_t>(e.port) << 8 | e.reg, e.data);
            else
                p.handle->write(e.reg, e.data);
            ++p.writes;
        }
        ++s.passes;
    }
done:
    for (Part& p : s.parts) {
        p.handle->reset();
        m->releaseChip(p.handle);
        p.handle = nullptr;
    }
}

struct Requests {
    long long ok = 0;        // rounds answered with the level set
    long long timedOut = 0;  // rounds where a request got no answer (the library shows its box)
    long long stale = 0;     // rounds right after a time-out answered with an older level
    long long wrong = 0;     // any other answer that is not the level set, or a request refused
    double maxMs = 0;
};

// Every period, for each board in turn, one round: sets both volume
// channels to a new level, reads channel 0 back, and reads the attenuator's
// three bytes over I2C (control, channel 0, 0x40 | channel 1). A board that
// answers late makes a request give up; its late answer may then be taken
// by the next request of its kind (the library cannot tell whose it is), so
// the round after a time-out may see the level before.
void request(VeskManager* m, const std::vector<std::string>& boards, std::chrono::milliseconds period,
             const std::atomic<bool>& stopping, Requests& r) {
    std::uint32_t level = 0;
    std::vector<bool> afterTimeOut(boards.size(), false);
    auto next = Clock::now();
    while (!stopping.load()) {
        for (std::size_t i = 0; i < boards.size(); ++i) {
            const char* b = boards[i].c_str();
            level = (level + 7) % 64;
            const auto t0 = Clock::now();
            std::uint32_t back = 0xFFFF;
            std::uint8_t bytes[3] = {};
            const bool set = m->setOutputVolume(b, level, 2, 0);
            const bool got = m->getOutputVolume(b, &back, 0, 0);
            const std::uint32_t n = m->i2cRead(b, 0x28, bytes, sizeof bytes, 3, nullptr, 0, 0);
            r.maxMs = std::max(r.maxMs, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            const bool timedOut = !got || n == 0;
            const bool right = got && back == level && n == 3 && bytes[1] == level && bytes[2] == (0x40 | level);
            if (set && right) {
                ++r.ok;
            } else if (set && timedOut) {
                ++r.timedOut;
            } else if (set && afterTimeOut[i]) {
                ++r.stale;
            } else {
                ++r.wrong;
                std::fprintf(stderr,
                             "soak_host: request on %s: set %d, get %d (%u for %u), i2c %u bytes %02x %02x %02x\n", b,
                             set, got, back, level, n, bytes[0], bytes[1], bytes[2]);
            }
            afterTimeOut[i] = timedOut;
        }
        next += period;
        while (!stopping.load() && Clock::now() < next) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void figures(const char* when) {
    put(std::string("threads.") + when, plat::processThreadCount());
    put(std::string("handles.") + when, plat::processHandleCount());
    put(std::string("rss_kb.") + when, static_cast<long long>(plat::processResidentBytes() / 1024));
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vesk;
    double seconds = 0;
    long long requestMs = 50;
    std::vector<Song> songs;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (a == "--request-ms" && i + 1 < argc) {
            requestMs = std::atoll(argv[++i]);
        } else if (a == "--song" && i + 2 < argc) {
            songs.emplace_back();
            songs.back().path = argv[++i];
            songs.back().board = argv[++i];
        } else {
            std::fprintf(stderr, "usage: soak_host --seconds S [--request-ms N] --song FILE BOARD-ADDRESS ...\n");
            return 2;
        }
    }
    if (seconds <= 0 || songs.empty() || requestMs <= 0) {
        std::fprintf(stderr, "soak_host: --seconds and at least one --song are needed\n");
        return 2;
    }
    // The songs are read before anything is measured.
    for (Song& s : songs) {
        std::string bytes, error;
        if (!plat::readFile(s.path, bytes) || !vgm::readSong(bytes, s.path, s.song, error)) {
            std::fprintf(stderr, "soak_host: %s\n",
                         error.empty() ? (s.path + ": cannot be read").c_str() : error.c_str());
            return 2;
        }
    }

    std::string result = "ok";
    {
        test::HostLibrary lib;
        if (!lib.getManager) return lib.missing();
        // ThreadSanitizer starts a thread of its own at the process's first
        // thread creation: one started here puts it in the start count.
        std::thread([] {}).join();
        figures("load");
        // A first manager's life loads and starts what the system keeps for
        // the process (Winsock, the IP helper, the timer: six handles under
        // Wine, the same after any number of lives); the start figures are
        // taken after it, so that what a manager leaves behind shows.
        VeskManager* first = lib.getManager();
        first->init();
        first->release();
        figures("start");
        VeskManager* m = lib.getManager();
        m->init();
        std::vector<VeskChipInfo> chips(m->getChipCount());
        if (!chips.empty()) m->getChipInfo(chips.data(), static_cast<std::uint32_t>(chips.size()));
        put("boards", m->getBoardCount());
        std::vector<std::string> boards;
        bool ready = true;
        for (Song& s : songs) {
            ready = ready && takeChips(m, chips, s);
            if (std::find(boards.begin(), boards.end(), s.board) == boards.end()) boards.push_back(s.board);
        }
        if (ready) {
            const auto start = Clock::now() + std::chrono::milliseconds(100);
            const auto stop =
                start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
            std::atomic<bool> stopping{false};
            Requests req;
            std::vector<std::thread> players;
            for (Song& s : songs) players.emplace_back(play, m, std::ref(s), start, stop);
            std::thread requester(request, m, std::cref(boards), std::chrono::milliseconds(requestMs),
                                  std::cref(stopping), std::ref(req));
            // Ten samples of the resident memory over the run; "warm" is the
            // first, a tenth into it, when every buffer has been touched.
            std::string samples;
            for (int k = 1; k <= 10; ++k) {
                plat::sleepUntil(start + (stop - start) * k / 10 - std::chrono::milliseconds(k == 10 ? 200 : 0));
                if (k == 1) figures("warm");
                if (k == 10) figures("end");
                samples += (samples.empty() ? "" : ",") + std::to_string(plat::processResidentBytes() / 1024);
            }
            put("rss_kb.samples", samples);
            for (std::thread& t : players) t.join();
            stopping.store(true);
            requester.join();
            for (std::size_t i = 0; i < songs.size(); ++i) {
                const std::string key = "song" + std::to_string(i);
                put(key + ".passes", songs[i].passes);
                for (std::size_t j = 0; j < songs[i].parts.size(); ++j) {
                    const Part& p = songs[i].parts[j];
                    const std::string pk = key + ".part" + std::to_string(j);
                    put(pk + ".chip", vgm::chipName(p.chip));
                    put(pk + ".model", p.model);
                    put(pk + ".slot", p.slot);
                    put(pk + ".writes", p.writes);
                }
            }
            put("requests.ok", req.ok);
            put("requests.timed_out", req.timedOut);
            put("requests.stale", req.stale);
            put("requests.wrong", req.wrong);
            std::printf("requests.max_ms = %.1f\n", req.maxMs);
        } else {
            result = "no chips";
        }
        std::fflush(stdout);
        m->release();
        figures("after_release");
    }
    put("result", result);
    std::fflush(stdout);
    return result == "ok" ? 0 : 1;
}
