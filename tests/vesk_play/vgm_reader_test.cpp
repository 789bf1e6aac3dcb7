// The VGM reader: every command kind, dual chips, loops, data blocks and DAC
// streams on tiny logs built here; every way a log can lie; and the corpus
// of real songs read to the end.
#include "vgm_reader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace {

using namespace vesk::vgm;

// A version 1.71 log: 0x100-byte header, commands from 0x100.
struct Log {
    std::string b = std::string(0x100, '\0');
    std::uint32_t loopAt = 0;  // absolute offset, 0 none
    bool fixTotal = true;
    std::uint32_t total = 0;

    Log() {
        b.replace(0, 4, "Vgm ");
        put32(0x08, 0x171);
        put32(0x34, 0x100 - 0x34);
    }
    void put32(std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
    }
    Log& clock(std::size_t field, std::uint32_t v) {
        put32(field, v);
        return *this;
    }
    Log& cmd(std::initializer_list<int> bytes) {
        for (int x : bytes) b += static_cast<char>(x);
        return *this;
    }
    Log& loopHere() {
        loopAt = static_cast<std::uint32_t>(b.size());
        return *this;
    }
    Log& wait(std::uint32_t n) {
        total += n;
        return cmd({0x61, static_cast<int>(n & 0xFF), static_cast<int>(n >> 8)});
    }
    Log& block(int type, const std::string& data) {
        cmd({0x67, 0x66, type});
        std::uint32_t n = static_cast<std::uint32_t>(data.size());
        cmd({static_cast<int>(n & 0xFF), static_cast<int>(n >> 8 & 0xFF), static_cast<int>(n >> 16), 0});
        b += data;
        return *this;
    }
    std::string done() {
        std::string out = b;
        if (out.empty() || static_cast<std::uint8_t>(out.back()) != 0x66) out += '\x66';
        Log tmp;
        tmp.b = out;
        tmp.put32(0x04, static_cast<std::uint32_t>(out.size() - 4));
        if (fixTotal) tmp.put32(0x18, total);
        if (loopAt) tmp.put32(0x1C, loopAt - 0x1C);
        return tmp.b;
    }
};

// Events as text: "sample:CHIP[#2]:port:reg=data", loads as "sample:CHIP:load@start+length".
std::string show(const Song& s) {
    std::ostringstream o;
    for (const Event& e : s.events) {
        if (&e != &s.events.front()) o << ' ';
        o << e.sample << ':' << chipName(e.chip) << (e.instance ? "#2" : "") << ':';
        char b[32];
        if (e.kind == Event::Load)
            std::snprintf(b, sizeof b, "load@%x+%u", e.start, e.length);
        else
            std::snprintf(b, sizeof b, "%u:%02x=%02x", e.port, e.reg, e.data);
        o << b;
    }
    return o.str();
}

