// vesk_config.toml: the optional list of boards to use.
#ifndef VESK_DISCOVERY_CONFIG_H
#define VESK_DISCOVERY_CONFIG_H

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "transport/board_transport.h"

namespace vesk {

constexpr const char* kConfigFileName = "vesk_config.toml";

// The table `timing`: how each board's batches reach it in time.
//   [timing]
//   mode = "board"                 # or "departure": every board
//   departure = ["fe80::5e5c:1"]   # these boards by departure, whatever mode says
//   board = ["fe80::5e5c:2"]       # these by the board's clock
// Without the table every board is timed by its own clock.
struct TimingChoice {
    Timing all = Timing::BoardClock;
    std::vector<std::pair<std::array<std::uint8_t, 16>, Timing>> boards;  // the last one named wins
    // The timing of the board at address (standard IPv6 text).
    Timing forBoard(const std::string& address) const;
};

// Reads the table `target_address`, key `ipv6` (an array of strings) from
// `directory` + "vesk_config.toml" into targets, in file order.
// Returns true only when the list was filled. On every failure targets is
// left empty and false is returned; only a TOML syntax error is shown to the
// user (box "toml error" with the parser's own text, or, for text that is not
// UTF-8, the byte offset at fault). Never throws.
// With timing, also the table `timing` into it (left as it is when the file
// has none); a value that is not one of the choices is shown in a "toml
// error" box and left out.
// With log, also the table `log`, key `enabled` (a boolean: append init's
// steps and problems and request time-outs to vesk.log beside the library)
// into it: left as it is when the file has none; a value that is not a
// boolean is shown in a "toml error" box and left out.
bool readConfiguration(const std::string& directory, std::vector<std::string>& targets, TimingChoice* timing = nullptr,
                       bool* log = nullptr);

// The same, from text already read (name is used in the parser's messages).
bool parseConfiguration(const std::string& text, const std::string& name, std::vector<std::string>& targets,
                        TimingChoice* timing = nullptr, bool* log = nullptr);

}  // namespace vesk

#endif
