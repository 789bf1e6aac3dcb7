// vesk_play: plays VGM logs on the boards' chips. A host like any other: it
// loads the library from its own folder by name and uses only the public
// interface.
#include <vesk/vesk.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "init_report_text.h"
#include "tool_version.h"
#include "vgm_reader.h"

namespace {

namespace plat = vesk::plat;
namespace vgm = vesk::vgm;
using Clock = std::chrono::steady_clock;
using vgm::Chip;

const char kUsage[] =
    "usage: vesk_play [options] FILE...\n"
    "Plays VGM logs (.vgm, gzip-compressed .vgz) on the chips of the boards found.\n"
    "\n"
    "  --loops N      times the looped part repeats after the first pass (default 1, 0 = none)\n"
    "  --seconds S    stop each file after S seconds of music\n"
    "  --board ADDR   use only the chips of the board with this IPv6 address\n"
    "  --list         show the boards and chips found and, per file, where each part\n"
    "                 would play; play nothing\n"
    "  --quiet        no progress display; one summary line per file\n"
    "  --report FILE  write a JSON report: per file, writes per chip, skipped commands,\n"
    "                 host pacing figures\n"
    "  --write-times FILE\n"
    "                 write every library write call of each file to FILE (text): per\n"
    "                 chip, in call order, its time (ns: the time handed to the library,\n"
    "                 or when paced the call's), address and data\n"
    "  --paced        time each write by calling at its moment, as with a library\n"
    "                 without timed writes (default: hand the library each write's\n"
    "                 time, a little ahead of the music)\n"
    "  --version      the player's version and that of the library beside it\n"
    "  --help         this text\n"
    "\n"
    "Exit status: 0 all played, 1 a file could not be played, 2 usage error,\n"
    "130 interrupted (Ctrl-C).\n";

struct Options {
    unsigned loops = 1;
    double seconds = -1;
    std::string board;
    bool list = false, quiet = false, paced = false;
    std::string report;
    std::string writeTimes;
    std::vector<std::string> files;
};

template <std::size_t N>
std::string text(const char (&f)[N]) {
    return std::string(f, strnlen(f, N));
}

std::string jsonText(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string baseName(const std::string& path) {
    std::size_t at = path.find_last_of("/\\");
    return at == std::string::npos ? path : path.substr(at + 1);
}

std::string minutes(double s) {
    char b[32];
    int m = static_cast<int>(s / 60);
    std::snprintf(b, sizeof b, "%d:%04.1f", m, s - 60.0 * m);
    return b;
}

// ---------------------------------------------------------------- chip mapping

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

// Models able to play a chip family, preferred first, with the clock factor,
// from the catalogue: the family's models (the one the log marks first),
// then those that stand in for the family.
struct Candidate {
    const char* name;
    std::uint32_t clockFactor;
};
std::vector<Candidate> candidates(const vgm::ChipHeader& h) {
    const bool variant = h.chip == Chip::AY8910 ? h.ayType >= vgm::kAyTypeYM2149 : h.variant;
    std::vector<Candidate> out;
    for (const vesk::catalogue::ModelRow& m : vesk::catalogue::kModels)
        if (m.family == h.chip && m.variant == variant) out.push_back({m.name, 1});
    for (const vesk::catalogue::ModelRow& m : vesk::catalogue::kModels)
        if (m.family == h.chip && m.variant != variant) out.push_back({m.name, 1});
    for (const vesk::catalogue::ModelRow& m : vesk::catalogue::kModels)
        if (m.replaces == h.chip) out.push_back({m.name, m.factor});
    return out;
}

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
                           std::vector<std::string>& notes) {
    std::vector<Part> parts;
    std::vector<bool> taken(found.chips.size(), false);
    for (const vgm::ChipHeader& h : song.chips) {
        for (int instance = 0; instance < h.instances; ++instance) {
            Part part;
            part.chip = h.chip;
            part.instance = instance;
            part.songClock = h.clock;
            const std::vector<Candidate> names = candidates(h);
            for (int pass = 0; pass < 2 && part.record < 0; ++pass) {
                for (std::size_t n = 0; n < names.size() && part.record < 0; ++n) {
                    const std::uint32_t want = h.clock * names[n].clockFactor;
                    for (std::size_t i = 0; i < found.chips.size(); ++i) {
                        const VeskChipInfo& c = found.chips[i];
                        if (taken[i] || text(c.name) != names[n].name) continue;
                        if (!onlyBoard.empty() && text(c.address) != onlyBoard) continue;
                        const bool fits = c.clock == want || c.variableClock;
                        if (pass == 0 && !fits) continue;
                        part.record = static_cast<int>(i);
                        part.model = names[n].name;
                        part.compatible = n > 0;
                        part.ownClock = !fits;
                        part.clock = fits ? want : c.clock;
                        const VeskBoardInfo* b = found.board(text(c.address));
                        part.waitMs = b ? b->waitMs : 0;
                        part.boardName = b ? text(b->name) : "";
                        taken[i] = true;
                        break;
                    }
                }
            }
            std::string label = std::string(vgm::chipName(h.chip)) + (instance ? " #2" : "");
            if (part.record < 0) {
                notes.push_back(label + ": no chip for it on the boards; this part is silent");
            } else {
                if (part.compatible) notes.push_back(label + ": plays on a " + part.model + " (compatible model)");
                if (part.ownClock)
                    notes.push_back(label + ": the " + part.model + "'s clock cannot change; it plays at its own " +
                                    std::to_string(part.clock) + " Hz instead of " + std::to_string(h.clock) + " Hz");
                if (h.chip == Chip::YM2610 && h.variant && part.model == "YM2610+H")
                    notes.push_back(label + ": a YM2610 has no FM channels 1 and 4 of the YM2610B; they are silent");
            }
            parts.push_back(part);
        }
    }
    return parts;
}

// ---------------------------------------------------------------- sending

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
std::vector<std::uint32_t> sccAddresses(bool plus, std::uint8_t port, std::uint8_t reg) {
    switch (port) {
    case 0:  // waveforms of channels 1-4; channel 5 shares channel 4's
        if (reg >= 0x80) return {};
        if (!plus) return {0x9800u + reg};
        if (reg >= 0x60) return {0xB800u + reg, 0xB820u + reg};
        return {0xB800u + reg};
    case 1:
        return reg < 0x0A ? std::vector<std::uint32_t>{(plus ? 0xB8A0u : 0x9880u) + reg} : std::vector<std::uint32_t>{};
    case 2:
        return reg < 0x05 ? std::vector<std::uint32_t>{(plus ? 0xB8AAu : 0x988Au) + reg} : std::vector<std::uint32_t>{};
    case 3: return {plus ? 0xB8AFu : 0x988Fu};
    case 4:  // the K052539's five waveforms
        if (plus) return reg < 0xA0 ? std::vector<std::uint32_t>{0xB800u + reg} : std::vector<std::uint32_t>{};
        return reg < 0x80 ? std::vector<std::uint32_t>{0x9800u + reg} : std::vector<std::uint32_t>{};
    case 5: return {plus ? 0xB8C0u : 0x98E0u};
    default: return {};
    }
}

// at: when the write's turn came (the time noted for its calls).
void sendWrite(Part& p, const vgm::Event& e, const CallLog& log, Clock::time_point at) {
    VeskChip* c = p.handle;
    auto write = [&](std::uint32_t address) {
        log.note(at, address, e.data);
        c->write(address, e.data);
    };
    switch (p.chip) {
    case Chip::SN76489:
        log.note(at, 0, e.data);
        c->writeData(0, e.data);
        break;
    case Chip::K051649:
        for (std::uint32_t a : sccAddresses(p.model == "SCC+", e.port, e.reg)) write(a);
        break;
    case Chip::YM2612:
    case Chip::YM2608:
    case Chip::YM2610:
    case Chip::YMF262: write(static_cast<std::uint32_t>(e.port) << 8 | e.reg); break;
    default: write(e.reg); break;
    }
    ++p.writes;
}

// Sample memory of the DELTA-T unit, written through the chip's own
// memory-write path: memory write mode, 8-bit RAM, the start and stop
// addresses in 32-byte units, the bytes to the data register, then the unit
// reset. base is 0x100 on the YM2608, 0x00 on the Y8950 (its registers
// 0x07-0x0F).
void loadDeltaT(Part& p, const vgm::Song& song, const vgm::Event& e, const CallLog& log) {
    const bool opna = p.chip == Chip::YM2608;
    const std::uint32_t control = opna ? 0x100 : 0x07, type = opna ? 0x101 : 0x08;
    const std::uint32_t startL = opna ? 0x102 : 0x09, stopL = opna ? 0x104 : 0x0B, data = opna ? 0x108 : 0x0F;
    const std::uint32_t first = e.start >> 5, last = (e.start + e.length - 1) >> 5;
    VeskChip* c = p.handle;
    auto put = [&](std::uint32_t address, std::uint32_t value) {
        if (log.calls) log.note(Clock::now(), address, static_cast<std::uint8_t>(value));
        c->write(address, value);
    };
    put(control, 0x01);
    put(control, 0x60);
    put(type, opna ? 0x02 : 0x00);
    put(startL, first & 0xFF);
    put(startL + 1, first >> 8 & 0xFF);
    put(stopL, last & 0xFF);
    put(stopL + 1, last >> 8 & 0xFF);
    if (opna) {
        put(0x10C, 0xFF);
        put(0x10D, 0xFF);
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(song.bytes.data()) + e.offset;
    for (std::uint32_t i = 0; i < e.length; ++i) put(data, bytes[i]);
    put(control, 0x00);
    put(control, 0x01);
    p.writes += e.length + 9;
}

void sendLoad(Part& p, const vgm::Song& song, const vgm::Event& e, std::vector<std::string>& notes,
              const CallLog& log) {
    if (e.length == 0) return;
    if (e.memory == vgm::Memory::YM2610AdpcmA || e.memory == vgm::Memory::YM2610DeltaT) {
        SampleBlock block{reinterpret_cast<const std::uint8_t*>(song.bytes.data()) + e.offset,
                          e.memory == vgm::Memory::YM2610AdpcmA ? 0u : 1u, e.length, e.start};
        if (!p.handle->uploadSampleMemory(&block))
            notes.push_back("sample memory load of " + std::to_string(e.length) + " bytes at " +
                            std::to_string(e.start) + " refused by the chip");
        return;
    }
    if (p.chip == Chip::YM2203) return;  // an OPN log carries no OPNA memory
    loadDeltaT(p, song, e, log);
}

// ---------------------------------------------------------------- pacing

// Waits until deadline: sleeps while far from it, then spins. The margin
// left for the spin follows how late the sleeps wake up. false when an
// interrupt arrives first.
class Pacer {
public:
    bool waitUntil(Clock::time_point deadline) {
        for (;;) {
            if (plat::interruptRequested()) return false;
            auto now = Clock::now();
            if (now >= deadline) return true;
            auto left = deadline - now;
            if (left <= margin_) break;
            auto target = std::min(deadline - margin_, now + std::chrono::milliseconds(50));
            plat::sleepUntil(target);
            auto over = Clock::now() - target;
            margin_ = std::clamp<Clock::duration>((margin_ * 7 + over * 2) / 8, std::chrono::microseconds(200),
                                                  std::chrono::milliseconds(4));
        }
        while (Clock::now() < deadline) {
        }
        return true;
    }

private:
    Clock::duration margin_ = std::chrono::milliseconds(1);
};

// ---------------------------------------------------------------- one file

struct FileResult {
    std::string path;
    bool ok = false;
    bool interrupted = false;
    std::string error;
    std::vector<std::string> notes;
    std::vector<Part> parts;
    std::map<std::string, std::uint64_t> skipped;
    std::uint64_t writes = 0;
    double seconds = 0;                  // music played
    double p50 = 0, p99 = 0, worst = 0;  // host lateness of the writes, us
    double callP99 = 0, callWorst = 0;   // time spent in the library's write calls, us
    bool timed = false;                  // the library was handed the writes' times
    std::vector<WriteCall> calls;        // with --write-times
};

struct Item {
    std::int64_t ns;  // host time from the start
    std::uint32_t event;
};

void showHeader(const vgm::Song& song, const std::vector<Part>& parts, const Boards& found) {
    if (!song.title.empty()) std::printf("  title:  %s\n", song.title.c_str());
    if (!song.game.empty()) std::printf("  game:   %s\n", song.game.c_str());
    if (!song.author.empty()) std::printf("  author: %s\n", song.author.c_str());
    for (const Part& p : parts) {
        std::string label = std::string(vgm::chipName(p.chip)) + (p.instance ? " #2" : "");
        if (p.record < 0) {
            std::printf("  %-11s %u Hz -> (silent)\n", label.c_str(), p.songClock);
            continue;
        }
        const VeskChipInfo& c = found.chips[static_cast<std::size_t>(p.record)];
        std::printf("  %-11s %u Hz -> %s at %u Hz, board %s [%s] slot %u, wait %u ms\n", label.c_str(), p.songClock,
                    p.model.c_str(), p.clock, p.boardName.c_str(), text(c.address).c_str(), c.slot, p.waitMs);
    }
}

// The writes to play, in host order: the first pass, then the looped part as
// often as asked, cut at the excerpt's end; each at its file time plus its
// part's shift. owner[i] is event i's part, null when it has no chip.
struct Schedule {
    std::vector<Item> items;
    std::vector<Part*> owner;
    std::uint64_t totalSamples = 0;  // the music's length, the tail included
    unsigned repeats = 0;
};

Schedule schedule(const vgm::Song& song, std::vector<Part>& parts, const Options& o) {
    // Parts on boards with less latency are held back by the difference.
    std::uint32_t latest = 0;
    for (const Part& p : parts)
        if (p.record >= 0) latest = std::max(latest, p.waitMs);
    for (Part& p : parts) p.shiftNs = static_cast<std::int64_t>(latest - p.waitMs) * 1000000;
    auto partOf = [&](const vgm::Event& e) -> Part* {
        for (Part& p : parts)
            if (p.chip == e.chip && p.instance == e.instance) return p.record >= 0 ? &p : nullptr;
        return nullptr;
    };

    Schedule sc;
    const std::uint64_t limit = o.seconds >= 0 ? static_cast<std::uint64_t>(o.seconds * vgm::kSampleRate) : UINT64_MAX;
    const std::uint64_t loopLength = song.endSample - song.loopSample;
    sc.repeats = song.looped ? o.loops : 0;
    sc.totalSamples = std::min<std::uint64_t>(limit, song.endSample + sc.repeats * loopLength);
    sc.owner.assign(song.events.size(), nullptr);
    for (std::size_t i = 0; i < song.events.size(); ++i) sc.owner[i] = partOf(song.events[i]);
    for (unsigned pass = 0; pass <= sc.repeats; ++pass) {
        const std::size_t from = pass ? song.loopEvent : 0;
        const std::uint64_t base = pass * loopLength;
        for (std::size_t i = from; i < song.events.size(); ++i) {
            const std::uint64_t at = song.events[i].sample + base;
            if (at >= limit) break;
            if (!sc.owner[i]) continue;
            sc.items.push_back({static_cast<std::int64_t>(at * 1000000000ull / vgm::kSampleRate) + sc.owner[i]->shiftNs,
                                static_cast<std::uint32_t>(i)});
        }
    }
    std::stable_sort(sc.items.begin(), sc.items.end(), [](const Item& a, const Item& b) { return a.ns < b.ns; });
    return sc;
}

// The progress line on a terminal: time played of the excerpt, a bar and
// the write rate, at most four times a second.
class ProgressLine {
public:
    ProgressLine(Clock::time_point start, double totalSeconds, bool looped)
        : start_(start), totalSeconds_(totalSeconds), looped_(looped) {}

    void show(Clock::time_point now, const std::vector<Part>& parts) {
        if (now < next_) return;
        next_ = now + std::chrono::milliseconds(250);
        std::uint64_t writes = 0;
        for (const Part& q : parts) writes += q.writes;
        const double span = std::chrono::duration<double>(now - shownAt_).count();
        if (span >= 0.5) {
            rate_ = (writes - shownWrites_) / span;
            shownWrites_ = writes;
            shownAt_ = now;
        }
        const double elapsed = std::max(0.0, std::chrono::duration<double>(now - start_).count());
        const int filled = totalSeconds_ > 0 ? static_cast<int>(30 * std::min(1.0, elapsed / totalSeconds_)) : 30;
        std::printf("\r  %s / %s%s [%s%s] %7.0f writes/s ", minutes(elapsed).c_str(), minutes(totalSeconds_).c_str(),
                    looped_ ? " (loop)" : "", std::string(filled, '#').c_str(), std::string(30 - filled, '-').c_str(),
                    rate_);
        std::fflush(stdout);
    }

private:
    Clock::time_point start_;
    double totalSeconds_;
    bool looped_;
    Clock::time_point next_ = Clock::now();
    Clock::time_point shownAt_ = Clock::now();
    std::uint64_t shownWrites_ = 0;
    double rate_ = 0;
};

// The median, 99th percentile and largest of values (sorted here); zeros
// when there are none.
struct Spread {
    double p50 = 0, p99 = 0, worst = 0;
};
Spread spreadOf(std::vector<std::uint32_t>& values) {
    Spread s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    s.p50 = values[values.size() / 2];
    s.p99 = values[std::min(values.size() - 1, values.size() * 99 / 100)];
    s.worst = values.back();
    return s;
}

// How far ahead of the music timed writes are handed to the library: each
// board's latency (the most the library takes without waiting in the
// call), at most this. While the player is stalled the library keeps the
// board's timeline running about a latency ahead, so a stall up to the lead
// leaves the music where it was.
constexpr auto kMostAhead = std::chrono::milliseconds(100);
// A wake-up hands over every write due within the lead, and sleeps at least
// this long: a dense song costs a few hundred wake-ups a second, not one per
// write.
constexpr auto kTimedNap = std::chrono::milliseconds(5);

// How far ahead of its time a part's writes are handed over: its board's
// latency less a nap and a margin, so that a write handed over a nap late
// never makes the library wait.
std::int64_t aheadNs(const Part& p) {
    using std::chrono::nanoseconds;
    const auto lead = std::min<nanoseconds>(std::chrono::milliseconds(p.waitMs), kMostAhead) - kTimedNap -
                      std::chrono::milliseconds(1);
    return std::max<std::int64_t>(0, lead.count());
}

// Test seam: VESK_PLAY_STALL="S,MS" stalls the player's thread MS ms once,
// when the first write at or after S s of the music is due to be made (a
// player preempted mid-song on a busy host).
struct Stall {
    std::int64_t atNs = -1;
    std::chrono::milliseconds length{0};
    static Stall fromEnvironment() {
        Stall st;
        const char* v = std::getenv("VESK_PLAY_STALL");
        double at = 0, ms = 0;
        if (v && std::sscanf(v, "%lf,%lf", &at, &ms) == 2 && at >= 0 && ms > 0) {
            st.atNs = static_cast<std::int64_t>(at * 1e9);
            st.length = std::chrono::milliseconds(static_cast<std::int64_t>(ms));
        }
        return st;
    }
    void maybe(std::int64_t ns) {
        if (atNs < 0 || ns < atNs) return;
        atNs = -1;
        plat::sleepUntil(Clock::now() + length);
    }
};

// Sleeps until t, waking for interrupts at least every 50 ms, without a
// spin; false when an interrupt came first.
bool napUntil(Clock::time_point t) {
    for (;;) {
        if (plat::interruptRequested()) return false;
        const auto now = Clock::now();
        if (now >= t) return true;
        plat::sleepUntil(std::min(t, now + std::chrono::milliseconds(50)));
    }
}

// Plays the schedule from start, then waits out the song's tail. Timed
// (timed set): each write is handed to the library with its time, its
// part's lead before it; paced: each write is made at its time. Records
// each write's lateness (against its hand-over time, or its time) and the
// library call's time (us) in r and, with logCalls, each write call in
// r.calls (--write-times); false when the user interrupted.
bool playSchedule(const Schedule& sc, const vgm::Song& song, Clock::time_point start, const VeskTimedWrites* timed,
                  bool progress, bool logCalls, FileResult& r) {
    std::vector<std::uint32_t> late, call;
    late.reserve(sc.items.size());
    call.reserve(sc.items.size());
    Pacer pacer;
    Stall stall = Stall::fromEnvironment();
    const double totalSeconds = static_cast<double>(sc.totalSamples) / vgm::kSampleRate;
    ProgressLine line(start, totalSeconds, sc.repeats > 0);
    r.timed = timed != nullptr;
    // The library's clock against the player's, read once.
    const std::int64_t libraryStart =
        r.timed ? timed->now() + std::chrono::duration_cast<std::chrono::nanoseconds>(start - Clock::now()).count() : 0;
    bool interrupted = false;
    Clock::time_point awake{};  // timed: handed over up to here without sleeping
    // Timed, in the order of their hand-over: each board's writes stay in
    // order, and a board with more latency is handed its writes earlier.
    std::vector<Item> order;
    if (r.timed) {
        order = sc.items;
        std::stable_sort(order.begin(), order.end(), [&](const Item& a, const Item& b) {
            return a.ns - aheadNs(*sc.owner[a.event]) < b.ns - aheadNs(*sc.owner[b.event]);
        });
    }
    for (const Item& it : r.timed ? order : sc.items) {
        const auto deadline = start + std::chrono::nanoseconds(it.ns);
        const auto handOver = deadline - std::chrono::nanoseconds(r.timed ? aheadNs(*sc.owner[it.event]) : 0);
        if (r.timed && handOver > awake) {
            if (!napUntil(handOver)) {
                interrupted = true;
                break;
            }
            awake = Clock::now() + kTimedNap;
        } else if (!r.timed && !pacer.waitUntil(deadline)) {
            interrupted = true;
            break;
        }
        stall.maybe(it.ns);
        const auto now = Clock::now();
        late.push_back(static_cast<std::uint32_t>(std::min<std::int64_t>(
            std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::microseconds>(now - handOver).count()),
            UINT32_MAX)));
        const vgm::Event& e = song.events[it.event];
        Part& p = *sc.owner[it.event];
        if (p.handle) {
            const CallLog log{logCalls ? &r.calls : nullptr, static_cast<std::uint8_t>(&p - r.parts.data())};
            if (r.timed) timed->setWriteTime(libraryStart + it.ns);
            if (e.kind == vgm::Event::Write)
                sendWrite(p, e, log, r.timed ? deadline : now);
            else
                sendLoad(p, song, e, r.notes, log);
            call.push_back(static_cast<std::uint32_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - now).count()));
        }
        if (progress) line.show(now, r.parts);
    }
    if (r.timed) timed->clearWriteTime();
    if (!interrupted) {
        // The tail: the music runs until the song's end, not its last write.
        const auto end = start + std::chrono::nanoseconds(
                                     static_cast<std::int64_t>(sc.totalSamples * 1000000000ull / vgm::kSampleRate));
        if (!(r.timed ? napUntil(end) : pacer.waitUntil(end))) interrupted = true;
    }
    if (progress) std::printf("\n");
    r.seconds = std::min(totalSeconds, std::max(0.0, std::chrono::duration<double>(Clock::now() - start).count()));
    const Spread lateness = spreadOf(late), calls = spreadOf(call);
    r.p50 = lateness.p50;
    r.p99 = lateness.p99;
    r.worst = lateness.worst;
    r.callP99 = calls.p99;
    r.callWorst = calls.worst;
    return !interrupted;
}

