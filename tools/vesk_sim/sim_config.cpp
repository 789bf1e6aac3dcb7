#include "sim_config.h"

#include <arpa/inet.h>

#include <fstream>
#include <set>
#include <sstream>

#include <toml.hpp>

namespace vesk::sim {
namespace {

// Walks the parsed document and throws ConfigError with the position of the
// value at fault. Every table's keys are checked against the keys it may
// have, so that a misspelt key is reported instead of silently ignored.
class Reader {
public:
    explicit Reader(std::string file) : file_(std::move(file)) {}

    [[noreturn]] void fail(const toml::value& at, const std::string& key, const std::string& what) const {
        std::ostringstream s;
        s << file_ << ":" << at.location().line() << ": " << key << ": " << what;
        throw ConfigError(s.str());
    }

    void onlyKeys(const toml::value& table, const std::string& path, const std::set<std::string>& allowed) const {
        for (const auto& kv : table.as_table()) {
            if (!allowed.count(kv.first)) fail(kv.second, join(path, kv.first), "unknown key");
        }
    }

    static std::string join(const std::string& path, const std::string& key) {
        return path.empty() ? key : path + "." + key;
    }

    const toml::value* find(const toml::value& table, const std::string& key) const {
        const auto& t = table.as_table();
        auto it = t.find(key);
        return it == t.end() ? nullptr : &it->second;
    }

    std::int64_t integer(const toml::value& v, const std::string& key, std::int64_t lo, std::int64_t hi) const {
        if (!v.is_integer()) fail(v, key, "expected an integer");
        std::int64_t n = v.as_integer();
        if (n < lo || n > hi) fail(v, key, "out of range " + std::to_string(lo) + " to " + std::to_string(hi));
        return n;
    }

    // An integer or a float, lo <= v <= hi.
    double number(const toml::value& v, const std::string& key, double lo, double hi) const {
        double n = 0;
        if (v.is_integer())
            n = static_cast<double>(v.as_integer());
        else if (v.is_floating())
            n = v.as_floating();
        else
            fail(v, key, "expected a number");
        // Written so that NaN fails too.
        if (!(n >= lo && n <= hi)) {
            std::ostringstream range;
            range << "out of range " << lo << " to " << hi;
            fail(v, key, range.str());
        }
        return n;
    }

    std::string text(const toml::value& v, const std::string& key, std::size_t maxLen) const {
        if (!v.is_string()) fail(v, key, "expected a string");
        std::string s = v.as_string().str;
        if (s.size() > maxLen) fail(v, key, "longer than " + std::to_string(maxLen) + " bytes");
        return s;
    }

    bool boolean(const toml::value& v, const std::string& key) const {
        if (!v.is_boolean()) fail(v, key, "expected true or false");
        return v.as_boolean();
    }

    std::vector<std::string> selectors(const toml::value& v, const std::string& key) const {
        if (!v.is_array()) fail(v, key, "expected an array of reply selectors");
        std::vector<std::string> out;
        for (const auto& e : v.as_array()) out.push_back(selector(e, key));
        return out;
    }

    std::string selector(const toml::value& v, const std::string& key) const {
        if (!v.is_string()) fail(v, key, "expected a reply selector string");
        std::string s = v.as_string().str;
        checkSelector(v, key, s);
        return s;
    }

    void checkSelector(const toml::value& at, const std::string& key, const std::string& s) const {
        static const std::set<std::string> plain = {"*",    "discovery", "sync", "reset",
                                                    "read", "i2c_read",  "set",  "query"};
        if (plain.count(s)) return;
        for (const char* prefix : {"board:", "slot:", "read:", "i2c_read:"}) {
            std::string p = prefix;
            if (s.compare(0, p.size(), p) == 0) {
                // Replies are tagged "0xNN" (lower-case): any other spelling
                // would never match, so it is refused.
                std::string num = s.substr(p.size());
                if (num.size() == 4 && num.compare(0, 2, "0x") == 0 &&
                    num.find_first_not_of("0123456789abcdef", 2) == std::string::npos)
                    return;
            }
        }
        fail(at, key, "unknown reply selector \"" + s + "\"");
    }

    std::map<std::string, std::uint32_t> selectorTable(const toml::value& v, const std::string& key,
                                                       std::int64_t hi) const {
        if (!v.is_table()) fail(v, key, "expected a table of selector = number");
        std::map<std::string, std::uint32_t> out;
        for (const auto& kv : v.as_table()) {
            std::string k = join(key, "\"" + kv.first + "\"");
            checkSelector(kv.second, k, kv.first);
            out[kv.first] = static_cast<std::uint32_t>(integer(kv.second, k, 0, hi));
        }
        return out;
    }

