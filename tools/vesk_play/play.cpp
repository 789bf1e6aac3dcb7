#include "play.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "fade.h"
#include "platform/platform.h"
#include "seek.h"

namespace vesk::play {

namespace {

// Waits until deadline: sleeps while far from it, then spins. The margin
// left for the spin follows how late the sleeps wake up. What the user
// asked for when that came first, else Ask::None.
class Pacer {
public:
    Ask waitUntil(Clock::time_point deadline, Keys& keys) {
        for (;;) {
            if (const Ask a = keys.poll(); a != Ask::None) return a;
            auto now = Clock::now();
            if (now >= deadline) return Ask::None;
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
        return Ask::None;
    }

private:
    Clock::duration margin_ = std::chrono::milliseconds(1);
};

struct Item {
    std::int64_t ns;  // host time from the start
    const vgm::Event* event;
    Part* part;
    std::uint64_t at;  // its place in the music (the loops played before it counted), in samples
};

// Started past a song's beginning (--start), the music begins this long
// after the writes that set its chips up, which the chips take as fast as
// they can: a few hundred writes of a few tens of us each.
constexpr std::int64_t kSetUpNs = 50000000;

// The writes to play, in host order: the first pass, then the looped part as
// often as asked, from the start point to the excerpt's end; each at its
// time from the start point plus its part's shift. Started past the
// beginning, the chips' state there and the memory loads before it come
// first.
struct Schedule {
    std::vector<Item> items;
    std::vector<vgm::Event> setUp;   // the chips' state at the start point
    std::uint64_t totalSamples = 0;  // the music's length from the start point, the tail included
    unsigned repeats = 0;
    std::int64_t fadeAtNs = -1;  // host time from the start at which the fade begins
    std::uint64_t fromSample = 0;  // where the music starts, in samples from the song's start
    std::uint64_t endSample = 0;   // the music's end, in samples from the song's start
};

// fadeSeconds: the music goes on this long after the last loop, for a fade.
// from: where in the music to start, in samples.
Schedule schedule(const vgm::Song& song, std::vector<Part>& parts, const Options& o, std::uint64_t from,
                  double fadeSeconds) {
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
    // --seconds counts from --start, wherever a pause or a seek goes on from.
    const std::uint64_t limit =
        o.seconds >= 0 ? static_cast<std::uint64_t>((o.start + o.seconds) * vgm::kSampleRate) : UINT64_MAX;
    const std::uint64_t loopLength = song.endSample - song.loopSample;
    sc.repeats = song.looped ? o.loops : 0;
    const std::uint64_t natural = song.endSample + sc.repeats * loopLength;
    const auto fade = static_cast<std::uint64_t>(fadeSeconds * vgm::kSampleRate);
    const std::uint64_t end = std::min<std::uint64_t>(limit, natural + fade);
    sc.totalSamples = end > from ? end - from : 0;
    sc.fromSample = from;
    sc.endSample = end;
    const std::int64_t setUpNs = from ? kSetUpNs : 0;
    if (fade && natural > from)
        sc.fadeAtNs = static_cast<std::int64_t>((natural - from) * 1000000000ull / vgm::kSampleRate) + setUpNs;
    // The fade plays the looped part on, as often as it takes.
    const unsigned passes = sc.repeats + (fade && loopLength ? static_cast<unsigned>(fade / loopLength) + 1 : 0);
    std::vector<Part*> owner(song.events.size(), nullptr);
    for (std::size_t i = 0; i < song.events.size(); ++i) owner[i] = partOf(song.events[i]);
    std::vector<ChipState> states;
    for (const Part& p : parts) states.emplace_back(p.chip);
    std::vector<Item> loads;  // the memory loads before the start point
    for (unsigned pass = 0; pass <= passes; ++pass) {
        const std::size_t first = pass ? song.loopEvent : 0;
        const std::uint64_t base = pass * loopLength;
        for (std::size_t i = first; i < song.events.size(); ++i) {
            const vgm::Event& e = song.events[i];
            const std::uint64_t at = e.sample + base;
            if (at >= end) break;
            Part* p = owner[i];
            if (!p) continue;
            if (at < from) {
                if (e.kind == vgm::Event::Load)
                    loads.push_back({p->shiftNs, &e, p, from});
                else
                    states[static_cast<std::size_t>(p - parts.data())].take(e);
                continue;
            }
            sc.items.push_back(
                {static_cast<std::int64_t>((at - from) * 1000000000ull / vgm::kSampleRate) + setUpNs + p->shiftNs, &e, p,
                 at});
        }
    }
    if (from) {
        std::vector<Item> setUp = std::move(loads);
        for (std::size_t k = 0; k < parts.size(); ++k)
            for (const vgm::Event& e : states[k].writes()) {
                sc.setUp.push_back(e);
                setUp.push_back({parts[k].shiftNs, nullptr, &parts[k], from});
            }
        // The loads' items point into the song, the state's into setUp, now
        // that it has stopped growing.
        for (std::size_t k = 0, w = 0; k < setUp.size(); ++k)
            if (!setUp[k].event) setUp[k].event = &sc.setUp[w++];
        sc.items.insert(sc.items.begin(), setUp.begin(), setUp.end());
        sc.totalSamples += static_cast<std::uint64_t>(setUpNs) * vgm::kSampleRate / 1000000000ull;
    }
    std::stable_sort(sc.items.begin(), sc.items.end(), [](const Item& a, const Item& b) { return a.ns < b.ns; });
    return sc;
}

// The line on a terminal, rewritten in place at most four times a second:
// the song (title and game, else the file's name), where the music is and
// how long it runs (loops and fade counted), the loop playing, the chips and
// their write rate; cut to 79 columns so that it never wraps on a standard
// terminal.
class ProgressLine {
public:
    ProgressLine(const std::string& song, const std::vector<Part>& parts, const vgm::Song& s, const Schedule& sc,
                 std::uint64_t from, Clock::time_point start)
        : song_(song), start_(start), from_(from), end_(sc.endSample), songEnd_(s.endSample),
          loopLength_(s.endSample - s.loopSample), repeats_(sc.repeats), fadeAt_(sc.fadeAtNs) {
        for (const Part& p : parts)
            if (p.record >= 0) chips_ += (chips_.empty() ? "" : "+") + std::string(vgm::chipName(p.chip));
    }

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
        const double played = std::max(0.0, std::chrono::duration<double>(now - start_).count());
        const auto at = std::min(end_, from_ + static_cast<std::uint64_t>(played * vgm::kSampleRate));
        std::string where;
        if (fadeAt_ >= 0 && now - start_ >= std::chrono::nanoseconds(fadeAt_))
            where = "  fading";
        else if (repeats_ && at >= songEnd_ && loopLength_)
            where = "  loop " + std::to_string(std::min<std::uint64_t>(repeats_, 1 + (at - songEnd_) / loopLength_)) +
                    " of " + std::to_string(repeats_);
        char rate[32];
        std::snprintf(rate, sizeof rate, "  %.0f writes/s", rate_);
        const std::string tail = "  " + minutes(static_cast<double>(at) / vgm::kSampleRate) + " / " +
                                 minutes(static_cast<double>(end_) / vgm::kSampleRate) + where + "  " + chips_ + rate;
        // The song's name gives way first, then the rate.
        constexpr std::size_t kColumns = 79;
        std::string line = song_;
        if (line.size() + tail.size() > kColumns)
            line = cut(line, kColumns > tail.size() + 3 ? kColumns - tail.size() - 3 : 0) + "...";
        line = cut(line + tail, kColumns);
        std::printf("\r%-79s", line.c_str());
        std::fflush(stdout);
    }

private:
    // s cut to at most n bytes, never inside a UTF-8 character.
    static std::string cut(const std::string& s, std::size_t n) {
        if (n >= s.size()) return s;
        while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
        return s.substr(0, n);
    }