FileResult playFile(const std::string& path, const Options& o, VeskManager* m, const Boards& found,
                    const VeskTimedWrites* timedApi, bool terminal) {
    FileResult r;
    r.path = path;
    std::string bytes;
    if (!plat::readFile(path, bytes)) {
        r.error = path + ": cannot be read";
        return r;
    }
    vgm::Song song;
    if (!vgm::readSong(bytes, path, song, r.error)) return r;
    bytes.clear();
    r.skipped = song.skipped;
    for (const std::string& w : song.warnings) r.notes.push_back(w);
    r.parts = mapParts(song, found, o.board, r.notes);
    const bool progress = terminal && !o.quiet && !o.list;
    if (!o.quiet || o.list) {
        std::printf("%s\n", path.c_str());
        showHeader(song, r.parts, found);
    }
    for (const std::string& n : r.notes) std::fprintf(stderr, "%s: %s\n", path.c_str(), n.c_str());
    if (song.chips.empty() ||
        std::none_of(r.parts.begin(), r.parts.end(), [](const Part& p) { return p.record >= 0; })) {
        r.error = path + ": no chip on the boards for any of its parts";
        return r;
    }
    if (o.list) {
        r.ok = true;
        return r;
    }

    const Schedule sc = schedule(song, r.parts, o);
    for (Part& p : r.parts) {
        if (p.record < 0) continue;
        const VeskChipInfo& c = found.chips[static_cast<std::size_t>(p.record)];
        p.handle = m->getChipBySlot(c.address, c.slot, p.clock);
        if (!p.handle) r.notes.push_back(std::string(vgm::chipName(p.chip)) + ": the chip could not be had; silent");
    }
    const bool logCalls = !o.writeTimes.empty();
    if (logCalls) {
        // Room for every call, so that noting one never reallocates mid-song:
        // a load makes a call per byte and nine more, an SCC+ waveform write two.
        std::size_t room = 0;
        for (const Item& it : sc.items) {
            const vgm::Event& e = song.events[it.event];
            room += e.kind == vgm::Event::Write ? 2 : e.length + 9;
        }
        r.calls.reserve(room);
    }
    r.interrupted =
        !playSchedule(sc, song, Clock::now() + std::chrono::milliseconds(100), timedApi, progress, logCalls, r);

    // Silence and hand back every chip of the song.
    for (Part& p : r.parts) {
        if (!p.handle) continue;
        p.handle->reset();
        m->releaseChip(p.handle);
        p.handle = nullptr;
    }
    for (const Part& p : r.parts) r.writes += p.writes;
    r.ok = true;
    return r;
}

