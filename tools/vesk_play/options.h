// vesk_play's command line.
#ifndef VESK_PLAY_OPTIONS_H
#define VESK_PLAY_OPTIONS_H

#include <string>
#include <vector>

namespace vesk::play {

extern const char kUsage[];

struct Options {
    unsigned loops = 1;
    double seconds = -1;
    double start = 0;  // seconds into each song to start from
    std::string board;
    bool list = false, quiet = false, paced = false, recursive = false;
    bool shuffle = false, repeat = false;
    double gap = 0.5;  // seconds of silence between songs
    double fade = 3;   // seconds of fade-out at a looped song's end
    std::string report;
    std::string writeTimes;
    std::vector<std::string> files;
};

// Reads the command line into o. 0 parsed; 1 --help shown; 2 usage error
// (message shown); 3 --version asked for.
int parseOptions(int argc, char** argv, Options& o);

}  // namespace vesk::play

#endif  // VESK_PLAY_OPTIONS_H
