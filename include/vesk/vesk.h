// vesk public interface: what a host sees after loading the library and
// calling getManager.
//
// Binary contract. Hosts built by other compilers call these interfaces by
// vtable slot, so:
//   - the records are packed, little-endian, and their size and every field
//     offset are checked below;
//   - the interfaces are pure virtual, without overloads or data members,
//     with the host-called slots first and in their published order;
//   - every operation uses the compiler's default member convention (thiscall
//     on 32-bit Windows, the same as every Windows C++ compiler);
//   - no call lets an exception out. A call that cannot complete (memory
//     runs out, a thread cannot start) returns its failure: false, 0 or
//     null; init then leaves no boards, and release still frees everything.
// The comment after each virtual function is its vtable slot, counted from 0.
// Never reorder, insert or remove a virtual function here.
#ifndef VESK_VESK_H
#define VESK_VESK_H

#include <stddef.h>
#include <stdint.h>

#pragma pack(push, 1)

// One board as the library found it. 232 bytes. Text fields are zero padded;
// a text that fills its field exactly has no terminating zero, except the
// 65-byte address fields, which always end with one.
struct VeskBoardInfo {
    uint32_t firmwareVersion;  // major<<24 | minor<<16 | patch<<8
    uint16_t listenPort;       // always 50003
    uint16_t sendPort;         // host port this board sends to: 50003 + board index
    uint16_t waitMs;           // the board's latency, ms
    uint8_t reserved0[2];
    uint32_t bufferSize;  // the board's receive buffer, bytes
    char name[32];
    uint32_t protocol;      // always 0
    char localAddress[65];  // host link-local IPv6 text, no scope
    char localIPv4[22];     // never filled
    char boardAddress[65];  // board link-local IPv6 text: the board's key
    char boardIPv4[22];
    uint8_t reserved1[2];
    uint32_t slotCount;
};

// One chip found in a board slot. 148 bytes, same rules.
struct VeskChipInfo {
    uint8_t variableClock;
    uint8_t hardwareReset;
    uint8_t reserved0[2];
    uint32_t clock;  // Hz; follows setClock
    char name[16];   // model name as the board reports it, e.g. "YM2151"
    char extInfo[32];
    uint32_t slot;     // 0-based slot on the board
    char address[65];  // the board's boardAddress
    uint8_t reserved1[23];
};

#pragma pack(pop)

// Argument of VeskChip::uploadSampleMemory (YM2610+H sample memories).
// Natural alignment, as hosts declare it.
struct SampleBlock {
    const uint8_t* data;
    uint32_t bank;    // 0 or 1
    uint32_t size;    // bytes, 1 .. 0x1000000
    uint32_t offset;  // start address in the sample memory, below 0x1000000
};

#ifdef __cplusplus

class VeskChip {
public:
    virtual bool write(uint32_t reg, uint32_t data) = 0;            // 0
    virtual bool writeData(uint32_t port, uint32_t data) = 0;       // 1
    virtual uint32_t read(uint32_t reg) = 0;                        // 2
    virtual bool setClock(uint32_t clock, uint8_t flag) = 0;        // 3
    virtual bool reset() = 0;                                       // 4
    virtual bool resetSlot() = 0;                                   // 5
    virtual const char* getName() = 0;                              // 6
    virtual uint32_t getClock() = 0;                                // 7
    virtual const char* getAddress(int selector) = 0;               // 8
    virtual uint32_t getSlot() = 0;                                 // 9
    virtual bool uploadSampleMemory(const SampleBlock* block) = 0;  // 10
    virtual ~VeskChip() {}                                          // 11, never called by hosts
};

