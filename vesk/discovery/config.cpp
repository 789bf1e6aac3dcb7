#include "discovery/config.h"

#include <sstream>
#include <stdexcept>
#include <toml.hpp>

#include "platform/platform.h"

namespace vesk {

namespace {

// Offset of the first byte that does not belong to well-formed UTF-8 (no
// overlong forms, no surrogates, nothing above U+10FFFF), or npos.
std::size_t firstNonUtf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        std::size_t length;
        unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return i;
        }
        if (n - i < length || p[i + 1] < lo || p[i + 1] > hi) return i;
        for (std::size_t k = 2; k < length; ++k)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) return i;
        i += length;
    }
    return std::string::npos;
}

bool timingNamed(const std::string& text, Timing& out) {
    if (text == "board") {
        out = Timing::BoardClock;
        return true;
    }
    if (text == "departure") {
        out = Timing::Departure;
        return true;
    }
    return false;
}

// The `timing` table of a parsed file into choice; each value that is not one
// of the choices is shown and left out.
void readTiming(const toml::value& root, const std::string& name, TimingChoice& choice) {
    if (!root.is_table() || !root.contains("timing") || !root.at("timing").is_table()) return;
    const auto& table = root.at("timing");
    auto refuse = [&](const std::string& what) {
        plat::messageBox(name + ": timing." + what + ": not \"board\" or \"departure\" / an IPv6 address",
                         "toml error");
    };
    if (table.contains("mode")) {
        const auto& mode = table.at("mode");
        if (!mode.is_string() || !timingNamed(mode.as_string().str, choice.all)) refuse("mode");
    }
    for (const auto& [key, timing] : {std::pair<const char*, Timing>{"board", Timing::BoardClock},
                                      std::pair<const char*, Timing>{"departure", Timing::Departure}}) {
        if (!table.contains(key)) continue;
        const auto& list = table.at(key);
        if (!list.is_array()) {
            refuse(key);
            continue;
        }
        for (const auto& item : list.as_array()) {
            std::array<std::uint8_t, 16> addr{};
            if (!item.is_string() || !plat::textToAddr(item.as_string().str, addr.data())) {
                refuse(key);
                continue;
            }
            choice.boards.emplace_back(addr, timing);
        }
    }
}

// The `log` table's `enabled` into log, when it is a boolean.
void readLog(const toml::value& root, const std::string& name, bool& log) {
    if (!root.is_table() || !root.contains("log") || !root.at("log").is_table()) return;
    const auto& table = root.at("log");
    if (!table.contains("enabled")) return;
    if (table.at("enabled").is_boolean())
        log = table.at("enabled").as_boolean();
    else
        plat::messageBox(name + ": log.enabled: not true or false", "toml error");
}

}  // namespace

Timing TimingChoice::forBoard(const std::string& address) const {
    std::array<std::uint8_t, 16> addr{};
    if (!plat::textToAddr(address, addr.data())) return all;
    Timing t = all;
    for (const auto& [a, timing] : boards)
        if (a == addr) t = timing;
    return t;
}

bool parseConfiguration(const std::string& text, const std::string& name, std::vector<std::string>& targets,
                        TimingChoice* timing, bool* log) {
    targets.clear();
    // A TOML file is UTF-8 text. The parser must never see anything else:
    // a string holding bytes that are not UTF-8 makes it read outside its
    // buffers while it words its error (toml11 3.7 rewinds the error's place
    // to a position in another buffer).
    if (const std::size_t bad = firstNonUtf8(text); bad != std::string::npos) {
        plat::messageBox(name + ": byte " + std::to_string(bad) + ": not UTF-8 text (a TOML file is UTF-8)",
                         "toml error");
        return false;
    }
    try {
        std::istringstream in(text);
        const auto root = toml::parse(in, name);
        if (timing) readTiming(root, name, *timing);
        if (log) readLog(root, name, *log);
        const auto& table = toml::find(root, "target_address");
        auto list = toml::find<std::vector<std::string>>(table, "ipv6");
        targets = std::move(list);
        return true;
    } catch (const toml::syntax_error& e) {
        plat::messageBox(e.what(), "toml error");
    } catch (const toml::type_error&) {
    } catch (const std::exception&) {
        // missing table or key (out_of_range), or anything else: no list
    } catch (...) {
    }
    targets.clear();
    return false;
}

bool readConfiguration(const std::string& directory, std::vector<std::string>& targets, TimingChoice* timing,
                       bool* log) {
    targets.clear();
    // The file is read by its full Unicode path, so a library folder whose
    // name has no ANSI spelling still finds its configuration. A missing or
    // unreadable file is the normal case: nothing is shown.
    const std::string path = directory + kConfigFileName;
    std::string text;
    if (!plat::readFile(path, text)) return false;
    return parseConfiguration(text, path, targets, timing, log);
}

}  // namespace vesk
