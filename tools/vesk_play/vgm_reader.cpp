#include "vgm_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vesk::vgm {

namespace {

constexpr std::size_t kMaxInflated = 256u << 20;  // a bigger log is not music
// Writes one log may produce: far above any song (the densest DAC songs hold
// a few million), far below what a made-up stream rate could ask for.
constexpr std::size_t kMaxEvents = 8u << 20;

std::uint32_t u32(const std::string& b, std::size_t at) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(b.data()) + at;
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t u16(const std::string& b, std::size_t at) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(b.data()) + at;
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::string hex(std::uint64_t v, int digits = 0) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%0*llx", digits, static_cast<unsigned long long>(v));
    return b;
}

// The write commands outside the register-write range, from the catalogue.
constexpr std::uint8_t kSN76489Write = catalogue::family(Chip::SN76489).command;
constexpr std::uint8_t kAY8910Write = catalogue::family(Chip::AY8910).command;
constexpr std::uint8_t kK051649Write = catalogue::family(Chip::K051649).command;

struct Fail {
    std::uint64_t offset;
    std::string what;
};

// One DAC stream (0x90-0x95): writes data bytes of a bank to one register
// at a fixed rate.
struct Stream {
    bool defined = false;
    Chip chip = Chip::Count;
    std::uint8_t instance = 0, port = 0, reg = 0;
    int bank = -1;  // data block type
    std::uint8_t stepSize = 1, stepBase = 0;
    std::uint32_t frequency = 0;
    bool active = false;
    std::uint64_t base = 0;       // time of write 0, samples; write k is at
    std::uint64_t k = 0;          // base + k * 44100 / frequency (floor)
    std::uint32_t position = 0;   // byte in the bank
    std::uint32_t remaining = 0;  // writes left in this pass
    bool reverse = false, loop = false;
    std::uint32_t loopPosition = 0, loopCount = 0;
    std::uint32_t offset = 0;  // command that started it
};

struct Bank {
    std::string data;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> blocks;  // start, length
};

class Parser {
public:
    Parser(Song& s) : song(s), b(s.bytes) {}
    void run();

private:
    void header();
    void commands();
    void gd3(std::uint32_t at);
    void write(Chip chip, std::uint8_t instance, std::uint8_t port, std::uint8_t reg, std::uint8_t data,
               std::uint32_t offset, const char* kind);
    void waitFor(std::uint64_t samples);
    void dataBlock(std::uint32_t at, std::uint8_t type, std::uint32_t size);
    void startStream(Stream& s, std::uint32_t position, std::uint32_t count, std::uint32_t at);
    // At most the writes stream s places before time until (exactly that
    // many unless it runs off its data).
    double dueWrites(const Stream& s, std::uint64_t until) const;
    void skip(const std::string& kind) { ++song.skipped[kind]; }

    Song& song;
    const std::string& b;
    std::uint32_t end = 0;
    std::uint64_t now = 0;
    std::map<int, Bank> banks;
    Stream streams[256];
    // The numbers of the streams started and not yet seen stopped, in order:
    // a DAC song waits every few samples, and looking at all 256 streams at
    // each wait took seconds in the sanitizer builds.
    std::vector<std::uint8_t> started;
    std::uint32_t pcmPosition = 0;
};

const ChipHeader* find(const Song& s, Chip chip) {
    for (const ChipHeader& h : s.chips)
        if (h.chip == chip) return &h;
    return nullptr;
}

void Parser::run() {
    header();
    commands();
}

