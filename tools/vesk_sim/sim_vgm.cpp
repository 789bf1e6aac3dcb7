#include "sim_vgm.h"

#include <cstdlib>
#include <cstring>

#include "vgm_format.h"

namespace vesk::sim {

namespace {

using catalogue::Family;
using catalogue::ModelRow;

constexpr std::uint32_t kVersion = 0x171;
constexpr std::size_t kHeaderSize = 0x100;

enum class Style {
    Reg,   // write_reg: the family's command by port code; second chip = command + 0x50
    Psg,   // AY8910/YM2149: A0 aa dd, second chip sets bit 7 of aa
    Dcsg,  // SN76489: port writes, 50 dd; second chip 30 dd
    Scc,   // SCC/SCC+: address latched by port writes 0xD/0xE, data on 0xF
};

Style styleOf(Family f) {
    switch (f) {
    case Family::SN76489: return Style::Dcsg;
    case Family::AY8910: return Style::Psg;
    case Family::K051649: return Style::Scc;
    default: return Style::Reg;
    }
}

// The catalogue's model of a board's chip, null when it has none. A YM2610
// or YM2610B without the sample link logs as the linked model does.
const ModelRow* modelOf(const std::string& chip) {
    if (chip == "YM2610" || chip == "YM2610B") return catalogue::modelNamed(chip + "+H");
    return catalogue::modelNamed(chip);
}

// The command of a register write by the board's port code (the one-bank
// models use 0; the two-bank ones 1 for the first bank and 2 for the
// second, and 0 for the first as well), 0 when the family has no such port.
std::uint8_t regCommand(const catalogue::FamilyRow& f, int port) {
    if (port == 0 || (port == 1 && f.ports == 2)) return f.command;
    if (port == 2 && f.ports == 2) return static_cast<std::uint8_t>(f.command + 1);
    return 0;
}

// SCC memory address to the VGM port and register of the K051649 writes.
// SCC mode: 9800-987F waves of channels 1-4, 9880-988F (mirrored up to
// 98DF) periods, volumes and key bits, 98E0- test. SCC+ mode: B800-B89F
// waves of all five channels, B8A0-B8AF as above, B8C0- test. Anything
// else (bank and mode registers) has no place in the file: false.
bool sccTarget(std::uint16_t address, std::uint8_t& port, std::uint8_t& reg) {
    unsigned a = address;
    bool plus = a >= 0xB800 && a <= 0xB8FF;
    if (!plus && !(a >= 0x9800 && a <= 0x98FF)) return false;
    unsigned off = a & 0xFF;
    unsigned waves = plus ? 0xA0 : 0x80;
    if (off < 0x80) {
        port = 0;
        reg = static_cast<std::uint8_t>(off);
    } else if (off < waves) {
        port = 4;
        reg = static_cast<std::uint8_t>(off - 0x80);
    } else if (off < 0xE0 && (!plus || off < 0xB0)) {
        unsigned r = off & 0x0F;
        if (r < 10) {
            port = 1;
            reg = static_cast<std::uint8_t>(r);
        } else if (r < 15) {
            port = 2;
            reg = static_cast<std::uint8_t>(r - 10);
        } else {
            port = 3;
            reg = 0;
        }
    } else if (off >= (plus ? 0xC0u : 0xE0u)) {
        port = 5;
        reg = 0;
    } else {
        return false;
    }
    return true;
}

void putLE(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<std::uint8_t>(x >> (8 * i));
}

void appendUtf16(std::vector<std::uint8_t>& v, const std::string& s) {
    // Names are ASCII in practice; other bytes pass as Latin-1.
    for (unsigned char c : s) {
        v.push_back(c);
        v.push_back(0);
    }
    v.push_back(0);
    v.push_back(0);
}

// The value of "key": in a RecordLine line, or nullptr.
const char* valueOf(const char* line, std::size_t len, const char* key) {
    std::size_t k = std::strlen(key);
    for (const char* p = line; p + k + 3 <= line + len; ++p) {
        p = static_cast<const char*>(std::memchr(p, '"', static_cast<std::size_t>(line + len - p)));
        if (!p || p + k + 3 > line + len) return nullptr;
        if (std::memcmp(p + 1, key, k) == 0 && p[k + 1] == '"' && p[k + 2] == ':') return p + k + 3;
    }
    return nullptr;
}

std::int64_t numberOf(const char* line, std::size_t len, const char* key, std::int64_t otherwise) {
    const char* v = valueOf(line, len, key);
    if (!v || !(*v == '-' || (*v >= '0' && *v <= '9'))) return otherwise;
    return std::strtoll(v, nullptr, 10);
}

std::string stringOf(const char* line, std::size_t len, const char* key) {
    const char* v = valueOf(line, len, key);
    if (!v || *v != '"') return {};
    const char* end = static_cast<const char*>(std::memchr(v + 1, '"', static_cast<std::size_t>(line + len - v - 1)));
    return end ? std::string(v + 1, end) : std::string();
}

}  // namespace

bool commandFromEntry(const RecordEntry& e, BoardCommand& out) {
    if (e.type() != "command") return false;
    out = BoardCommand{};
    out.name = e.str("name");
    out.ok = e.str("status") == "ok";
    out.slot = static_cast<int>(e.num("slot"));
    out.port = static_cast<int>(e.num("port"));
    out.reg = static_cast<int>(e.num("reg"));
    out.data = static_cast<int>(e.num("data"));
    out.replayNs = e.num("replay_ns", 0);
    out.waitUs = e.num("wait_us", 0);
    out.clock = e.num("clock");
    return true;
}

bool commandFromLine(const char* line, std::size_t len, BoardCommand& out) {
    static const char kPrefix[] = "{\"type\":\"command\"";
    if (len < sizeof kPrefix - 1 || std::memcmp(line, kPrefix, sizeof kPrefix - 1) != 0) return false;
    out = BoardCommand{};
    out.name = stringOf(line, len, "name");
    out.ok = stringOf(line, len, "status") == "ok";
    out.slot = static_cast<int>(numberOf(line, len, "slot", -1));
    out.port = static_cast<int>(numberOf(line, len, "port", -1));
    out.reg = static_cast<int>(numberOf(line, len, "reg", -1));
    out.data = static_cast<int>(numberOf(line, len, "data", -1));
    out.replayNs = numberOf(line, len, "replay_ns", 0);
    out.waitUs = numberOf(line, len, "wait_us", 0);
    out.clock = numberOf(line, len, "clock", -1);
    return true;
}

VgmRecorder::VgmRecorder(const BoardConfig& board, std::size_t index) : cfg_(board), index_(index) {
    slots_.resize(cfg_.slots.size());
    int used[static_cast<std::size_t>(Family::Count)] = {};
    for (std::size_t s = 0; s < slots_.size(); ++s) {
        const SlotConfig& sc = cfg_.slots[s];
        Slot& slot = slots_[s];
        slot.clock = sc.clock;
        if (!sc.present) {
            slot.why = "empty slot";
            continue;
        }
        const ModelRow* model = modelOf(sc.chip);
        if (!model) {
            slot.why = "no place for a " + (sc.chip.empty() ? std::string("nameless chip") : sc.chip) + " in VGM";
            continue;
        }
        int& ofFamily = used[static_cast<std::size_t>(model->family)];
        if (ofFamily >= 2) {
            slot.why = "third " + sc.chip + " of the board (VGM holds two of a kind)";
        } else {
            slot.model = model;
            slot.instance = ofFamily++;
        }
    }
}

void VgmRecorder::emit(std::int64_t ns, std::initializer_list<std::uint8_t> bytes) {
    if (firstNs_ < 0) firstNs_ = ns;
    // Rounded to the nearest sample from the first write, so rounding never
    // accumulates.
    std::int64_t at = ((ns - firstNs_) * vgm::kSampleRate + 500000000) / 1000000000;
    std::int64_t gap = at - sample_;
    while (gap > 0) {
        if (gap <= 16) {
            body_.push_back(static_cast<std::uint8_t>(vgm::cmd::kShortWait + gap - 1));
            gap = 0;
        } else {
            std::int64_t n = gap > 0xFFFF ? 0xFFFF : gap;
            body_.push_back(vgm::cmd::kWait);
            body_.push_back(static_cast<std::uint8_t>(n));
            body_.push_back(static_cast<std::uint8_t>(n >> 8));
            gap -= n;
        }
    }
    if (at > sample_) sample_ = at;
    body_.insert(body_.end(), bytes);
    times_ += std::to_string(ns - firstNs_);
    times_ += ' ';
    times_ += toHex(bytes.begin(), bytes.size());
    times_ += '\n';
    ++writes_;
}

void VgmRecorder::add(const BoardCommand& c) {
    if (firstNs_ >= 0) endNs_ = std::max(endNs_, c.replayNs + c.waitUs * 1000);
    if (!c.ok || c.slot < 0 || c.slot >= static_cast<int>(slots_.size())) return;
    Slot& s = slots_[c.slot];
    if (c.name == "set_clock") {
        if (c.clock > 0) s.clock = static_cast<std::uint32_t>(c.clock);
        return;
    }
    const bool reg = c.name == "write_reg", port = c.name == "write_port";
    if (!reg && !port) return;
    auto skip = [&] {
        ++s.skipped;
        ++skipped_;
    };
    if (!s.model) return skip();
    const catalogue::FamilyRow& f = catalogue::family(s.model->family);
    const auto d = static_cast<std::uint8_t>(c.data);
    const auto second = static_cast<std::uint8_t>(s.instance ? vgm::kSecondChipBit : 0x00);
    bool wrote = true;
    const std::int64_t ns = c.replayNs;
    switch (styleOf(f.id)) {
    case Style::Reg: {
        std::uint8_t cmd = regCommand(f, c.port);
        const bool prescaler = s.model->setUp == catalogue::SetUp::Prescaler;
        if (!cmd || (port && !(prescaler && c.port == 0))) {
            wrote = false;
            break;
        }
        if (s.instance) cmd = static_cast<std::uint8_t>(cmd + vgm::cmd::kSecondPair);
        // An address written alone (the OPN prescaler) is the register
        // written with any data.
        if (port)
            emit(ns, {cmd, d, 0x00});
        else
            emit(ns, {cmd, static_cast<std::uint8_t>(c.reg), d});
        break;
    }
    case Style::Psg:
        if (!reg) {
            wrote = false;
            break;
        }
        emit(ns, {f.command, static_cast<std::uint8_t>((c.reg & 0x7F) | second), d});
        break;
    case Style::Dcsg:
        if (!port) {
            wrote = false;
            break;
        }
        emit(ns, {s.instance ? vgm::cmd::kSecondSN76489 : f.command, d});
        break;
    case Style::Scc: {
        if (!port) {
            wrote = false;
            break;
        }
        if (c.port == 0xD) {
            s.sccAddress = static_cast<std::uint16_t>((s.sccAddress & 0x00FF) | (d << 8));
            return;  // the write is the one on the data port
        }
        if (c.port == 0xE) {
            s.sccAddress = static_cast<std::uint16_t>((s.sccAddress & 0xFF00) | d);
            return;
        }
        std::uint8_t pp = 0, aa = 0;
        if (c.port != 0xF || !sccTarget(s.sccAddress, pp, aa)) {
            wrote = false;
            break;
        }
        emit(ns, {f.command, static_cast<std::uint8_t>(pp | second), aa, d});
        break;
    }
    }
    if (!wrote) return skip();
    ++s.writesByClock[s.clock];
    endNs_ = std::max(endNs_, c.replayNs + c.waitUs * 1000);
}

std::vector<std::string> VgmRecorder::leftOut() const {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const Slot& s = slots_[i];
        std::string line = "slot " + std::to_string(i) + ": " + cfg_.slots[i].chip;
        if (!s.model) {
            if (!cfg_.slots[i].present) continue;
            line += " -- " + s.why;
        } else if (s.skipped) {
            line += " -- writes with no VGM command: " + std::to_string(s.skipped);
        } else {
            continue;
        }
        out.push_back(line);
    }
    return out;
}

