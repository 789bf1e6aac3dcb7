// Fuzz target: the readers of text a user or a board hands the library. The
// first byte picks one, the rest is the text:
//   0  vesk_config.toml (the library's board list)
//   1  scci2vesk.ini as the POSIX side reads it (sections, CLOCK values)
//   2  a slot's extInfo field and its "PRE13=" setting
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "adapter_config.h"
#include "profile.h"
#include "chips/chip_table.h"
#include "discovery/config.h"
#include "fuzz_check.h"
#include "platform/platform.h"

namespace {

using namespace vesk;

// The standard conversion, which parseClock promises to read as.
bool referenceClock(const std::string& text, std::uint32_t& out) {
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(start, &end, 10);
    if (end == start || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<std::uint32_t>(static_cast<std::int32_t>(v));
    return true;
}

void checkClock(const std::string& text) {
    if (text.find('\0') != std::string::npos) return;  // the INI reader never hands one over
    std::uint32_t got = 0xDEADBEEF, want = 0xDEADBEEF;
    const bool ok = scci2vesk::parseClock(text, got);
    FUZZ_CHECK(ok == referenceClock(text, want));
    FUZZ_CHECK(got == want);
}

// The INI reader reads a file by its path: the text goes to a file of this
// process's own.
std::string iniPath() {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/vesk_fuzz_" + std::to_string(getpid()) + ".ini";
}

void readIni(const std::string& text) {
    static const std::string path = iniPath();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    const scci2vesk::IniConfig config = scci2vesk::readIniConfig(path);
    // What the private-profile buffer holds: names and their terminators
    // in 1024 bytes, nothing empty, no terminator inside a string.
    std::size_t names = 0;
    for (const scci2vesk::IniSection& s : config) {
        FUZZ_CHECK(!s.name.empty() && s.name.find('\0') == std::string::npos);
        names += s.name.size() + 1;
        std::size_t lines = 0;
        for (const auto& [key, value] : s.entries) {
            FUZZ_CHECK(!key.empty() && key.find('=') == std::string::npos);
            lines += key.size() + value.size() + 2;
            if (key == "CLOCK") checkClock(value);
        }
        FUZZ_CHECK(lines < scci2vesk::kProfileBufferSize);
        (void)scci2vesk::clocksFor(config, s.name);
    }
    FUZZ_CHECK(names < scci2vesk::kProfileBufferSize);
    checkClock(text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    plat::setMessageHook([](const std::string&, const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t reader = in.byte();
    const fuzz::Bytes rest = in.rest();
    const std::string text(reinterpret_cast<const char*>(rest.data()), rest.size());

    switch (reader % 3) {
    case 0: {
        int boxes = 0;
        plat::setMessageHook([&](const std::string&, const std::string& caption) {
            FUZZ_CHECK(caption == "toml error");
            ++boxes;
        });
        std::vector<std::string> targets{"left over"};
        const bool ok = parseConfiguration(text, kConfigFileName, targets);
        FUZZ_CHECK(ok ? boxes == 0 : targets.empty() && boxes <= 1);
        // The timing and log tables as well: their refusals are boxes of their own.
        TimingChoice timing;
        bool log = false;
        std::vector<std::string> again;
        FUZZ_CHECK(parseConfiguration(text, kConfigFileName, again, &timing, &log) == ok && again == targets);
        const Timing t = timing.forBoard("fe80::1");
        FUZZ_CHECK(t == Timing::BoardClock || t == Timing::Departure);
        plat::setMessageHook([](const std::string&, const std::string&) {});
        break;
    }
    case 1: readIni(text); break;
    case 2: {
        // The field as the record holds it: 32 bytes, a terminator only when shorter.
        const std::size_t fieldSize = sizeof(VeskChipInfo::extInfo);
        std::unique_ptr<char[]> field(new char[fieldSize]());
        std::memcpy(field.get(), text.data(), std::min(text.size(), fieldSize));
        const std::uint32_t threshold = prescalerThresholdFrom(field.get());
        if (threshold)
            FUZZ_CHECK(std::string(field.get(), strnlen(field.get(), fieldSize)).find("PRE13=") != std::string::npos);
        break;
    }
    }
    return 0;
}