void Parser::header() {
    if (b.size() < kMinHeaderSize) throw Fail{0, "too short for a VGM header (" + std::to_string(b.size()) + " bytes)"};
    if (b.compare(0, 4, "Vgm ") != 0) throw Fail{0, "not a VGM file (no \"Vgm \" magic)"};
    std::uint32_t eofField = u32(b, field::kEof);
    end = eofField ? field::kEof + eofField : static_cast<std::uint32_t>(b.size());
    if (eofField > b.size() || end > b.size())
        throw Fail{field::kEof, "end-of-file offset " + hex(end) + " is past the end of the data (" +
                                    std::to_string(b.size()) + " bytes)"};
    song.version = u32(b, field::kVersion);
    song.headerSamples = u32(b, field::kSamples);
    song.headerLoopSamples = u32(b, field::kLoopSamples);
    std::uint32_t dataField = song.version >= kDataFieldSince ? u32(b, field::kData) : 0;
    song.dataOffset = dataField ? field::kData + dataField : kMinHeaderSize;
    if (dataField > b.size() || song.dataOffset >= end)
        throw Fail{field::kData,
                   "data offset " + hex(song.dataOffset) + " is past the end of the data (" + hex(end) + ")"};
    // Header fields at or after the data are not header fields.
    auto headerField = [&](std::uint32_t at, std::uint32_t bytes) -> std::uint32_t {
        if (at + bytes > song.dataOffset || at + bytes > end) return 0;
        return bytes == 4 ? u32(b, at) : bytes == 2 ? u16(b, at) : static_cast<std::uint8_t>(b[at]);
    };
    for (const catalogue::FamilyRow& f : catalogue::kFamilies) {
        if (song.version < f.since) continue;
        std::uint32_t raw = headerField(f.clockField, 4);
        std::uint32_t clock = raw & kClockMask;
        if (!clock) continue;
        ChipHeader h;
        h.chip = f.id;
        h.clock = clock;
        h.instances = (raw & kDualBit) ? 2 : 1;
        h.variant = (raw & kVariantBit) != 0;
        if (f.id == Chip::AY8910) h.ayType = static_cast<std::uint8_t>(headerField(field::kAyType, 1));
        if (f.id == Chip::SN76489) {
            const bool sn = song.version >= kSnFieldsSince;
            h.snFeedback = static_cast<std::uint16_t>(sn ? headerField(field::kSnFeedback, 2) : 0);
            h.snShiftWidth = static_cast<std::uint8_t>(sn ? headerField(field::kSnShiftWidth, 1) : 0);
            h.snFlags = static_cast<std::uint8_t>(song.version >= kSnFlagsSince ? headerField(field::kSnFlags, 1) : 0);
        }
        song.chips.push_back(h);
    }
    std::uint32_t gd3Field = u32(b, field::kGd3);
    if (gd3Field) {
        std::uint64_t at = std::uint64_t{field::kGd3} + gd3Field;
        if (at + 12 > b.size()) throw Fail{field::kGd3, "GD3 offset " + hex(at) + " is past the end of the file"};
        gd3(static_cast<std::uint32_t>(at));
    }
}

void Parser::gd3(std::uint32_t at) {
    if (b.compare(at, 4, "Gd3 ") != 0) {
        song.warnings.push_back("offset " + hex(at) + ": no GD3 tag there; title unknown");
        return;
    }
    std::uint64_t length = u32(b, at + 8);
    if (at + 12 + length > b.size()) {
        song.warnings.push_back("offset " + hex(at + 8) + ": GD3 tag longer than the file; title unknown");
        return;
    }
    std::vector<std::string> fields;
    const auto* p = reinterpret_cast<const std::uint8_t*>(b.data()) + at + 12;
    std::size_t units = static_cast<std::size_t>(length / 2), start = 0;
    for (std::size_t i = 0; i < units && fields.size() < 11; ++i) {
        if (p[2 * i] == 0 && p[2 * i + 1] == 0) {
            fields.push_back(utf16ToUtf8(p + 2 * start, i - start));
            start = i + 1;
        }
    }
    fields.resize(11);
    auto pick = [&](int en) { return !fields[en].empty() ? fields[en] : fields[en + 1]; };
    song.title = pick(0);
    song.game = pick(2);
    song.author = pick(6);
}