namespace {
// The clock most of a slot's writes were made at (the configured one when
// it wrote nothing). A player silences a chip at the board's clock before
// it sets the song's, so neither the first nor the last clock will do.
std::uint32_t mainClock(const std::map<std::uint32_t, std::int64_t>& byClock, std::uint32_t otherwise) {
    std::uint32_t best = otherwise;
    std::int64_t most = 0;
    for (const auto& kv : byClock)
        if (kv.second > most) {
            most = kv.second;
            best = kv.first;
        }
    return best;
}
}  // namespace

std::vector<std::string> VgmRecorder::clockNotes() const {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const Slot& s = slots_[i];
        if (s.writesByClock.size() < 2) continue;
        std::int64_t all = 0;
        for (const auto& kv : s.writesByClock) all += kv.second;
        const std::uint32_t clock = mainClock(s.writesByClock, s.clock);
        out.push_back("slot " + std::to_string(i) + ": written at " + std::to_string(s.writesByClock.size()) +
                      " clocks; the file has " + std::to_string(clock) + " Hz, that of " +
                      std::to_string(s.writesByClock.at(clock)) + " of its " + std::to_string(all) + " writes");
    }
    return out;
}

std::vector<std::uint8_t> VgmRecorder::file() const {
    std::vector<std::uint8_t> v(kHeaderSize, 0);
    std::memcpy(v.data() + vgm::field::kIdent, "Vgm ", 4);
    putLE(v, vgm::field::kVersion, kVersion);
    putLE(v, vgm::field::kData, static_cast<std::uint32_t>(kHeaderSize - vgm::field::kData));
    // The board's SN76489 is the discrete chip: 15-bit noise register
    // tapped at bits 0 and 1, period 0 counting as 0x400, no stereo.
    v[vgm::field::kSnFeedback] = 0x03;
    v[vgm::field::kSnFeedback + 1] = 0x00;
    v[vgm::field::kSnShiftWidth] = 15;
    v[vgm::field::kSnFlags] = 0x05;
    v[vgm::field::kAyFlags] = 0x01;  // legacy output
    for (const Slot& s : slots_) {
        if (!s.model) continue;
        const catalogue::FamilyRow& f = catalogue::family(s.model->family);
        const std::size_t slotIndex = static_cast<std::size_t>(&s - slots_.data());
        std::uint32_t clock = mainClock(s.writesByClock, cfg_.slots[slotIndex].clock);
        if (s.instance == 0) {
            // The AY8910 family marks its variant in the type byte.
            if (s.model->variant && f.id != Family::AY8910) clock |= vgm::kVariantBit;
            putLE(v, f.clockField, clock);
            if (f.id == Family::AY8910) v[vgm::field::kAyType] = s.model->variant ? vgm::kAyTypeYM2149 : 0x00;
        } else {
            v[f.clockField + 3] |= vgm::kDualBit >> 24;  // dual chip: both run at the first's clock
        }
    }
    // Waits up to the end of the last command, then the end mark.
    std::vector<std::uint8_t> body = body_;
    std::int64_t total = sample_;
    if (firstNs_ >= 0 && endNs_ > firstNs_) {
        std::int64_t end = ((endNs_ - firstNs_) * vgm::kSampleRate + 500000000) / 1000000000;
        for (std::int64_t gap = end - sample_; gap > 0;) {
            std::int64_t n = gap > 0xFFFF ? 0xFFFF : gap;
            body.push_back(vgm::cmd::kWait);
            body.push_back(static_cast<std::uint8_t>(n));
            body.push_back(static_cast<std::uint8_t>(n >> 8));
            gap -= n;
            total += n;
        }
    }
    body.push_back(vgm::cmd::kEnd);
    v.insert(v.end(), body.begin(), body.end());
    putLE(v, vgm::field::kSamples, static_cast<std::uint32_t>(total));

    // GD3: track, game, system and author names (English, then Japanese),
    // date, converter, notes.
    std::vector<std::uint8_t> tag;
    const std::string board = cfg_.name + " (board " + std::to_string(index_) + ", " + cfg_.address + ")";
    std::string notes = "What the board played, on its own timeline.";
    for (const auto& l : leftOut()) notes += " Left out: " + l + ".";
    for (const auto& l : clockNotes()) notes += " Clock: " + l + ".";
    const std::string texts[11] = {board,      "",   "vesk board recording", "", "vesk_sim", "", "", "", "",
                                   "vesk_sim", notes};
    for (const auto& t : texts) appendUtf16(tag, t);
    const std::size_t gd3 = v.size();
    v.resize(gd3 + 12);
    std::memcpy(v.data() + gd3, "Gd3 ", 4);
    putLE(v, gd3 + 4, 0x100);
    putLE(v, gd3 + 8, static_cast<std::uint32_t>(tag.size()));
    v.insert(v.end(), tag.begin(), tag.end());
    putLE(v, vgm::field::kGd3, static_cast<std::uint32_t>(gd3 - vgm::field::kGd3));
    putLE(v, vgm::field::kEof, static_cast<std::uint32_t>(v.size() - vgm::field::kEof));
    return v;
}

LineTap::int_type LineTap::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    char ch = traits_type::to_char_type(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
}

std::streamsize LineTap::xsputn(const char* s, std::streamsize n) {
    if (next_ && next_->sputn(s, n) != n) return 0;
    // The board writes whole lines at once: parse them in place when it
    // does, and gather the pieces otherwise.
    const char* p = s;
    const char* end = s + n;
    while (p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (!nl) {
            line_.append(p, end);
            break;
        }
        if (line_.empty()) {
            onLine_(p, static_cast<std::size_t>(nl - p));
        } else {
            line_.append(p, nl);
            onLine_(line_.data(), line_.size());
            line_.clear();
        }
        p = nl + 1;
    }
    return n;
}

}  // namespace vesk::sim
