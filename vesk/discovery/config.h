// vesk_config.toml: the optional list of boards to use.
#ifndef VESK_DISCOVERY_CONFIG_H
#define VESK_DISCOVERY_CONFIG_H

#include <string>
#include <vector>

namespace vesk {

constexpr const char* kConfigFileName = "vesk_config.toml";

// Reads the table `target_address`, key `ipv6` (an array of strings) from
// `directory` + "vesk_config.toml" into targets, in file order.
// Returns true only when the list was filled. On every failure targets is
// left empty and false is returned; only a TOML syntax error is shown to the
// user (box "toml error" with the parser's own text, or, for text that is not
// UTF-8, the byte offset at fault). Never throws.
bool readConfiguration(const std::string& directory, std::vector<std::string>& targets);

// The same, from text already read (name is used in the parser's messages).
bool parseConfiguration(const std::string& text, const std::string& name, std::vector<std::string>& targets);

}  // namespace vesk

#endif