void Parser::write(Chip chip, std::uint8_t instance, std::uint8_t port, std::uint8_t reg, std::uint8_t data,
                   std::uint32_t offset, const char* kind) {
    const ChipHeader* h = find(song, chip);
    if (!h || instance >= h->instances) {
        skip(std::string(kind) + " (" + chipName(chip) + (instance ? " #2" : "") + " not in the header)");
        return;
    }
    if (song.events.size() >= kMaxEvents)
        throw Fail{offset, "more than " + std::to_string(kMaxEvents) + " writes: not a song"};
    Event e;
    e.chip = chip;
    e.instance = instance;
    e.port = port;
    e.reg = reg;
    e.data = data;
    e.sample = now;
    e.offset = offset;
    song.events.push_back(e);
}

// Advances the time, placing the writes of the running DAC streams that
// fall before the new time (streams interleaved by time, then by number).
void Parser::waitFor(std::uint64_t samples) {
    const std::uint64_t until = now + samples;
    std::size_t first = song.events.size();
    // The writes the streams owe by the new time are counted before any is
    // placed: a made-up rate (up to 4 GHz) would otherwise cost seconds and
    // hundreds of MB before the limit refuses the file, and the writes of a
    // stream to a chip the header lacks (skipped, never counted) would run on
    // for hours.
    double due = 0;
    for (std::uint8_t n : started) {
        const Stream& s = streams[n];
        due += dueWrites(s, until);
        if (song.events.size() + due > kMaxEvents)
            throw Fail{s.offset, "more than " + std::to_string(kMaxEvents) + " writes: not a song"};
    }
    for (std::uint8_t n : started) {
        Stream& s = streams[n];
        while (s.active && s.frequency && s.base + s.k * kSampleRate / s.frequency < until) {
            auto it = banks.find(s.bank);
            if (it == banks.end() || s.position >= it->second.data.size()) {
                s.active = false;  // nothing past the data is ever sent
                break;
            }
            std::uint64_t saved = now;
            now = s.base + s.k * kSampleRate / s.frequency;
            write(s.chip, s.instance, s.port, s.reg, static_cast<std::uint8_t>(it->second.data[s.position]), s.offset,
                  "0x93/0x95 stream");
            now = saved;
            ++s.k;
            s.position = s.reverse ? s.position - s.stepSize : s.position + s.stepSize;
            if (--s.remaining == 0) {
                if (s.loop) {
                    s.position = s.loopPosition;
                    s.remaining = s.loopCount;
                } else {
                    s.active = false;
                }
            }
        }
    }
    started.erase(std::remove_if(started.begin(), started.end(), [this](std::uint8_t n) { return !streams[n].active; }),
                  started.end());
    std::stable_sort(song.events.begin() + static_cast<std::ptrdiff_t>(first), song.events.end(),
                     [](const Event& x, const Event& y) { return x.sample < y.sample; });
    now += samples;
}

double Parser::dueWrites(const Stream& s, std::uint64_t until) const {
    if (!s.active || !s.frequency || until <= s.base) return 0;
    // Write k is due when base + k * 44100 / frequency (floor) < until.
    double n = std::ceil(static_cast<double>(until - s.base) * s.frequency / kSampleRate) - static_cast<double>(s.k);
    if (n <= 0) return 0;
    auto it = banks.find(s.bank);
    const std::uint64_t size = it == banks.end() ? 0 : it->second.data.size();
    if (s.position >= size) return 0;
    // A pass ends at its count or at the edge of the data; only a loop that
    // starts again inside the data goes on.
    if (!s.loop || s.loopPosition >= size) {
        const std::uint64_t inData =
            s.reverse ? s.position / s.stepSize + 1 : (size - s.position + s.stepSize - 1) / s.stepSize;
        n = std::min({n, static_cast<double>(s.remaining), static_cast<double>(inData)});
    }
    return n;
}