// threadsBefore / threadsAfter: the process's threads before init and after
// release (-1 when the system cannot tell): equal unless release left one.
void writeReport(const std::string& path, const std::vector<FileResult>& results, const Boards& found,
                 int threadsBefore, int threadsAfter) {
    std::string j = "{\n  \"threads\": {\"before_init\": " + std::to_string(threadsBefore) +
                    ", \"after_release\": " + std::to_string(threadsAfter) + "},\n  \"files\": [";
    for (std::size_t f = 0; f < results.size(); ++f) {
        const FileResult& r = results[f];
        j += f ? ",\n    {" : "\n    {";
        j += "\"file\": " + jsonText(r.path) + ", \"ok\": " + (r.ok ? "true" : "false");
        if (!r.error.empty()) j += ", \"error\": " + jsonText(r.error);
        j += ", \"interrupted\": " + std::string(r.interrupted ? "true" : "false");
        char num[160];
        std::snprintf(num, sizeof num, ", \"seconds\": %.3f, \"writes\": %" PRIu64, r.seconds, r.writes);
        j += num;
        j += ", \"chips\": [";
        for (std::size_t i = 0; i < r.parts.size(); ++i) {
            const Part& p = r.parts[i];
            j += i ? ", {" : "{";
            j += "\"part\": " + jsonText(std::string(vgm::chipName(p.chip)) + (p.instance ? " #2" : ""));
            if (p.record >= 0) {
                const VeskChipInfo& c = found.chips[static_cast<std::size_t>(p.record)];
                std::snprintf(num, sizeof num, ", \"slot\": %u, \"clock\": %u, \"wait_ms\": %u, \"writes\": %" PRIu64,
                              c.slot, p.clock, p.waitMs, p.writes);
                j += ", \"model\": " + jsonText(p.model) + ", \"board\": " + jsonText(p.boardName) +
                     ", \"address\": " + jsonText(text(c.address)) + num;
            } else {
                j += ", \"model\": null, \"writes\": 0";
            }
            j += "}";
        }
        j += "], \"skipped\": {";
        bool first = true;
        for (const auto& [kind, count] : r.skipped) {
            j += (first ? "" : ", ") + jsonText(kind) + ": " + std::to_string(count);
            first = false;
        }
        j += "}, \"notes\": [";
        for (std::size_t i = 0; i < r.notes.size(); ++i) j += (i ? ", " : "") + jsonText(r.notes[i]);
        std::snprintf(num, sizeof num,
                      "], \"pacing\": \"%s\", \"pacing_us\": {\"p50\": %.0f, \"p99\": %.0f, \"max\": %.0f}"
                      ", \"write_call_us\": {\"p99\": %.0f, \"max\": %.0f}}",
                      r.timed ? "timed" : "paced", r.p50, r.p99, r.worst, r.callP99, r.callWorst);
        j += num;
    }
    j += "\n  ]\n}\n";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(j.data(), 1, j.size(), f) != j.size())
        std::fprintf(stderr, "%s: cannot be written\n", path.c_str());
    if (f) std::fclose(f);
}

