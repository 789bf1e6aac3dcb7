#include "adapter_config.h"

#include <cstring>

#include "platform/platform.h"
#include "profile.h"

namespace scci2vesk {

IniConfig readIniConfig(const std::string& path) {
    IniConfig config;
    if (!vesk::plat::fileExists(path)) return config;
    for (const std::string& name : profileSectionNames(path)) {
        IniSection section;
        section.name = name;
        for (const std::string& line : profileSection(path, name)) {
            std::size_t eq = line.find('=');
            if (eq == std::string::npos || eq == 0) continue;
            section.entries.emplace_back(line.substr(0, eq), line.substr(eq + 1));
        }
        config.push_back(std::move(section));
    }
    return config;
}

bool parseClock(const std::string& text, std::uint32_t& out) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::int64_t value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL) return false;
    }
    if (!digits) return false;
    if (negative) value = -value;
    if (value > 2147483647LL) return false;
    out = static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
    return true;
}

std::vector<std::uint32_t> clocksFor(const IniConfig& config, const std::string& section) {
    std::vector<std::uint32_t> clocks;
    for (const IniSection& s : config) {
        if (s.name != section) continue;
        for (const auto& entry : s.entries) {
            std::uint32_t clock;
            if (entry.first == "CLOCK" && parseClock(entry.second, clock)) clocks.push_back(clock);
        }
    }
    return clocks;
}

namespace {

struct KindRow {
    const char* name;
    ChipKind kind;
};
constexpr KindRow kKinds[] = {
    {"YM2608", {1, 3}}, {"YM2151", {2, 3}},  {"YM2610+H", {3, 3}}, {"YM2610B+H", {3, 3}}, {"YM2203", {4, 0}},
    {"YM2612", {5, 3}}, {"YM3438", {5, 3}},  {"AY8910", {6, 0}},   {"SN76489", {7, 0}},   {"YM3812", {8, 0}},
    {"YMF262", {9, 3}}, {"YM2413", {10, 0}}, {"YM3526", {11, 0}},  {"SCC", {13, 0}},      {"SCC+", {14, 0}},
    {"Y8950", {15, 0}}, {"YM2149", {19, 0}},
};

struct SectionRow {
    std::int32_t type;
    const char* section;
};
constexpr SectionRow kSections[] = {
    {1, "YM2608"},  {2, "YM2151"},  {3, "YM2610+H"}, {4, "YM2203"}, {5, "YM2612"},
    {6, "AY8910"},  {7, "SN76489"}, {8, "YM3812"},   {9, "YMF262"}, {10, "YM2413"},
    {11, "YM3526"}, {13, "SCC"},    {14, "SCC+"},    {15, "Y8950"}, {19, "YM2149"},
};

}  // namespace

ChipKind chipKindOf(const char* name) {
    for (const KindRow& row : kKinds)
        if (std::strcmp(row.name, name) == 0) return row.kind;
    return {1001, 0};
}

const char* sectionNameOf(std::int32_t type) {
    for (const SectionRow& row : kSections)
        if (row.type == type) return row.section;
    return nullptr;
}

}  // namespace scci2vesk