void Parser::startStream(Stream& s, std::uint32_t position, std::uint32_t count, std::uint32_t at) {
    s.position = position + s.stepBase;
    s.remaining = count;
    s.loopPosition = s.position;
    s.loopCount = count;
    s.base = now;
    s.k = 0;
    s.offset = at;
    s.active = count > 0 && s.defined && s.chip != Chip::Count;
    const auto n = static_cast<std::uint8_t>(&s - streams);
    const auto place = std::lower_bound(started.begin(), started.end(), n);
    if (s.active && (place == started.end() || *place != n)) started.insert(place, n);
}

void Parser::dataBlock(std::uint32_t at, std::uint8_t type, std::uint32_t size) {
    const std::uint32_t body = at + 7;
    const std::uint8_t instance = (size & 0x80000000) ? 1 : 0;
    size &= 0x7FFFFFFF;
    if (static_cast<std::uint64_t>(body) + size > end)
        throw Fail{at,
                   "data block of " + std::to_string(size) + " bytes runs past the end of the data (" + hex(end) + ")"};
    if (type < 0x40) {
        Bank& bank = banks[type];
        bank.blocks.emplace_back(static_cast<std::uint32_t>(bank.data.size()), size);
        bank.data.append(b, body, size);
        return;
    }
    if (type >= 0x80 && type < 0xC0) {
        Memory memory;
        Chip chip;
        switch (type) {
        case 0x81:
            memory = Memory::YM2608DeltaT;
            chip = Chip::YM2608;
            break;
        case 0x82:
            memory = Memory::YM2610AdpcmA;
            chip = Chip::YM2610;
            break;
        case 0x83:
            memory = Memory::YM2610DeltaT;
            chip = Chip::YM2610;
            break;
        case 0x88:
            memory = Memory::Y8950DeltaT;
            chip = Chip::Y8950;
            break;
        default: skip("0x67 data block type " + hex(type, 2)); return;
        }
        if (size < 8) throw Fail{at, "memory data block of " + std::to_string(size) + " bytes has no header"};
        const ChipHeader* h = find(song, chip);
        if (!h || instance >= h->instances) {
            skip("0x67 data block type " + hex(type, 2) + " (chip not in the header)");
            return;
        }
        Event e;
        e.kind = Event::Load;
        e.chip = chip;
        e.instance = instance;
        e.memory = memory;
        e.sample = now;
        e.memorySize = u32(b, body);
        e.start = u32(b, body + 4);
        e.offset = body + 8;
        e.length = size - 8;
        song.events.push_back(e);
        return;
    }
    skip("0x67 data block type " + hex(type, 2));
}