std::string gzip(const std::string& in) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(compressBound(static_cast<uLong>(in.size())) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

struct Case {
    const char* name;
    std::function<std::string()> build;
    const char* events;   // expected events, or null when the file is refused
    const char* message;  // refused: part of the message; accepted: part of a warning ("" none expected)
};

const Case kCases[] = {
    {"sn76489 writes and the frame waits",
     [] {
         return Log().clock(0x0C, 3579545).cmd({0x50, 0x9F, 0x62, 0x50, 0xBF, 0x63, 0x50, 0xDF}).done();
     },
     "0:SN76489:0:00=9f 735:SN76489:0:00=bf 1617:SN76489:0:00=df", "waits add up"},
    {"ym2612 both ports, 0x61 and 0x7n waits",
     [] {
         Log l;
         l.clock(0x2C, 7670453).cmd({0x52, 0x28, 0xF0}).wait(16).cmd({0x53, 0x30, 0x71, 0x7F, 0x52, 0x2B, 0x80});
         l.total += 16;
         return l.done();
     },
     "0:YM2612:0:28=f0 16:YM2612:1:30=71 32:YM2612:0:2b=80", ""},
    {"dual chips: second ym2151, second sn76489, second ay8910",
     [] {
         return Log()
             .clock(0x30, 0x40000000 | 3579545)
             .clock(0x0C, 0x40000000 | 3579545)
             .clock(0x74, 0x40000000 | 1789772)
             .cmd({0x54, 0x08, 0x01, 0xA4, 0x08, 0x02, 0x30, 0x9F, 0xA0, 0x87, 0x3F, 0xA0, 0x07, 0x38})
             .done();
     },
     "0:YM2151:0:08=01 0:YM2151#2:0:08=02 0:SN76489#2:0:00=9f 0:AY8910#2:0:07=3f 0:AY8910:0:07=38", ""},
    {"the other register commands",
     [] {
         return Log()
             .clock(0x10, 3579545)
             .clock(0x44, 3993600)
             .clock(0x48, 7987200)
             .clock(0x4C, 0x80000000 | 8000000)
             .clock(0x50, 3579545)
             .clock(0x54, 3579545)
             .clock(0x58, 3579545)
             .clock(0x5C, 14318180)
             .clock(0x9C, 1789772)
             .cmd({0x51, 0x0E, 0x20, 0x55, 0x07, 0x38, 0x56, 0x29, 0x80, 0x57, 0x10, 0x01, 0x58,
                   0x28, 0xF1, 0x59, 0x00, 0x3F, 0x5A, 0xBD, 0x20, 0x5B, 0x01, 0x20, 0x5C, 0x07,
                   0x01, 0x5E, 0x05, 0x01, 0x5F, 0x04, 0x00, 0xD2, 0x03, 0x00, 0x1F})
             .done();
     },
     "0:YM2413:0:0e=20 0:YM2203:0:07=38 0:YM2608:0:29=80 0:YM2608:1:10=01 0:YM2610:0:28=f1 0:YM2610:1:00=3f "
     "0:YM3812:0:bd=20 0:YM3526:0:01=20 0:Y8950:0:07=01 0:YMF262:0:05=01 0:YMF262:1:04=00 0:K051649:3:00=1f",
     ""},
    {"commands for other chips and game gear stereo are skipped by their length",
     [] {
         return Log()
             .clock(0x0C, 3579545)
             .cmd({0x4F, 0xFF, 0xB8, 0x00, 0x10, 0xC0, 0, 0, 0, 0xE1, 1, 2, 3, 4, 0x54, 0x08, 0x00, 0x50, 0x9F})
             .done();
     },
     "0:SN76489:0:00=9f", ""},
    {"ym2612 pcm: 0x8n writes the next byte and waits, 0xe0 seeks",
     [] {
         Log l;
         l.clock(0x2C, 7670453)
             .block(0x00, std::string("\x10\x20\x30\x40", 4))
             .cmd({0x81, 0x82, 0xE0, 3, 0, 0, 0, 0x80});
         l.total = 3;
         return l.done();
     },
     "0:YM2612:0:2a=10 1:YM2612:0:2a=20 3:YM2612:0:2a=40", ""},
    {"dac stream with a length in commands, at half the sample rate",
     [] {
         Log l;
         l.clock(0x2C, 7670453)
             .block(0x00, std::string("\x01\x02\x03\x04\x05", 5))
             .cmd({0x90, 0x00, 0x02, 0x00, 0x2A, 0x91, 0x00, 0x00, 0x01, 0x00, 0x92, 0x00, 0x22, 0x56,
                   0,    0,    0x93, 0x00, 1,    0,    0,    0,    0x01, 3,    0,    0,    0})
             .wait(10);
         return l.done();
     },
     "0:YM2612:0:2a=02 2:YM2612:0:2a=03 4:YM2612:0:2a=04", ""},
    {"dac stream started on a data block, stopped by 0x94",
     [] {
         Log l;
         l.clock(0x2C, 7670453)
             .block(0x00, "\x11\x12")
             .block(0x00, "\x21\x22\x23")
             .cmd({0x90, 0x05, 0x02, 0x00, 0x2A, 0x91, 0x05, 0x00, 0x01, 0x00, 0x92,
                   0x05, 0x22, 0x56, 0,    0,    0x95, 0x05, 0x01, 0x00, 0x00})
             .wait(3)
             .cmd({0x94, 0x05})
             .wait(10);
         return l.done();
     },
     "0:YM2612:0:2a=21 2:YM2612:0:2a=22", ""},
    // Streams interleave by time, then by number whatever order they started
    // in; one stopped and started again before the next wait plays once, one
    // that ran out plays again when restarted.
    {"dac streams stopped, run out and restarted",
     [] {
         Log l;
         l.clock(0x2C, 7670453)
             .block(0x00, "\x01\x02\x03\x04\x05\x06")
             .cmd({0x90, 0x07, 0x02, 0x00, 0x2A, 0x91, 0x07, 0x00, 0x01, 0x00, 0x92, 0x07, 0x22, 0x56, 0, 0,
                   0x90, 0x02, 0x02, 0x00, 0x2B, 0x91, 0x02, 0x00, 0x01, 0x00, 0x92, 0x02, 0x22, 0x56, 0, 0,
                   0x93, 0x07, 0,    0,    0,    0,    0x01, 3,    0,    0,    0,
                   0x93, 0x02, 3,    0,    0,    0,    0x01, 2,    0,    0,    0})
             .wait(3)
             .cmd({0x94, 0x07, 0x93, 0x07, 5, 0, 0, 0, 0x01, 1, 0, 0, 0, 0x93, 0x02, 0, 0, 0, 0, 0x01, 1, 0, 0, 0})
             .wait(4);
         return l.done();
     },
     "0:YM2612:0:2b=04 0:YM2612:0:2a=01 2:YM2612:0:2b=05 2:YM2612:0:2a=02 3:YM2612:0:2b=01 3:YM2612:0:2a=06", ""},
    {"opna delta-t memory block",
     [] {
         return Log()
             .clock(0x48, 7987200)
             .block(0x81, std::string("\x00\x00\x04\x00\x20\x00\x00\x00\xAA\xBB", 10))
             .done();
     },
     "0:YM2608:load@20+2", ""},
    {"a loop offset on a command loops",
     [] {
         Log l;
         l.clock(0x30, 3579545).cmd({0x54, 0x08, 0x00}).wait(100).loopHere().cmd({0x54, 0x08, 0x01}).wait(50);
         return l.done();
     },
     "0:YM2151:0:08=00 100:YM2151:0:08=01", ""},
    {"a loop offset inside a command: played without looping",
     [] {
         Log l;
         l.clock(0x30, 3579545).cmd({0x54, 0x08, 0x00}).wait(100);
         l.loopAt = static_cast<std::uint32_t>(l.b.size() + 1);
         l.cmd({0x54, 0x08, 0x01}).wait(50);
         return l.done();
     },
     "0:YM2151:0:08=00 100:YM2151:0:08=01", "not the start of a command"},
    {"waits that disagree with the header's total: the waits count",
     [] {
         Log l;
         l.fixTotal = false;
         l.clock(0x30, 3579545).cmd({0x54, 0x08, 0x00}).wait(100);
         l.put32(0x18, 5000);
         return l.done();
     },
     "0:YM2151:0:08=00", "waits add up to 100 samples, the header says 5000"},
    {"a gzip-compressed log",
     [] {
         return gzip(Log().clock(0x30, 3579545).cmd({0x54, 0x20, 0xC7}).done());
     },
     "0:YM2151:0:20=c7", ""},
    // Refused.
    {"wrong magic",
     [] {
         std::string s = Log().done();
         s[0] = 'X';
         return s;
     },
     nullptr, "offset 0x0: not a VGM file"},
    {"too short", [] { return std::string("Vgm \x10\0\0\0", 8); }, nullptr, "offset 0x0: too short"},
    {"data offset past the end",
     [] {
         Log l;
         l.put32(0x34, 0x1000);
         return l.done();
     },
     nullptr, "offset 0x34: data offset"},
    {"end-of-file offset past the end",
     [] {
         std::string s = Log().done();
         s[5] = 0x10;
         return s;
     },
     nullptr, "offset 0x4: end-of-file offset"},
    {"loop offset past the end",
     [] {
         Log l;
         l.loopAt = 0x5000;
         return l.done();
     },
     nullptr, "offset 0x1c: loop offset"},
    {"data block longer than the file",
     [] {
         return Log().clock(0x2C, 7670453).cmd({0x67, 0x66, 0x00, 0x00, 0x10, 0x00, 0x00, 0x01, 0x02}).done();
     },
     nullptr, "offset 0x100: data block of 4096 bytes runs past the end"},
    {"command cut by the end of the data",
     [] {
         std::string s = Log().clock(0x30, 3579545).done();
         s.back() = 0x54;  // the end command replaced by a write with no operands
         return s;
     },
     nullptr, "offset 0x100: command 0x54 cut"},
    {"unknown command", [] { return Log().cmd({0x01}).done(); }, nullptr, "offset 0x100: unknown command 0x01"},
    // A looping stream at 4 GHz to a chip the header lacks: its writes are
    // skipped, and were placed one by one for hours before being refused.
    {"stream rate no song has",
     [] {
         return Log()
             .clock(0x0C, 3579545)
             .block(0x00, "\x01\x02\x03\x04")
             .cmd({0x90, 0x00, 0x03, 0x00, 0x2A, 0x91, 0x00, 0x00, 0x01, 0x00, 0x92, 0x00, 0xFF, 0xFF,
                   0xFF, 0xFF, 0x93, 0x00, 0,    0,    0,    0,    0x81, 4,    0,    0,    0})
             .wait(0xFFFF)
             .done();
     },
     nullptr, "offset 0x11b: more than 8388608 writes: not a song"},
    {"truncated vgz",
     [] {
         std::string z = gzip(Log().clock(0x30, 3579545).cmd({0x54, 0x20, 0xC7}).wait(5).done());
         return z.substr(0, z.size() - 12);
     },
     nullptr, "cut short (gzip)"},
};

TEST(VgmReader, Cases) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Song song;
        std::string error;
        bool ok = readSong(c.build(), "t.vgm", song, error);
        if (!c.events) {
            EXPECT_FALSE(ok);
            EXPECT_NE(error.find(c.message), std::string::npos) << error;
            EXPECT_EQ(error.rfind("t.vgm: ", 0), 0u) << error;
            continue;
        }
        ASSERT_TRUE(ok) << error;
        EXPECT_EQ(show(song), c.events);
        std::string warnings;
        for (const std::string& w : song.warnings) warnings += w + "\n";
        if (*c.message)
            EXPECT_NE(warnings.find(c.message), std::string::npos) << warnings;
        else
            EXPECT_EQ(warnings, "");
    }
}

