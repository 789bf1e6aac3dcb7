// The adapter's INI file of alternative clocks and its model tables.
#ifndef SCCI2VESK_ADAPTER_CONFIG_H
#define SCCI2VESK_ADAPTER_CONFIG_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace scci2vesk {

struct IniSection {
    std::string name;
    std::vector<std::pair<std::string, std::string>> entries;  // key, value; file order
};
using IniConfig = std::vector<IniSection>;

// Reads the INI file at path through the platform's private-profile
// functions: every section name in order and the lines of each, split at
// their first '='. Lines without '=' or starting with it are skipped. A
// missing file gives an empty configuration.
IniConfig readIniConfig(const std::string& path);

// The CLOCK values of every section named exactly `section`, in order,
// duplicates included. Values without digits or outside the signed 32-bit
// range are skipped; a negative value is kept as it converts.
std::vector<std::uint32_t> clocksFor(const IniConfig& config, const std::string& section);

// Reads text as the standard string-to-integer conversion does (leading
// blanks, a sign, digits up to the first non-digit). False, and out
// untouched, when there is no digit or the number leaves the i32 range.
bool parseClock(const std::string& text, std::uint32_t& out);

// The SCCI chip type and location of a model name (exact, case-sensitive),
// from the chip catalogue; 1001 and 0 for a name not in it.
struct ChipKind {
    std::int32_t type;
    std::uint32_t location;
};
ChipKind chipKindOf(const char* name);

// The INI section serving a chip type: the name of the catalogue's first
// model of that type; null when no model has it.
const char* sectionNameOf(std::int32_t type);

}  // namespace scci2vesk

#endif  // SCCI2VESK_ADAPTER_CONFIG_H