void Parser::commands() {
    std::uint32_t loopAt = 0;
    if (std::uint32_t f = u32(b, field::kLoop)) {
        std::uint64_t at = std::uint64_t{field::kLoop} + f;
        if (at >= end)
            throw Fail{field::kLoop, "loop offset " + hex(at) + " is past the end of the data (" + hex(end) + ")"};
        loopAt = static_cast<std::uint32_t>(at);
    }
    bool loopFound = false, ended = false;
    std::uint32_t p = song.dataOffset;
    while (p < end) {
        if (loopAt && p == loopAt) {
            loopFound = true;
            song.loopEvent = song.events.size();
            song.loopSample = now;
        }
        const std::uint8_t c = static_cast<std::uint8_t>(b[p]);
        if (c == cmd::kEnd) {
            ended = true;
            break;
        }
        if (c == cmd::kDataBlock) {
            if (p + 7 > end) throw Fail{p, "data block header cut by the end of the data"};
            if (static_cast<std::uint8_t>(b[p + 1]) != cmd::kEnd) throw Fail{p + 1, "data block without its 0x66 byte"};
            std::uint32_t size = u32(b, p + 3);
            dataBlock(p, static_cast<std::uint8_t>(b[p + 2]), size);
            p += 7 + (size & 0x7FFFFFFF);
            continue;
        }
        const std::uint32_t len = kCommandLength[c];
        if (!len) throw Fail{p, "unknown command " + hex(c, 2)};
        if (p + len > end) throw Fail{p, "command " + hex(c, 2) + " cut by the end of the data (" + hex(end) + ")"};
        const auto* o = reinterpret_cast<const std::uint8_t*>(b.data()) + p + 1;  // operands
        const auto firstPair = static_cast<std::uint8_t>(c - (c > cmd::kLastPair ? cmd::kSecondPair : 0));
        if (c == kSN76489Write || c == cmd::kSecondSN76489) {
            write(Chip::SN76489, c == cmd::kSecondSN76489, 0, 0, o[0], p, c == kSN76489Write ? "0x50" : "0x30");
        } else if (firstPair >= cmd::kFirstPair && firstPair <= cmd::kLastPair) {
            const PairWrite& pw = kPairWrites[c & 0x0F];
            if (pw.family == Chip::Count)
                skip(hex(c, 2));
            else
                write(pw.family, c > cmd::kLastPair, pw.port, o[0], o[1], p, hex(c, 2).c_str());
        } else if (c == kAY8910Write) {
            write(Chip::AY8910, o[0] >> 7, 0, o[0] & 0x7F, o[1], p, "0xa0");
        } else if (c == kK051649Write) {
            write(Chip::K051649, o[0] >> 7, o[0] & 0x7F, o[1], o[2], p, "0xd2");
        } else if (c == cmd::kWait) {
            waitFor(u16(b, p + 1));
        } else if (c == cmd::kWait735) {
            waitFor(735);
        } else if (c == cmd::kWait882) {
            waitFor(882);
        } else if (c >= cmd::kShortWait && c <= cmd::kShortWait + 0x0F) {
            waitFor((c & 0x0F) + 1u);
        } else if (c >= cmd::kYM2612Pcm && c <= cmd::kYM2612Pcm + 0x0F) {
            auto it = banks.find(0);
            if (it != banks.end() && pcmPosition < it->second.data.size())
                write(Chip::YM2612, 0, 0, 0x2A, static_cast<std::uint8_t>(it->second.data[pcmPosition++]), p, "0x8n");
            else
                skip("0x8n (past the PCM data)");
            waitFor(c & 0x0F);
        } else if (c == cmd::kPcmSeek) {
            pcmPosition = u32(b, p + 1);
        } else if (c == cmd::kStreamSetUp) {
            Stream& s = streams[o[0]];
            s.defined = true;
            s.chip = streamFamily(o[1]);
            s.instance = o[1] >> 7;
            s.port = o[2];
            s.reg = o[3];
            if (s.chip == Chip::Count) skip("0x90 stream to chip " + hex(o[1], 2));
        } else if (c == cmd::kStreamData) {
            Stream& s = streams[o[0]];
            s.bank = o[1];
            s.stepSize = o[2] ? o[2] : 1;
            s.stepBase = o[3];
        } else if (c == cmd::kStreamFrequency) {
            // A running stream keeps its time: the next write starts the new rate.
            Stream& s = streams[o[0]];
            if (s.frequency) s.base += s.k * kSampleRate / s.frequency;
            s.k = 0;
            s.frequency = u32(b, p + 2);
        } else if (c == cmd::kStreamStart) {
            Stream& s = streams[o[0]];
            std::uint32_t start = u32(b, p + 2);
            std::uint8_t mode = o[5];
            std::uint32_t length = u32(b, p + 7);
            if (start == 0xFFFFFFFF) start = s.position - s.stepBase;
            auto it = banks.find(s.bank);
            std::uint32_t available = it == banks.end() || start >= it->second.data.size()
                                          ? 0
                                          : static_cast<std::uint32_t>(it->second.data.size() - start);
            std::uint32_t count;
            switch (mode & 0x0F) {
            case 1: count = length; break;
            case 2: count = static_cast<std::uint32_t>(static_cast<std::uint64_t>(length) * s.frequency / 1000); break;
            case 3: count = available / s.stepSize; break;
            default: count = s.remaining; break;  // only the position changes
            }
            s.reverse = (mode & 0x10) != 0;
            s.loop = (mode & 0x80) != 0;
            startStream(s, start, count, p);
        } else if (c == cmd::kStreamStop) {
            if (o[0] == 0xFF)
                for (Stream& s : streams) s.active = false;
            else
                streams[o[0]].active = false;
        } else if (c == cmd::kStreamBlock) {
            Stream& s = streams[o[0]];
            std::uint16_t block = u16(b, p + 2);
            auto it = banks.find(s.bank);
            if (it == banks.end() || block >= it->second.blocks.size()) {
                skip("0x95 (no such data block)");
            } else {
                s.reverse = (o[3] & 0x10) != 0;
                s.loop = (o[3] & 0x01) != 0;
                startStream(s, it->second.blocks[block].first, it->second.blocks[block].second / s.stepSize, p);
            }
        } else {
            skip(hex(c, 2));
        }
        p += len;
    }
    if (!ended) song.warnings.push_back("offset " + hex(p) + ": no end command (0x66); the data ends here");
    // Streams still running play until the end of the song.
    song.endSample = now;
    if (loopAt && !loopFound) {
        song.warnings.push_back("loop offset " + hex(loopAt) +
                                " is not the start of a command: played without looping");
    } else if (loopAt && song.loopSample >= now) {
        song.warnings.push_back("the looped part is empty: played without looping");
    } else if (loopAt) {
        song.looped = true;
    }
    if (song.endSample != song.headerSamples)
        song.warnings.push_back("the waits add up to " + std::to_string(song.endSample) + " samples, the header says " +
                                std::to_string(song.headerSamples) + ": the waits are used");
}

}  // namespace

