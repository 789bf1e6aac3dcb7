// Why the library's last init found fewer boards than it could, as the tools
// show it: looked up by name as any host would, so that an older library
// (without getInitReport) simply has nothing to say.
#pragma once

#include <vesk/vesk.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vesk::tools {

// The reasons, one a line; empty when there are none or the library cannot
// tell.
inline std::string initReportText(plat::Module lib) {
    auto report = reinterpret_cast<VeskGetInitReportFn>(plat::findSymbol(lib, "getInitReport"));
    const std::uint32_t n = report ? report(nullptr, 0) : 0;
    if (n == 0) return std::string();
    std::vector<char> text(n + 1);
    report(text.data(), n + 1);
    return std::string(text.data());
}

}  // namespace vesk::tools