    std::vector<std::uint8_t> bytes(const toml::value& v, const std::string& key, std::size_t maxLen) const {
        if (!v.is_array()) fail(v, key, "expected an array of bytes");
        std::vector<std::uint8_t> out;
        for (const auto& e : v.as_array()) out.push_back(static_cast<std::uint8_t>(integer(e, key, 0, 255)));
        if (out.size() > maxLen) fail(v, key, "more than " + std::to_string(maxLen) + " bytes");
        return out;
    }

    SlotConfig slot(const toml::value& t, const std::string& path) const {
        if (!t.is_table()) fail(t, path, "expected a table");
        onlyKeys(t, path, {"present", "chip", "clock", "variable_clock", "hardware_reset", "ext_info", "reads"});
        SlotConfig s;
        // Texts up to 252 bytes fit a reply; longer-than-field texts are
        // allowed on purpose, to exercise the host's handling of them.
        if (auto v = find(t, "present")) s.present = boolean(*v, join(path, "present"));
        if (auto v = find(t, "chip")) s.chip = text(*v, join(path, "chip"), 252);
        if (auto v = find(t, "clock"))
            s.clock = static_cast<std::uint32_t>(integer(*v, join(path, "clock"), 0, 0xFFFFFFFFll));
        if (auto v = find(t, "variable_clock")) s.variableClock = boolean(*v, join(path, "variable_clock"));
        if (auto v = find(t, "hardware_reset")) s.hardwareReset = boolean(*v, join(path, "hardware_reset"));
        if (auto v = find(t, "ext_info")) s.extInfo = text(*v, join(path, "ext_info"), 252);
        if (auto v = find(t, "reads")) {
            std::string key = join(path, "reads");
            if (!v->is_table()) fail(*v, key, "expected a table of \"port:register\" = value");
            for (const auto& kv : v->as_table()) {
                std::string k = join(key, "\"" + kv.first + "\"");
                int port = -1, reg = -1;
                std::size_t colon = kv.first.find(':');
                // end points into these texts, so they live as long as it is read.
                std::string portText = colon == std::string::npos ? "" : kv.first.substr(0, colon);
                std::string regText = colon == std::string::npos ? kv.first : kv.first.substr(colon + 1);
                char* end = nullptr;
                if (colon != std::string::npos) {
                    port = static_cast<int>(std::strtol(portText.c_str(), &end, 0));
                    if (portText.empty() || *end) fail(kv.second, k, "expected \"port:register\" or \"register\"");
                }
                reg = static_cast<int>(std::strtol(regText.c_str(), &end, 0));
                if (regText.empty() || *end || reg < 0 || reg > 255 || port < -1 || port > 15)
                    fail(kv.second, k, "expected \"port:register\" (port 0-15, register 0-255)");
                s.reads[{port, reg}] = static_cast<std::uint8_t>(integer(kv.second, k, 0, 255));
            }
        }
        return s;
    }

    I2cDeviceConfig device(const toml::value& t, const std::string& path) const {
        if (!t.is_table()) fail(t, path, "expected a table");
        onlyKeys(t, path, {"address", "type", "levels", "data"});
        I2cDeviceConfig d;
        const toml::value* a = find(t, "address");
        if (!a) fail(t, join(path, "address"), "missing");
        d.address = static_cast<std::uint8_t>(integer(*a, join(path, "address"), 0, 0x7F));
        const toml::value* ty = find(t, "type");
        if (!ty) fail(t, join(path, "type"), "missing (attenuator, display or memory)");
        std::string kind = text(*ty, join(path, "type"), 32);
        if (kind == "attenuator")
            d.kind = I2cKind::Attenuator;
        else if (kind == "display")
            d.kind = I2cKind::Display;
        else if (kind == "memory")
            d.kind = I2cKind::Memory;
        else
            fail(*ty, join(path, "type"), "expected attenuator, display or memory");
        if (auto v = find(t, "levels")) {
            auto l = bytes(*v, join(path, "levels"), 2);
            if (l.size() != 2 || l[0] > 63 || l[1] > 63) fail(*v, join(path, "levels"), "expected two levels 0 to 63");
            d.levels = {{l[0], l[1]}};
        }
        if (auto v = find(t, "data")) d.data = bytes(*v, join(path, "data"), 256);
        return d;
    }

