// What vesk_play writes for tests and benchmarks: the JSON report and the
// write call times.
#ifndef VESK_PLAY_REPORT_H
#define VESK_PLAY_REPORT_H

#include <string>
#include <vector>

#include "play.h"

namespace vesk::play {

// threadsBefore / threadsAfter: the process's threads before init and after
// release (-1 when the system cannot tell): equal unless release left one.
void writeReport(const std::string& path, const std::vector<FileResult>& results, const Boards& found,
                 int threadsBefore, int threadsAfter);

// --write-times: per file "file INDEX PATH", its parts "part INDEX NAME", then
// a line per write call in call order: part index, ns since the file's
// previous call (the first: the steady clock's own count), address and data
// in hex.
void writeCallTimes(const std::string& path, const std::vector<FileResult>& results);

}  // namespace vesk::play

#endif  // VESK_PLAY_REPORT_H
