#include "options.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace vesk::play {

const char kUsage[] =
    "usage: vesk_play [options] FILE|FOLDER|PLAYLIST...\n"
    "Plays VGM logs (.vgm, gzip-compressed .vgz) on the chips of the boards found: the\n"
    "files named, a folder's songs in name order, a playlist's (.m3u, .m3u8) in its order.\n"
    "Every file is read and checked before the boards are looked for.\n"
    "\n"
    "  --loops N      times the looped part repeats after the first pass (default 1, 0 = none)\n"
    "  --seconds S    stop each file after S seconds of music\n"
    "  --start S      start each file S seconds in: its chips set as the music has them\n"
    "                 there (samples already under way are left out), then on from S\n"
    "  --board ADDR   use only the chips of the board with this IPv6 address\n"
    "  --recursive    a folder's folders too, in name order, after its own songs\n"
    "  --shuffle      play the files in a random order\n"
    "  --repeat       play the files again and again, until interrupted\n"
    "  --gap S        seconds of silence between songs (default 0.5)\n"
    "  --fade S       after a looped song's last loop, fade out over S seconds where its\n"
    "                 boards have an output attenuator (default 3; 0: stop after the loops)\n"
    "  --list         show the boards and chips found and, per file, where each part\n"
    "                 would play; play nothing\n"
    "  --quiet        no progress display; one summary line per file\n"
    "  --report FILE  write a JSON report: per file, writes per chip, skipped commands,\n"
    "                 host pacing figures\n"
    "  --write-times FILE\n"
    "                 write every library write call of each file to FILE (text): per\n"
    "                 chip, in call order, its time (ns: the time handed to the library,\n"
    "                 or when paced the call's), address and data\n"
    "  --paced        time each write by calling at its moment, as with a library\n"
    "                 without timed writes (default: hand the library each write's\n"
    "                 time, a little ahead of the music)\n"
    "  --version      the player's version and that of the library beside it\n"
    "  --help         this text\n"
    "\n"
    "Keys while a song plays on a terminal: space pause and resume, n next song,\n"
    "p previous song, left and right arrows 5 s back and on, q quit (as Ctrl-C).\n"
    "\n"
    "Exit status: 0 all played, 1 a file could not be played, 2 usage error,\n"
    "130 interrupted (Ctrl-C, q).\n";

namespace {

bool parseNumber(const char* s, double& out) {
    char* end = nullptr;
    out = std::strtod(s, &end);
    return end != s && *end == 0 && out >= 0;
}

struct Flag {
    const char* name;
    bool Options::*field;
};
constexpr Flag kFlags[] = {{"--paced", &Options::paced},
                           {"--recursive", &Options::recursive},
                           {"--shuffle", &Options::shuffle},
                           {"--repeat", &Options::repeat},
                           {"--list", &Options::list},
                           {"--quiet", &Options::quiet}};

// Options with a value: text as given, or a number (whole when asked).
struct Valued {
    const char* name;
    const char* needs;  // for the usage error
    std::string Options::*text;
    double Options::*number;
    unsigned Options::*whole;
};
constexpr Valued kValued[] = {
    {"--loops", "a whole number", nullptr, nullptr, &Options::loops},
    {"--seconds", "a number of seconds", nullptr, &Options::seconds, nullptr},
    {"--start", "a number of seconds", nullptr, &Options::start, nullptr},
    {"--gap", "a number of seconds", nullptr, &Options::gap, nullptr},
    {"--fade", "a number of seconds", nullptr, &Options::fade, nullptr},
    {"--board", "an address", &Options::board, nullptr, nullptr},
    {"--report", "a file name", &Options::report, nullptr, nullptr},
    {"--write-times", "a file name", &Options::writeTimes, nullptr, nullptr},
};

// false when v does not suit the option.
bool setValue(const Valued& k, const char* v, Options& o) {
    if (k.text) {
        o.*k.text = v;
        return true;
    }
    double n = 0;
    if (!parseNumber(v, n)) return false;
    if (k.number) {
        o.*k.number = n;
        return true;
    }
    if (n != static_cast<unsigned>(n)) return false;
    o.*k.whole = static_cast<unsigned>(n);
    return true;
}

int usageError(const std::string& what) {
    std::fprintf(stderr, "vesk_play: %s\n%s", what.c_str(), kUsage);
    return 2;
}

}  // namespace

int parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 1;
        }
        if (a == "--version") return 3;
        const auto flag = std::find_if(std::begin(kFlags), std::end(kFlags), [&](const Flag& f) { return a == f.name; });
        if (flag != std::end(kFlags)) {
            o.*flag->field = true;
            continue;
        }
        const auto valued =
            std::find_if(std::begin(kValued), std::end(kValued), [&](const Valued& k) { return a == k.name; });
        if (valued != std::end(kValued)) {
            if (i + 1 >= argc || !setValue(*valued, argv[++i], o))
                return usageError(a + " needs " + valued->needs);
            continue;
        }
        if (a.size() > 1 && a[0] == '-') return usageError("unknown option " + a);
        o.files.push_back(a);
    }
    if (o.files.empty()) return usageError("no file given");
    return 0;
}

}  // namespace vesk::play