TEST(VgmReader, SkippedAndLoopDetails) {
    Song song;
    std::string error;
    Log l;
    l.clock(0x0C, 3579545)
        .cmd({0x4F, 0xFF, 0xB8, 0x00, 0x10, 0xB8, 0x01, 0x10, 0x54, 0x08, 0x00})
        .wait(10)
        .loopHere()
        .cmd({0x50, 0x9F})
        .wait(20);
    ASSERT_TRUE(readSong(l.done(), "t.vgm", song, error)) << error;
    EXPECT_EQ(song.skipped["0x4f"], 1u);
    EXPECT_EQ(song.skipped["0xb8"], 2u);
    EXPECT_EQ(song.skipped["0x54 (YM2151 not in the header)"], 1u);
    EXPECT_TRUE(song.looped);
    EXPECT_EQ(song.loopSample, 10u);
    EXPECT_EQ(song.loopEvent, 0u);
    EXPECT_EQ(song.endSample, 30u);
}

TEST(VgmReader, Gd3TagInUtf8) {
    Log l;
    l.clock(0x30, 3579545);
    std::string body = l.done();
    const std::uint32_t at = static_cast<std::uint32_t>(body.size());
    // Title "A\u3042" (English), then the remaining ten strings, game "G" and author "\U0001F3B5" (surrogates).
    std::u16string fields[11] = {u"A\u3042", u"", u"", u"G", u"", u"", u"", u"\U0001F3B5"};
    std::string data;
    for (const auto& f : fields) {
        for (char16_t c : f) data += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
        data += std::string(2, '\0');
    }
    body += "Gd3 ";
    body += std::string("\x00\x01\x00\x00", 4);
    for (int i = 0; i < 4; ++i) body += static_cast<char>(data.size() >> (8 * i));
    body += data;
    Log fix;
    fix.b = body;
    fix.put32(0x04, static_cast<std::uint32_t>(body.size() - 4));
    fix.put32(0x14, at - 0x14);
    Song song;
    std::string error;
    ASSERT_TRUE(readSong(fix.b, "t.vgm", song, error)) << error;
    EXPECT_EQ(song.title, "A\xE3\x81\x82");
    EXPECT_EQ(song.game, "G");  // the Japanese field stands in for an empty English one
    EXPECT_EQ(song.author, "\xF0\x9F\x8E\xB5");
}