    FaultConfig faults(const toml::value& t, const std::string& path) const {
        if (!t.is_table()) fail(t, path, "expected a table");
        onlyKeys(t, path,
                 {"no_reply", "delay_ms", "drop_every", "drop_match", "garbage", "truncate", "duplicate_discovery",
                  "silent_after_ms", "silent_for_ms", "silent_from_signal", "duplicate", "foreign_reply",
                  "foreign_address"});
        FaultConfig f;
        if (auto v = find(t, "no_reply")) f.noReply = selectors(*v, join(path, "no_reply"));
        if (auto v = find(t, "delay_ms")) f.delayMs = selectorTable(*v, join(path, "delay_ms"), 60000);
        if (auto v = find(t, "drop_every"))
            f.dropEvery = static_cast<std::uint32_t>(integer(*v, join(path, "drop_every"), 0, 1000000));
        if (auto v = find(t, "drop_match")) f.dropMatch = selector(*v, join(path, "drop_match"));
        if (auto v = find(t, "garbage")) f.garbage = selectors(*v, join(path, "garbage"));
        if (auto v = find(t, "truncate")) f.truncate = selectorTable(*v, join(path, "truncate"), 255);
        if (auto v = find(t, "duplicate_discovery"))
            f.duplicateDiscovery = boolean(*v, join(path, "duplicate_discovery"));
        if (auto v = find(t, "silent_after_ms"))
            f.silentAfterMs = integer(*v, join(path, "silent_after_ms"), 0, 86400000);
        if (auto v = find(t, "silent_for_ms")) {
            f.silentForMs = integer(*v, join(path, "silent_for_ms"), 1, 86400000);
            if (f.silentAfterMs < 0) fail(*v, join(path, "silent_for_ms"), "needs silent_after_ms (when it begins)");
        }
        if (auto v = find(t, "silent_from_signal")) {
            f.silentFromSignal = boolean(*v, join(path, "silent_from_signal"));
            if (f.silentAfterMs < 0) fail(*v, join(path, "silent_from_signal"), "needs silent_after_ms");
        }
        if (auto v = find(t, "duplicate")) f.duplicate = selectors(*v, join(path, "duplicate"));
        if (auto v = find(t, "foreign_reply")) f.foreignReply = selectors(*v, join(path, "foreign_reply"));
        if (auto v = find(t, "foreign_address")) {
            std::string key = join(path, "foreign_address");
            f.foreignAddress = text(*v, key, 64);
            if (!parseIPv6(f.foreignAddress, f.foreignAddr) || f.foreignAddr[0] != 0xFE ||
                (f.foreignAddr[1] & 0xC0) != 0x80)
                fail(*v, key, "not a link-local (fe80::/10) address");
        }
        return f;
    }