const char* chipName(Chip chip) { return chip < Chip::Count ? catalogue::family(chip).name : "?"; }

const ChipHeader* Song::header(Chip chip) const { return find(*this, chip); }

std::string utf16ToUtf8(const std::uint8_t* p, std::size_t units) {
    std::string out;
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t c = p[2 * i] | p[2 * i + 1] << 8;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
            std::uint32_t d = p[2 * i + 2] | p[2 * i + 3] << 8;
            if (d >= 0xDC00 && d <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
                ++i;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool gunzip(const std::string& in, std::string& out, std::string& error) {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) {
        error = "offset 0x0: cannot start the gzip decoder";
        return false;
    }
    out.clear();
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    char chunk[65536];
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(chunk);
        z.avail_out = sizeof chunk;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - z.avail_out);
        if (out.size() > kMaxInflated) {
            rc = Z_MEM_ERROR;
            break;
        }
        if (rc == Z_BUF_ERROR && z.avail_in == 0) break;  // input used up before the end
    }
    const unsigned long reached = z.total_in;
    inflateEnd(&z);
    if (rc == Z_STREAM_END) return true;
    error = "offset " + hex(reached) + ": " +
            (rc == Z_MEM_ERROR                 ? std::string("decompressed data larger than 256 MiB")
             : rc == Z_BUF_ERROR || rc == Z_OK ? std::string("compressed data cut short")
                                               : std::string("damaged compressed data"));
    return false;
}

bool readSong(const std::string& fileBytes, const std::string& name, Song& song, std::string& error) {
    song = Song();
    if (fileBytes.size() >= 2 && static_cast<std::uint8_t>(fileBytes[0]) == 0x1F &&
        static_cast<std::uint8_t>(fileBytes[1]) == 0x8B) {
        std::string why;
        if (!gunzip(fileBytes, song.bytes, why)) {
            error = name + ": " + why + " (gzip)";
            return false;
        }
    } else {
        song.bytes = fileBytes;
    }
    try {
        Parser(song).run();
    } catch (const Fail& f) {
        error = name + ": offset " + hex(f.offset) + ": " + f.what;
        return false;
    }
    return true;
}

}  // namespace vesk::vgm