std::string corpusDir() {
    if (const char* env = std::getenv("VESK_CORPUS")) return env;
    return VESK_DEFAULT_CORPUS;
}

// Every song of the corpus reads to its end command with no unknown
// command, and waits that differ from the header's total are reported.
TEST(VgmReader, Corpus) {
    namespace fs = std::filesystem;
    const fs::path dir = corpusDir();
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) GTEST_SKIP() << "no corpus at " << dir.string() << " (set VESK_CORPUS)";
    int files = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".vgm" && ext != ".vgz") continue;
        SCOPED_TRACE(entry.path().filename().string());
        std::ifstream in(entry.path(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        Song song;
        std::string error;
        ASSERT_TRUE(readSong(bytes, entry.path().filename().string(), song, error)) << error;
        ++files;
        bool reported = false;
        for (const std::string& w : song.warnings) {
            reported |= w.find("waits add up") != std::string::npos;
            EXPECT_EQ(w.find("no end command"), std::string::npos) << w;
        }
        EXPECT_EQ(song.endSample != song.headerSamples, reported);
        std::uint64_t skipped = 0;
        for (const auto& s : song.skipped) skipped += s.second;
        std::printf("%-45s %8zu events %6.1f s%s skipped %llu%s\n", entry.path().filename().string().c_str(),
                    song.events.size(), song.endSample / 44100.0, song.looped ? " looped" : "       ",
                    static_cast<unsigned long long>(skipped), reported ? " (waits differ from the header)" : "");
    }
    EXPECT_GT(files, 0);
}

}  // namespace
