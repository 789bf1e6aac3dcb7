// The simulator's record: one flat JSON object per line, written as
// datagrams arrive, so tests and benchmarks can assert on what the boards
// received. Entry types and their fields:
//
//   start     board, link, address, slots, buffer_size
//   datagram  board, seq, arrival_ns, [wire_ns], from, from_port, multicast,
//             len, bytes, held, [silent] [over_buffer] [overflow],
//             and when the board took it: start_ns, chained
//             ("board" is "" when no board had the destination address;
//             such a line has neither held nor the fields after it)
//   command   board, seq, index, name, code, status, replay_ns, bytes, and
//             by command: slot port reg data wait_us i2c_addr count target
//             item mask clock value
//   reply     board, seq, tag, fate, send_ns, to, to_port, bytes
//
// Times are CLOCK_MONOTONIC nanoseconds (shared by every network namespace
// of a host). "bytes" is lower-case hex. "status" is "ok" or what was wrong
// with the command ("bad_length", "truncated", "unknown_code", ...).
// "fate" is "sent", "suppressed", "dropped", "garbage", "truncated" or
// "delayed" (sent late).
#ifndef VESK_SIM_RECORD_H
#define VESK_SIM_RECORD_H

#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

namespace vesk::sim {

// Builds one line and writes it when destroyed (unflushed: the writer
// flushes once per datagram). With a null stream nothing is written.
class RecordLine {
public:
    RecordLine(std::ostream* out, const char* type);
    ~RecordLine();
    RecordLine(const RecordLine&) = delete;
    RecordLine& operator=(const RecordLine&) = delete;

    RecordLine& str(const char* key, const std::string& value);
    RecordLine& num(const char* key, std::int64_t value);
    RecordLine& flag(const char* key, bool value);
    RecordLine& hex(const char* key, const std::uint8_t* data, std::size_t len);

private:
    std::ostream* out_;
    std::string line_;
};

// One entry read back. Every value is kept as text; numbers and booleans
// as they were written.
struct RecordEntry {
    std::map<std::string, std::string> fields;

    bool has(const std::string& key) const { return fields.count(key) != 0; }
    std::string str(const std::string& key) const;
    std::int64_t num(const std::string& key, std::int64_t otherwise = -1) const;
    bool flag(const std::string& key) const { return str(key) == "true"; }
    std::vector<std::uint8_t> bytes(const std::string& key) const;
    std::string type() const { return str("type"); }
};

// Reads a whole record. A line that is not a flat JSON object is an error
// (message with its line number); a last line cut short by a still-running
// writer is ignored.
bool readRecord(std::istream& in, std::vector<RecordEntry>& out, std::string* error);
bool readRecordFile(const std::string& path, std::vector<RecordEntry>& out, std::string* error);

// Counts over a record, per board (keyed by board name; "" for stray
// datagrams).
struct BoardSummary {
    std::int64_t datagrams = 0;
    std::int64_t bytes = 0;
    std::int64_t silent = 0;                                   // datagrams ignored by a silent board
    std::int64_t overflow = 0;                                 // datagrams lost for want of buffer
    std::map<std::string, std::int64_t> commands;              // by name
    std::map<int, std::map<std::string, std::int64_t>> slots;  // slot -> name -> count
    std::map<std::string, std::int64_t> statuses;              // non-"ok" statuses
    std::map<std::string, std::int64_t> replies;               // by fate
};
std::map<std::string, BoardSummary> summarize(const std::vector<RecordEntry>& entries);

// Human-readable forms (vesk_sim --print / --summary).
std::string formatEntry(const RecordEntry& e);
std::string formatSummary(const std::map<std::string, BoardSummary>& s);

std::string toHex(const std::uint8_t* data, std::size_t len);

}  // namespace vesk::sim

#endif  // VESK_SIM_RECORD_H