    BoardConfig board(const toml::value& t, const std::string& path) const {
        if (!t.is_table()) fail(t, path, "expected a table");
        onlyKeys(t, path,
                 {"name", "link", "address", "firmware", "wait_ms", "buffer_size", "ipv4", "idle_ms", "pace_replies",
                  "seed", "clock_ppm", "jitter_ms", "slot", "i2c", "faults"});
        BoardConfig b;
        const toml::value* link = find(t, "link");
        if (!link) fail(t, join(path, "link"), "missing (the interface the board sits on)");
        b.link = text(*link, join(path, "link"), 15);
        if (b.link.empty()) fail(*link, join(path, "link"), "empty");
        const toml::value* addr = find(t, "address");
        if (!addr) fail(t, join(path, "address"), "missing (the board's link-local address)");
        b.address = text(*addr, join(path, "address"), 64);
        if (!parseIPv6(b.address, b.addr)) fail(*addr, join(path, "address"), "not an IPv6 address text");
        if (b.addr[0] != 0xFE || (b.addr[1] & 0xC0) != 0x80)
            fail(*addr, join(path, "address"), "not a link-local (fe80::/10) address");
        // Keep the canonical text so that it compares with what hosts print.
        char buf[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, b.addr.data(), buf, sizeof buf);
        b.address = buf;
        if (auto v = find(t, "name")) b.name = text(*v, join(path, "name"), 252);
        if (auto v = find(t, "firmware")) {
            std::string key = join(path, "firmware");
            std::string s = text(*v, key, 16);
            unsigned ma = 0, mi = 0, pa = 0;
            char extra = 0;
            if (std::sscanf(s.c_str(), "%u.%u.%u%c", &ma, &mi, &pa, &extra) != 3 || ma > 255 || mi > 255 || pa > 255)
                fail(*v, key, "expected \"major.minor.patch\", each 0 to 255");
            b.firmware = {
                {static_cast<std::uint8_t>(ma), static_cast<std::uint8_t>(mi), static_cast<std::uint8_t>(pa)}};
        }
        if (auto v = find(t, "wait_ms"))
            b.waitMs = static_cast<std::uint16_t>(integer(*v, join(path, "wait_ms"), 0, 65535));
        if (auto v = find(t, "buffer_size"))
            b.bufferSize = static_cast<std::uint32_t>(integer(*v, join(path, "buffer_size"), 0, 0xFFFFFFFFll));
        if (auto v = find(t, "ipv4")) b.ipv4 = text(*v, join(path, "ipv4"), 252);
        if (auto v = find(t, "idle_ms"))
            b.idleMs = static_cast<std::uint8_t>(integer(*v, join(path, "idle_ms"), 0, 255));
        if (auto v = find(t, "pace_replies")) b.paceReplies = boolean(*v, join(path, "pace_replies"));
        if (auto v = find(t, "seed"))
            b.seed = static_cast<std::uint32_t>(integer(*v, join(path, "seed"), 0, 0xFFFFFFFFll));
        if (auto v = find(t, "clock_ppm")) b.clockPpm = number(*v, join(path, "clock_ppm"), -10000, 10000);
        if (auto v = find(t, "jitter_ms")) b.jitterMs = number(*v, join(path, "jitter_ms"), 0, 1000);
        if (auto v = find(t, "slot")) {
            if (!v->is_array()) fail(*v, join(path, "slot"), "expected [[board.slot]] tables");
            const auto& arr = v->as_array();
            if (arr.size() > 255) fail(*v, join(path, "slot"), "more than 255 slots");
            for (std::size_t i = 0; i < arr.size(); ++i)
                b.slots.push_back(slot(arr[i], join(path, "slot[" + std::to_string(i) + "]")));
        }
        if (auto v = find(t, "i2c")) {
            if (!v->is_array()) fail(*v, join(path, "i2c"), "expected [[board.i2c]] tables");
            const auto& arr = v->as_array();
            for (std::size_t i = 0; i < arr.size(); ++i) {
                std::string p = join(path, "i2c[" + std::to_string(i) + "]");
                I2cDeviceConfig d = device(arr[i], p);
                for (const auto& other : b.i2c)
                    if (other.address == d.address) fail(arr[i], join(p, "address"), "two devices at one address");
                b.i2c.push_back(d);
            }
        }
        if (auto v = find(t, "faults")) b.faults = faults(*v, join(path, "faults"));
        if (b.faults.foreignAddress.empty()) {
            b.faults.foreignAddr = b.addr;
            b.faults.foreignAddr[15] ^= 0x80;
        }
        if (b.faults.foreignAddr == b.addr) fail(t, join(path, "faults.foreign_address"), "the board's own address");
        char fbuf[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, b.faults.foreignAddr.data(), fbuf, sizeof fbuf);
        b.faults.foreignAddress = fbuf;
        return b;
    }

    SimConfig config(const toml::value& root) const {
        SimConfig c;
        c.file = file_;
        onlyKeys(root, "", {"board"});
        const toml::value* boards = find(root, "board");
        if (!boards) fail(root, "board", "no [[board]] table");
        if (!boards->is_array()) fail(*boards, "board", "expected [[board]] tables");
        const auto& arr = boards->as_array();
        for (std::size_t i = 0; i < arr.size(); ++i) {
            std::string p = "board[" + std::to_string(i) + "]";
            BoardConfig b = board(arr[i], p);
            for (const auto& other : c.boards)
                if (other.link == b.link && other.addr == b.addr)
                    fail(arr[i], p + ".address", "two boards with one address on link " + b.link);
            c.boards.push_back(std::move(b));
        }
        if (c.boards.empty()) fail(*boards, "board", "no boards");
        return c;
    }

private:
    std::string file_;
};

}  // namespace

bool parseIPv6(const std::string& text, std::array<std::uint8_t, 16>& out) {
    return inet_pton(AF_INET6, text.c_str(), out.data()) == 1;
}

SimConfig parseConfig(const std::string& text, const std::string& file) {
    toml::value root;
    try {
        std::istringstream in(text);
        root = toml::parse(in, file);
    } catch (const toml::exception& e) {
        // toml11's own report follows: it points at the spot in the line.
        throw ConfigError(file + ":" + std::to_string(e.location().line()) + ": syntax error\n" + e.what());
    } catch (const std::exception& e) {
        throw ConfigError(file + ": " + e.what());
    }
    return Reader(file).config(root);
}

SimConfig loadConfig(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ConfigError(path + ": cannot be read");
    std::ostringstream s;
    s << in.rdbuf();
    return parseConfig(s.str(), path);
}

}  // namespace vesk::sim
