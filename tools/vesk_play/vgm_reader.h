// VGM reader: checks a VGM log (plain or gzip-compressed) and turns it into
// the timed register writes and sample-memory loads of the chips vesk
// drives. Pure computation on a byte buffer: no file or OS calls, nothing of
// the library but the chip catalogue's constants, so the tests and a fuzz
// target use it as the player does.
//
// Guarantees: nothing is read outside the buffer; a file that cannot be
// trusted is refused with a message naming the byte offset at fault; every
// event comes from a command of the file (DAC stream writes are the
// stream's data bytes at the stream's times).
#ifndef VESK_TOOLS_VGM_READER_H
#define VESK_TOOLS_VGM_READER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "vgm_format.h"

namespace vesk::vgm {

// The chip families of the format that vesk plays (the catalogue's,
// chips/chip_models.def); Chip::Count for none.
using Chip = catalogue::Family;
const char* chipName(Chip chip);

// One chip family of the header (clock field not zero).
struct ChipHeader {
    Chip chip = Chip::Count;
    std::uint32_t clock = 0;  // Hz, flag bits removed
    int instances = 1;        // 2 with the dual-chip bit
    bool variant = false;     // YM2610B; K052539 (SCC+); T6W28 for the SN76489
    std::uint8_t ayType = 0;  // AY8910 header type byte: 0x0n AY-3-891x, 0x1n YM2149 family
    std::uint16_t snFeedback = 0;
    std::uint8_t snShiftWidth = 0;
    std::uint8_t snFlags = 0;
};

// Which sample memory a load is for.
enum class Memory : std::uint8_t { YM2608DeltaT, YM2610AdpcmA, YM2610DeltaT, Y8950DeltaT };

struct Event {
    enum Kind : std::uint8_t { Write, Load } kind = Write;
    Chip chip = Chip::Count;
    std::uint8_t instance = 0;  // 0 first chip, 1 second of a dual pair
    std::uint8_t port = 0;      // bank of two-port chips; K051649 port byte
    std::uint8_t reg = 0;       // register (unused for the SN76489)
    std::uint8_t data = 0;
    Memory memory = Memory::YM2608DeltaT;  // Load only
    std::uint64_t sample = 0;              // time from the start, in 1/44100 s
    std::uint32_t offset = 0;              // file offset of the command (Load: of the data)
    std::uint32_t length = 0;              // Load: bytes of data
    std::uint32_t start = 0;               // Load: start address in the memory
    std::uint32_t memorySize = 0;          // Load: the memory's size as the block gives it
};

struct Song {
    std::string bytes;          // the file, decompressed
    std::uint32_t version = 0;  // BCD, 0x00000171 for 1.71
    std::uint32_t headerSamples = 0;
    std::uint32_t headerLoopSamples = 0;
    std::uint32_t dataOffset = 0;
    std::vector<ChipHeader> chips;
    std::vector<Event> events;    // in time order; equal times in file order
    std::uint64_t endSample = 0;  // the waits' sum up to the end command
    bool looped = false;
    std::size_t loopEvent = 0;                     // first event of the looped part
    std::uint64_t loopSample = 0;                  // time at which the looped part starts
    std::map<std::string, std::uint64_t> skipped;  // commands not played, by kind
    std::vector<std::string> warnings;
    std::string title, game, author;  // GD3 tag, UTF-8 (English, else Japanese)

    const ChipHeader* header(Chip chip) const;
};

// Inflates a gzip member. false, with a message naming the compressed byte
// offset reached, when the stream is damaged or cut short.
bool gunzip(const std::string& in, std::string& out, std::string& error);

// Reads a whole file's bytes (gzip detected by its magic). false with
// "NAME: offset 0xN: what" on anything that cannot be trusted; song is then
// unspecified.
bool readSong(const std::string& fileBytes, const std::string& name, Song& song, std::string& error);

// UTF-16LE code units to UTF-8 (unpaired surrogates become U+FFFD).
std::string utf16ToUtf8(const std::uint8_t* p, std::size_t units);

}  // namespace vesk::vgm

#endif  // VESK_TOOLS_VGM_READER_H
