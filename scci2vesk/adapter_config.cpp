#include "adapter_config.h"

#include "chips/chip_models.h"
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

ChipKind chipKindOf(const char* name) {
    const vesk::catalogue::ModelRow* model = vesk::catalogue::modelNamed(name);
    if (!model) return {1001, 0};
    return {model->scciType, model->scciLocation};
}

const char* sectionNameOf(std::int32_t type) {
    for (const vesk::catalogue::ModelRow& model : vesk::catalogue::kModels)
        if (model.scciType == type) return model.name;
    return nullptr;
}

}  // namespace scci2vesk
