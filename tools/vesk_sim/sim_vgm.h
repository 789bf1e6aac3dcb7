// What a board played, as a VGM file: every register and port write its
// chips executed, at its place on the board's timeline, in VGM's 44,100 Hz
// samples, with the chips' clocks and a GD3 tag naming the board.
//
// The recorder is fed the board's "command" record lines, either live (a
// LineTap between the board and its record stream) or from a record file,
// so the board itself needs no hook.
#ifndef VESK_SIM_VGM_H
#define VESK_SIM_VGM_H

#include <cstdint>
#include <functional>
#include <map>
#include <streambuf>
#include <string>
#include <vector>

#include "chips/chip_models.h"
#include "sim_config.h"
#include "sim_record.h"

namespace vesk::sim {

// The fields of a "command" record line the recorder uses. -1: absent.
struct BoardCommand {
    std::string name;  // write_reg, write_port, set_clock, ...
    bool ok = false;   // status "ok"
    int slot = -1, port = -1, reg = -1, data = -1;
    std::int64_t replayNs = 0, waitUs = 0, clock = -1;
};

// From a record entry of type "command"; false for any other type.
bool commandFromEntry(const RecordEntry& e, BoardCommand& out);
// From a record line as RecordLine writes it, without building an entry
// (cheap enough for every line of a dense stream). False when the line is
// not a command.
bool commandFromLine(const char* line, std::size_t len, BoardCommand& out);

class VgmRecorder {
public:
    // index: the board's position in the configuration (named in the tag).
    VgmRecorder(const BoardConfig& board, std::size_t index);

    // Takes one executed command of this board, in record order. Writes
    // that the board refused (status other than ok) are not music.
    void add(const BoardCommand& c);

    // The whole file: header (version 1.71), commands from the first write
    // on (sample 0) to the end of the last command's waits, end mark, GD3.
    // A board that wrote nothing gives a file of one end mark.
    std::vector<std::uint8_t> file() const;

    // The exact board time of every command in the file, for measuring
    // timing finer than a sample: one line per command, "ns hex" (ns from
    // the first write, the command's bytes), after a comment line.
    std::string times() const { return times_; }

    std::int64_t writes() const { return writes_; }    // written into the file
    std::int64_t skipped() const { return skipped_; }  // executed, with no place in it
    // One line per slot whose writes are not in the file, and why
    // ("slot 2: SCC+ -- third chip of its kind"), in slot order.
    std::vector<std::string> leftOut() const;
    // One line per slot that was written at more than one clock: a VGM
    // file has one, that of most of the slot's writes.
    std::vector<std::string> clockNotes() const;

private:
    struct Slot {
        const catalogue::ModelRow* model = nullptr;  // null: left out
        int instance = 0;                            // 0 first chip of its family, 1 second
        std::string why;                             // why it is left out
        std::uint32_t clock = 0;
        std::map<std::uint32_t, std::int64_t> writesByClock;
        std::uint16_t sccAddress = 0;  // SCC address latch
        std::int64_t skipped = 0;
    };

    void emit(std::int64_t ns, std::initializer_list<std::uint8_t> bytes);

    const BoardConfig cfg_;
    std::size_t index_;
    std::vector<Slot> slots_;
    std::vector<std::uint8_t> body_;  // commands with their waits
    std::string times_ = "# ns since the board's first write, VGM command\n";
    std::int64_t firstNs_ = -1, endNs_ = -1;
    std::int64_t sample_ = 0;  // where body_ stands, in samples
    std::int64_t writes_ = 0, skipped_ = 0;
};

// Sits between a board and its record stream: passes every byte on to
// next (may be null) and hands each complete line to the callback.
class LineTap : public std::streambuf {
public:
    LineTap(std::streambuf* next, std::function<void(const char*, std::size_t)> onLine)
        : next_(next), onLine_(std::move(onLine)) {}

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override { return next_ ? next_->pubsync() : 0; }

private:
    std::streambuf* next_;
    std::function<void(const char*, std::size_t)> onLine_;
    std::string line_;
};

}  // namespace vesk::sim

#endif  // VESK_SIM_VGM_H
