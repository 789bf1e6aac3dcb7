// Prints what the chip classes send when the chip table creates a chip: each
// chip is built by the library's own factory on a recording transport, and
// every command it pushed or requested is printed as one hex line, after a
// "chip <name> <slot>" line.
//
//   creation_dump BUFFER NAME:CLOCK:SLOT:VARIABLE:HWRESET ...
//
// The end-to-end driver compares the board's record with these sequences.
// The YM2610+H is built without its USB link, as on a host without one.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/chip_test_util.h"
#include "chips/ftdi_link.h"

int main(int argc, char** argv) {
    using namespace vesk;
    if (argc < 2) {
        std::fprintf(stderr, "usage: creation_dump BUFFER NAME:CLOCK:SLOT:VARIABLE:HWRESET ...\n");
        return 2;
    }
    setD2xxLibraryPath("no-such-d2xx-library");
    const std::uint32_t buffer = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
    for (int i = 2; i < argc; ++i) {
        std::string spec = argv[i];
        std::string fields[5];
        for (int f = 0, at = 0; f < 5; ++f) {
            std::size_t colon = spec.find(':', at);
            fields[f] = spec.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
            at = colon == std::string::npos ? static_cast<int>(spec.size()) : static_cast<int>(colon) + 1;
        }
        test::RecordSpec r;
        r.name = fields[0].c_str();
        r.clock = static_cast<std::uint32_t>(std::strtoul(fields[1].c_str(), nullptr, 10));
        r.slot = static_cast<std::uint32_t>(std::strtoul(fields[2].c_str(), nullptr, 10));
        r.variableClock = fields[3] == "1";
        r.hardwareReset = fields[4] == "1";
        test::ChipOnBoard cb(r, buffer);
        std::printf("chip %s %u\n", r.name, r.slot);
        for (const auto& e : cb.board().snapshot()) std::printf("%s\n", test::hex(e.bytes).c_str());
    }
    return 0;
}