class VeskManager {
public:
    virtual void init() = 0;                                               // 0
    virtual void release() = 0;                                            // 1: also deletes the manager
    virtual uint32_t getChipCount() = 0;                                   // 2
    virtual uint32_t getBoardCount() = 0;                                  // 3
    virtual void getChipInfo(VeskChipInfo* dst, uint32_t capacity) = 0;    // 4
    virtual void getBoardInfo(VeskBoardInfo* dst, uint32_t capacity) = 0;  // 5
    virtual VeskChip* getChipByIndex(uint32_t index, uint32_t clock) = 0;  // 6
    virtual VeskChip* getChipBySlot(const char* boardAddress, uint32_t slot,
                                    uint32_t clock) = 0;              // 7
    virtual VeskChip* getChip(const char* name, uint32_t clock) = 0;  // 8
    virtual bool releaseChip(VeskChip* chip) = 0;                     // 9
    virtual void releaseAllChips() = 0;                               // 10
    virtual bool resetBoards() = 0;                                   // 11
    virtual bool resetChips() = 0;                                    // 12
    virtual uint32_t i2cRead(const char* boardAddress, uint8_t i2cAddress, uint8_t* out, uint8_t outCapacity,
                             uint8_t readLength, const uint8_t* writeData, uint8_t writeLength,
                             uint32_t reserved) = 0;                                                               // 13
    virtual bool i2cWrite(const char* boardAddress, uint8_t i2cAddress, const uint8_t* data, uint8_t length) = 0;  // 14
    virtual bool i2cProbe(const char* boardAddress, uint8_t i2cAddress) = 0;                                       // 15
    virtual bool setOutputVolume(const char* boardAddress, uint32_t value, uint32_t channel,
                                 uint32_t inhibit) = 0;  // 16
    virtual bool getOutputVolume(const char* boardAddress, uint32_t* out, uint32_t channel,
                                 uint32_t inhibit) = 0;  // 17
protected:
    virtual ~VeskManager() {}  // 18: release() only
};

static_assert(sizeof(VeskBoardInfo) == 232, "VeskBoardInfo is 232 bytes");
static_assert(offsetof(VeskBoardInfo, firmwareVersion) == 0, "layout");
static_assert(offsetof(VeskBoardInfo, listenPort) == 4, "layout");
static_assert(offsetof(VeskBoardInfo, sendPort) == 6, "layout");
static_assert(offsetof(VeskBoardInfo, waitMs) == 8, "layout");
static_assert(offsetof(VeskBoardInfo, reserved0) == 10, "layout");
static_assert(offsetof(VeskBoardInfo, bufferSize) == 12, "layout");
static_assert(offsetof(VeskBoardInfo, name) == 16, "layout");
static_assert(offsetof(VeskBoardInfo, protocol) == 48, "layout");
static_assert(offsetof(VeskBoardInfo, localAddress) == 52, "layout");
static_assert(offsetof(VeskBoardInfo, localIPv4) == 117, "layout");
static_assert(offsetof(VeskBoardInfo, boardAddress) == 139, "layout");
static_assert(offsetof(VeskBoardInfo, boardIPv4) == 204, "layout");
static_assert(offsetof(VeskBoardInfo, reserved1) == 226, "layout");
static_assert(offsetof(VeskBoardInfo, slotCount) == 228, "layout");

static_assert(sizeof(VeskChipInfo) == 148, "VeskChipInfo is 148 bytes");
static_assert(offsetof(VeskChipInfo, variableClock) == 0, "layout");
static_assert(offsetof(VeskChipInfo, hardwareReset) == 1, "layout");
static_assert(offsetof(VeskChipInfo, reserved0) == 2, "layout");
static_assert(offsetof(VeskChipInfo, clock) == 4, "layout");
static_assert(offsetof(VeskChipInfo, name) == 8, "layout");
static_assert(offsetof(VeskChipInfo, extInfo) == 24, "layout");
static_assert(offsetof(VeskChipInfo, slot) == 56, "layout");
static_assert(offsetof(VeskChipInfo, address) == 60, "layout");
static_assert(offsetof(VeskChipInfo, reserved1) == 125, "layout");

#endif  // __cplusplus

// The library's only export. Each call builds a new manager; the host ends
// it with release(), never with delete.
// The build defines VESK_EXPORT for the library itself; hosts see nothing.
#ifndef VESK_EXPORT
#define VESK_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
VESK_EXPORT VeskManager* getManager(void);
}
#endif

// Type of getManager as hosts look it up by name.
#ifdef __cplusplus
typedef VeskManager* (*VeskGetManagerFn)(void);
#endif

