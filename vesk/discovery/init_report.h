// Why init found fewer boards than it could: the reasons, each a line a user
// can act on, gathered by the discovery steps and kept for the hosts.
#ifndef VESK_DISCOVERY_INIT_REPORT_H
#define VESK_DISCOVERY_INIT_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

namespace vesk {

// One init's reasons, in the order they were found. Not thread-safe: init
// fills it on one thread.
class InitReport {
public:
    // Keeps a reason (one line, no line break) and writes it to the log.
    void add(const std::string& reason);
    bool empty() const { return reasons_.empty(); }
    const std::vector<std::string>& reasons() const { return reasons_; }
    // The reasons joined by "\n", no line break after the last; empty when none.
    std::string text() const;

private:
    std::vector<std::string> reasons_;
};

// Copies text into out as a NUL-terminated string of at most capacity bytes,
// the terminator included, cut before the first UTF-8 character that does
// not fit (never inside one). Nothing is written when out is null or
// capacity is 0. Returns text's whole length in bytes, the terminator not
// counted: a buffer larger than that holds all of it.
std::uint32_t copyReportText(const std::string& text, char* out, std::uint32_t capacity);

// The reasons of the most recent init in this process, kept for
// getInitReport after the manager is gone. Any thread.
void publishInitReport(const InitReport& report);
std::string publishedInitReport();

}  // namespace vesk

#endif