    std::string song_, chips_;
    Clock::time_point start_;
    std::uint64_t from_, end_, songEnd_, loopLength_;
    unsigned repeats_;
    std::int64_t fadeAt_;
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

// Sleeps until t, waking for the user at least every 20 ms, without a
// spin; what the user asked for when that came first, else Ask::None.
Ask napUntil(Clock::time_point t, Keys& keys) {
    for (;;) {
        if (const Ask a = keys.poll(); a != Ask::None) return a;
        const auto now = Clock::now();
        if (now >= t) return Ask::None;
        plat::sleepUntil(std::min(t, now + std::chrono::milliseconds(20)));
    }
}

// Where playing stopped: what the user asked for (Ask::None: the music's
// end) and where the music was, in samples: the first write not handed
// over (the writes of a board with more latency go earlier).
struct Stop {
    Ask ask = Ask::None;
    std::uint64_t at = 0;
};

// Plays the schedule from start, then waits out the song's tail. Timed
// (timed set): each write is handed to the library with its time, its
// part's lead before it; paced: each write is made at its time. Records
// each write's lateness (against its hand-over time, or its time) and the
// library call's time (us) in r and, with logCalls, each write call in
// r.calls (--write-times). Stops early for what the user asks for.
Stop playSchedule(const Schedule& sc, const vgm::Song& song, Clock::time_point start, const VeskTimedWrites* timed,
                  bool progress, bool logCalls, Keys& keys, FileResult& r) {
    std::vector<std::uint32_t> late, call;
    late.reserve(sc.items.size());
    call.reserve(sc.items.size());
    Pacer pacer;
    Stall stall = Stall::fromEnvironment();
    const double totalSeconds = static_cast<double>(sc.totalSamples) / vgm::kSampleRate;
    const std::string name = song.title.empty() ? baseName(r.path) : song.title + (song.game.empty() ? "" : " - " + song.game);
    ProgressLine line(name, r.parts, song, sc, sc.fromSample, start);
    r.timed = timed != nullptr;
    // The library's clock against the player's, read once.
    const std::int64_t libraryStart =
        r.timed ? timed->now() + std::chrono::duration_cast<std::chrono::nanoseconds>(start - Clock::now()).count() : 0;
    Stop stop;
    std::size_t done = 0;  // items handed over
    Clock::time_point awake{};  // timed: handed over up to here without sleeping
    // Timed, in the order of their hand-over: each board's writes stay in
    // order, and a board with more latency is handed its writes earlier.
    std::vector<Item> order;
    if (r.timed) {
        order = sc.items;
        std::stable_sort(order.begin(), order.end(), [&](const Item& a, const Item& b) {
            return a.ns - aheadNs(*a.part) < b.ns - aheadNs(*b.part);
        });
    }
    const std::vector<Item>& items = r.timed ? order : sc.items;
    for (; done < items.size(); ++done) {
        const Item& it = items[done];
        const auto deadline = start + std::chrono::nanoseconds(it.ns);
        const auto handOver = deadline - std::chrono::nanoseconds(r.timed ? aheadNs(*it.part) : 0);
        if (r.timed && handOver > awake) {
            if ((stop.ask = napUntil(handOver, keys)) != Ask::None) break;
            awake = Clock::now() + kTimedNap;
        } else if (!r.timed && (stop.ask = pacer.waitUntil(deadline, keys)) != Ask::None) {
            break;
        }
        stall.maybe(it.ns);
        const auto now = Clock::now();
        late.push_back(static_cast<std::uint32_t>(std::min<std::int64_t>(
            std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::microseconds>(now - handOver).count()),
            UINT32_MAX)));
        const vgm::Event& e = *it.event;
        Part& p = *it.part;
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
    const auto end = start + std::chrono::nanoseconds(
                                 static_cast<std::int64_t>(sc.totalSamples * 1000000000ull / vgm::kSampleRate));
    if (stop.ask == Ask::None) {
        // The tail: the music runs until the song's end, not its last write.
        stop.ask = r.timed ? napUntil(end, keys) : pacer.waitUntil(end, keys);
    }
    stop.at = UINT64_MAX;
    for (std::size_t k = done; k < items.size(); ++k) stop.at = std::min(stop.at, items[k].at);
    if (stop.at == UINT64_MAX) {
        // In the tail: where the music is now.
        const auto left = std::max<Clock::duration>(Clock::duration::zero(), end - Clock::now());
        const auto leftSamples = static_cast<std::uint64_t>(std::chrono::duration<double>(left).count() * vgm::kSampleRate);
        stop.at = sc.endSample - std::min(sc.endSample, leftSamples);
    }
    if (progress) std::printf("\n");
    r.seconds = std::min(totalSeconds, std::max(0.0, std::chrono::duration<double>(Clock::now() - start).count()));
    const Spread lateness = spreadOf(late), calls = spreadOf(call);
    r.p50 = lateness.p50;
    r.p99 = lateness.p99;
    r.worst = lateness.worst;
    r.callP99 = calls.p99;
    r.callWorst = calls.worst;
    return stop;
}

}  // namespace

Ask Keys::poll() {
    if (plat::interruptRequested()) return Ask::Quit;
    if (!console_ || !console_->active()) return Ask::None;
    const auto now = Clock::now();
    if (now < next_) return Ask::None;
    next_ = now + std::chrono::milliseconds(20);
    switch (console_->read()) {
    case ' ': return Ask::Pause;
    case 'n': case 'N': return Ask::Next;
    case 'p': case 'P': return Ask::Previous;
    case 'q': case 'Q': return Ask::Quit;
    case plat::kKeyLeft: return Ask::Back;
    case plat::kKeyRight: return Ask::Forward;
    default: return Ask::None;
    }
}

Ask Keys::wait() {
    for (;;) {
        if (const Ask a = poll(); a != Ask::None) return a;
        plat::sleepUntil(Clock::now() + std::chrono::milliseconds(20));
    }
}

bool loadSong(const std::string& path, vgm::Song& song, std::string& error) {
    std::string bytes;
    plat::FileError why = plat::FileError::Other;
    if (!plat::readFile(path, bytes, &why)) {
        switch (why) {
        case plat::FileError::Missing: error = path + ": no such file"; break;
        case plat::FileError::Denied: error = path + ": not allowed to read it"; break;
        case plat::FileError::Folder: error = path + ": a folder, not a file"; break;
        default: error = path + ": cannot be read"; break;
        }
        return false;
    }
    return vgm::readSong(bytes, path, song, error);
}

FileResult playFile(const std::string& path, const Options& o, VeskManager* m, const Boards& found,
                    const VeskTimedWrites* timedApi, bool terminal, Keys& keys) {
    FileResult r;
    r.path = path;
    vgm::Song song;
    if (!loadSong(path, song, r.error)) return r;
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

    // A looped song played to its end fades out where its boards have an
    // attenuator; elsewhere it ends after its loops.
    std::vector<std::string> playing;
    std::uint32_t latest = 0;
    for (const Part& p : r.parts)
        if (p.record >= 0) {
            playing.push_back(text(found.chips[static_cast<std::size_t>(p.record)].address));
            latest = std::max(latest, p.waitMs);
        }
    std::unique_ptr<Fader> fader;
    if (o.fade > 0 && song.looped && o.seconds < 0) fader = std::make_unique<Fader>(m, playing);
    const double fadeSeconds = fader && fader->any() ? o.fade : 0;
    for (Part& p : r.parts) {
        if (p.record < 0) continue;
        const VeskChipInfo& c = found.chips[static_cast<std::size_t>(p.record)];
        p.handle = m->getChipBySlot(c.address, c.slot, p.clock);
        if (!p.handle) r.notes.push_back(std::string(vgm::chipName(p.chip)) + ": the chip could not be had; silent");
    }
    // Silences the chips; after a fade, puts the volume back once the
    // silence has reached their outputs.
    auto silence = [&](bool faded) {
        for (Part& p : r.parts)
            if (p.handle) p.handle->reset();
        if (faded) {
            plat::sleepUntil(Clock::now() + std::chrono::milliseconds(latest + 20));
            fader->restore();
        }
    };
    const std::uint64_t seekStep = 5 * vgm::kSampleRate;
    std::uint64_t from = static_cast<std::uint64_t>(o.start * vgm::kSampleRate);
    for (;;) {
        const Schedule sc = schedule(song, r.parts, o, from, fadeSeconds);
        if (!o.writeTimes.empty()) {
            // Room for every call, so that noting one never reallocates
            // mid-song: a load makes a call per byte and nine more, an SCC+
            // waveform write two.
            std::size_t room = r.calls.size();
            for (const Item& it : sc.items) room += it.event->kind == vgm::Event::Write ? 2 : it.event->length + 9;
            r.calls.reserve(room);
        }
        const auto start = Clock::now() + std::chrono::milliseconds(100);
        // The boards sound each write their latency after its time.
        if (sc.fadeAtNs >= 0)
            fader->start(start + std::chrono::nanoseconds(sc.fadeAtNs) + std::chrono::milliseconds(latest), o.fade);
        const Stop stop = playSchedule(sc, song, start, timedApi, progress, !o.writeTimes.empty(), keys, r);
        if (fader) fader->stop();
        Ask ask = stop.ask;
        if (ask == Ask::Pause || ask == Ask::Back || ask == Ask::Forward) {
            silence(sc.fadeAtNs >= 0);
            if (ask == Ask::Pause) {
                if (progress) std::printf("  paused: space goes on\r");
                std::fflush(stdout);
                ask = keys.wait();
                if (ask == Ask::Pause) ask = Ask::None;  // resumed where it was
            }
            if (ask == Ask::None || ask == Ask::Back || ask == Ask::Forward) {
                from = ask == Ask::Back ? stop.at - std::min(stop.at, seekStep)
                                        : ask == Ask::Forward ? stop.at + seekStep : stop.at;
                if (from < sc.endSample) continue;
                ask = Ask::None;  // sought past the end: the song is over
            }
        }
        r.ask = ask == Ask::Quit || ask == Ask::Next || ask == Ask::Previous ? ask : Ask::None;
        r.interrupted = ask == Ask::Quit;
        // Silence and hand back every chip of the song.
        silence(sc.fadeAtNs >= 0);
        for (Part& p : r.parts) {
            if (!p.handle) continue;
            m->releaseChip(p.handle);
            p.handle = nullptr;
        }
        break;
    }
    for (const Part& p : r.parts) r.writes += p.writes;
    r.ok = true;
    return r;
}


}  // namespace vesk::play
