// Playing one file: its schedule, the pacing of its writes, its figures.
#ifndef VESK_PLAY_PLAY_H
#define VESK_PLAY_PLAY_H

#include <vesk/vesk.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "options.h"
#include "parts.h"
#include "platform/platform.h"
#include "send.h"

namespace vesk::play {

// What the user asked for while a song played: Ctrl-C and q quit, space
// pauses (and resumes), n and p the next and previous song, the arrows seek
// 5 s back and on.
enum class Ask { None, Quit, Next, Previous, Pause, Back, Forward };

// The keys of the console (none without one) and Ctrl-C.
class Keys {
public:
    explicit Keys(plat::ConsoleKeys* console) : console_(console) {}
    // Ctrl-C at once; the keys at most every 20 ms (a paced song asks
    // before each write).
    Ask poll();
    // Waits for an ask other than None.
    Ask wait();

private:
    plat::ConsoleKeys* console_;
    std::chrono::steady_clock::time_point next_{};
};

// What playing a file did: its parts and their writes, what was skipped,
// the pacing figures; error set when it could not be played (ok false).
struct FileResult {
    std::string path;
    bool ok = false;
    bool interrupted = false;
    Ask ask = Ask::None;  // what ended it early: Quit, Next or Previous
    std::string error;
    std::vector<std::string> notes;
    std::vector<Part> parts;
    std::map<std::string, std::uint64_t> skipped;
    std::uint64_t writes = 0;
    double seconds = 0;                  // music played
    double p50 = 0, p99 = 0, worst = 0;  // host lateness of the writes, us
    double callP99 = 0, callWorst = 0;   // time spent in the library's write calls, us
    bool timed = false;                  // the library was handed the writes' times
    std::vector<WriteCall> calls;        // with --write-times
};

// Reads and checks a song file. false with "PATH: why": no such file, not
// allowed to read it, a folder, or what the reader found at which offset.
bool loadSong(const std::string& path, vgm::Song& song, std::string& error);

// Reads the file, chooses its chips, and (unless o.list) plays it on them
// from the start as o asks, then silences and hands them back. With
// terminal, a progress line unless o.quiet. Pauses, resumes and seeks as
// keys asks; stops early when asked to quit (interrupted set) or to go to
// another song (ask).
FileResult playFile(const std::string& path, const Options& o, VeskManager* m, const Boards& found,
                    const VeskTimedWrites* timedApi, bool terminal, Keys& keys);

}  // namespace vesk::play

#endif  // VESK_PLAY_PLAY_H