// --write-times: per file "file INDEX PATH", its parts "part INDEX NAME", then
// a line per write call in call order: part index, ns since the file's
// previous call (the first: the steady clock's own count), address and data
// in hex.
void writeCallTimes(const std::string& path, const std::vector<FileResult>& results) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    bool ok = f != nullptr;
    for (std::size_t i = 0; ok && i < results.size(); ++i) {
        const FileResult& r = results[i];
        ok = std::fprintf(f, "file %zu %s\n", i, r.path.c_str()) > 0;
        for (std::size_t k = 0; ok && k < r.parts.size(); ++k)
            ok = std::fprintf(f, "part %zu %s%s\n", k, vgm::chipName(r.parts[k].chip),
                              r.parts[k].instance ? " #2" : "") > 0;
        std::int64_t last = 0;
        for (const WriteCall& c : r.calls) {
            if (!ok) break;
            ok = std::fprintf(f, "%u %" PRId64 " %x %x\n", c.part, c.ns - last, c.address, c.data) > 0;
            last = c.ns;
        }
    }
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok) std::fprintf(stderr, "%s: cannot be written\n", path.c_str());
}

bool parseNumber(const char* s, double& out) {
    char* end = nullptr;
    out = std::strtod(s, &end);
    return end != s && *end == 0 && out >= 0;
}