// ---------------------------------------------------------------- timed writes
// An extension beside the interfaces above, for hosts that know when each
// write should sound (a file player): instead of being timed by the call,
// a write is given its time. A host looks it up by name, "getTimedWrites",
// as it looks up getManager; a library without it (older than the
// extension) simply has no such export, and the host then times its writes
// by calling at the right moment, as every host does without it:
//
//     VeskGetTimedWritesFn find = (VeskGetTimedWritesFn)GetProcAddress(lib, "getTimedWrites");
//     const VeskTimedWrites* tw = find ? find() : NULL;
//     int64_t start = tw ? tw->now() + 5000000 : 0;     // the music starts 5 ms from now
//     for each write:
//         if (tw) tw->setWriteTime(start + fileTimeNs);  // ahead of the music, at most the latency
//         else    wait until the write's time;
//         chip->write(reg, data);
//
// Rules:
//   - A time is in nanoseconds on the library's clock, which now() reads (a
//     steady clock, the same for every thread and board).
//   - setWriteTime holds for the calling thread only, for the writes it makes
//     through VeskChip::write and writeData, until it sets another time or
//     calls clearWriteTime. A write at time t sounds at t plus its board's
//     latency (VeskBoardInfo::waitMs), as a write called at t would.
//   - Writes to one board are never reordered: a time before the board's
//     previous write is taken as that write's time (a host that falls behind
//     plays late, in order, and catches up as the board allows).
//   - A write whose time is more than its board's latency ahead of now()
//     waits in the write call until it is within the latency: a host can run
//     ahead of the music, but never fill the pipeline beyond one latency.
//   - Everything else is timed by the call, as without the extension:
//     read, setClock, reset, resetSlot, uploadSampleMemory, the manager's
//     calls, and every write of a thread that set no time (or cleared it).
// Functions use the C calling convention. size is the record's size as the
// library fills it: a member past it is absent (later versions may add
// members at the end, never change these).
#if defined(_WIN32) && !defined(_WIN64)
#define VESK_CDECL __cdecl
#else
#define VESK_CDECL
#endif
struct VeskTimedWrites {
    uint32_t size;
    uint32_t version;  // 1
    int64_t(VESK_CDECL* now)(void);
    void(VESK_CDECL* setWriteTime)(int64_t ns);
    void(VESK_CDECL* clearWriteTime)(void);
};
#ifdef __cplusplus
extern "C" {
#endif
// Always the same record, valid while the library is loaded.
VESK_EXPORT const struct VeskTimedWrites* VESK_CDECL getTimedWrites(void);
#ifdef __cplusplus
}
#endif
typedef const struct VeskTimedWrites*(VESK_CDECL* VeskGetTimedWritesFn)(void);

// ---------------------------------------------------------------- init report
// Why the most recent init found fewer boards than it could, in words for
// the user: another export beside getManager, looked up by name the same
// way; a library without it (older) has no such export:
//
//     VeskGetInitReportFn report = (VeskGetInitReportFn)GetProcAddress(lib, "getInitReport");
//     uint32_t n = report ? report(NULL, 0) : 0;        // 0: nothing to say
//     if (n) { char* text = malloc(n + 1); report(text, n + 1); show(text); free(text); }
//
// text receives the reasons as UTF-8, one a line ("\n" between them, none
// after the last), NUL-terminated, cut to capacity bytes (the terminator
// included) before a character that does not fit; nothing is written when
// text is null or capacity is 0. Returns the length in bytes the whole text
// needs, the terminator not counted: 0 when no init ran in this process or
// the last one found every board it could. The text stays after release,
// until the next init. Any thread; uses the C calling convention.
#ifdef __cplusplus
extern "C" {
#endif
VESK_EXPORT uint32_t VESK_CDECL getInitReport(char* text, uint32_t capacity);
#ifdef __cplusplus
}
#endif
typedef uint32_t(VESK_CDECL* VeskGetInitReportFn)(char* text, uint32_t capacity);

// ---------------------------------------------------------------- version
// The library's version, looked up by name like getTimedWrites (libraries
// before 0.9.0 lack it): "MAJOR.MINOR.PATCH", then, for a build from a
// checkout, a space and the git description in parentheses, e.g.
// "0.9.0 (git 9508587)". A static string, valid while the library is loaded.
#ifdef __cplusplus
extern "C" {
#endif
VESK_EXPORT const char* VESK_CDECL getVeskVersion(void);
#ifdef __cplusplus
}
#endif
typedef const char*(VESK_CDECL* VeskGetVersionFn)(void);

#endif  // VESK_VESK_H