// The library the player loads: the one in its own folder.
std::string libraryBeside() { return vesk::tools::libraryBeside(reinterpret_cast<const void*>(&parseNumber)); }

// 0 parsed, 1 --help or --version shown, 2 usage error (message shown).
int parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char*& v) {
            if (i + 1 >= argc) return false;
            v = argv[++i];
            return true;
        };
        const char* v = nullptr;
        double n = 0;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 1;
        } else if (a == "--version") {
            vesk::tools::printVersion("vesk_play", libraryBeside());
            return 1;
        } else if (a == "--loops") {
            if (!value(v) || !parseNumber(v, n) || n != static_cast<unsigned>(n)) {
                std::fprintf(stderr, "vesk_play: --loops needs a whole number\n%s", kUsage);
                return 2;
            }
            o.loops = static_cast<unsigned>(n);
        } else if (a == "--seconds") {
            if (!value(v) || !parseNumber(v, n)) {
                std::fprintf(stderr, "vesk_play: --seconds needs a number of seconds\n%s", kUsage);
                return 2;
            }
            o.seconds = n;
        } else if (a == "--board") {
            if (!value(v)) {
                std::fprintf(stderr, "vesk_play: --board needs an address\n%s", kUsage);
                return 2;
            }
            o.board = v;
        } else if (a == "--report") {
            if (!value(v)) {
                std::fprintf(stderr, "vesk_play: --report needs a file name\n%s", kUsage);
                return 2;
            }
            o.report = v;
        } else if (a == "--write-times") {
            if (!value(v)) {
                std::fprintf(stderr, "vesk_play: --write-times needs a file name\n%s", kUsage);
                return 2;
            }
            o.writeTimes = v;
        } else if (a == "--paced") {
            o.paced = true;
        } else if (a == "--list") {
            o.list = true;
        } else if (a == "--quiet") {
            o.quiet = true;
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "vesk_play: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        } else {
            o.files.push_back(a);
        }
    }
    if (o.files.empty()) {
        std::fprintf(stderr, "vesk_play: no file given\n%s", kUsage);
        return 2;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (int rc = parseOptions(argc, argv, o)) return rc == 1 ? 0 : 2;
    plat::ConsoleUtf8 utf8Console;
    plat::catchInterrupts();
    const bool terminal = plat::stdoutIsTerminal();

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
    int rc = 0;
    for (const std::string& path : o.files) {
        FileResult r = playFile(path, o, m, found, timedApi, terminal);
        if (!r.ok) {
            std::fprintf(stderr, "%s\n", r.error.c_str());
            rc = 1;
        } else if (o.quiet && !o.list) {
            std::uint64_t skipped = 0;
            for (const auto& s : r.skipped) skipped += s.second;
            int used = 0;
            for (const Part& p : r.parts) used += p.record >= 0;
            std::printf("%s: %.1f s, %" PRIu64 " writes on %d chip(s), %" PRIu64
                        " commands skipped, pacing (%s) p50 %.0f us p99 %.0f us\n",
                        baseName(path).c_str(), r.seconds, r.writes, used, skipped, r.timed ? "timed" : "paced", r.p50,
                        r.p99);
        }
        const bool stop = r.interrupted;
        results.push_back(std::move(r));
        if (stop || plat::interruptRequested()) break;
    }
    std::fflush(stdout);
    const bool interrupted = plat::interruptRequested();
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
