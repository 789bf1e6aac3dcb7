// The sound-chip interface the adapter offers: three abstract classes that
// hosts obtain from getSoundInterfaceManager and call by slot position, and
// the two records they read through pointers.
//
// Binary contract. Hosts are built by other Windows compilers, so:
//   - every method uses VESK_SCCI_CALL (stdcall on 32-bit Windows), every
//     argument and result is 32 bits wide;
//   - the host-called slots come first, in their published order, with no
//     virtual destructor before them; the destructor is the last slot and
//     is never called by hosts;
//   - the records are packed and their layout is checked below;
//   - no method lets an exception out: one that cannot complete returns 0
//     (null for pointers); initializeAdapter then leaves the interface
//     empty.
// Never reorder, insert or remove a virtual function here.
#ifndef SCCI2VESK_SCCI_H
#define SCCI2VESK_SCCI_H

#include <cstddef>
#include <cstdint>

// Calling convention of the sound-chip interface classes the adapter
// implements: their hosts call every method with stdcall on 32-bit Windows;
// everywhere else the compiler's default.
#if defined(_WIN32) && !defined(_WIN64)
#define VESK_SCCI_CALL __stdcall
#else
#define VESK_SCCI_CALL
#endif

#pragma pack(push, 1)

struct SoundInterfaceInfo {
    char name[64];  // NUL-terminated, zero-padded
    std::int32_t chipCount;
};

struct SoundChipInfo {
    char name[64];  // the model name, NUL-terminated, zero-padded
    std::int32_t chipType;
    std::uint32_t reserved0[2];
    std::uint32_t clock;  // Hz
    std::uint32_t reserved1[2];
    std::uint32_t reserved2;
    std::uint32_t busNumber;
    std::uint32_t location;
};

#pragma pack(pop)

static_assert(sizeof(SoundInterfaceInfo) == 68, "SoundInterfaceInfo is 68 bytes");
static_assert(offsetof(SoundInterfaceInfo, chipCount) == 64, "layout");
static_assert(sizeof(SoundChipInfo) == 100, "SoundChipInfo is 100 bytes");
static_assert(offsetof(SoundChipInfo, chipType) == 64, "layout");
static_assert(offsetof(SoundChipInfo, reserved0) == 68, "layout");
static_assert(offsetof(SoundChipInfo, clock) == 76, "layout");
static_assert(offsetof(SoundChipInfo, reserved1) == 80, "layout");
static_assert(offsetof(SoundChipInfo, reserved2) == 88, "layout");
static_assert(offsetof(SoundChipInfo, busNumber) == 92, "layout");
static_assert(offsetof(SoundChipInfo, location) == 96, "layout");

class SoundChip {
public:
    virtual SoundChipInfo* VESK_SCCI_CALL chipInfo() = 0;                                              // 0
    virtual std::int32_t VESK_SCCI_CALL chipType() = 0;                                                // 1
    virtual std::int32_t VESK_SCCI_CALL writeRegister(std::uint32_t address, std::uint32_t data) = 0;  // 2
    virtual std::int32_t VESK_SCCI_CALL readRegister(std::uint32_t address) = 0;                       // 3
    virtual std::int32_t VESK_SCCI_CALL initChip() = 0;                                                // 4
    virtual std::uint32_t VESK_SCCI_CALL chipClock() = 0;                                              // 5
    virtual std::int32_t VESK_SCCI_CALL readRegister2(std::uint32_t address) = 0;                      // 6
    virtual std::int32_t VESK_SCCI_CALL unused7() = 0;                                                 // 7
    virtual ~SoundChip() {}                                                                            // 8
};

class SoundInterface {
public:
    virtual std::int32_t VESK_SCCI_CALL unused0() = 0;                              // 0
    virtual std::int32_t VESK_SCCI_CALL unused1(std::uint32_t, std::uint32_t) = 0;  // 1
    virtual std::int32_t VESK_SCCI_CALL unused2(std::uint32_t, std::uint32_t) = 0;  // 2
    virtual std::int32_t VESK_SCCI_CALL unused3(std::uint32_t) = 0;                 // 3
    virtual std::int32_t VESK_SCCI_CALL unused4() = 0;                              // 4
    virtual std::int32_t VESK_SCCI_CALL unused5() = 0;                              // 5
    virtual std::int32_t VESK_SCCI_CALL unused6() = 0;                              // 6
    virtual std::int32_t VESK_SCCI_CALL chipCount() = 0;                            // 7
    virtual SoundChip* VESK_SCCI_CALL chipAt(std::uint32_t index) = 0;              // 8
    virtual ~SoundInterface() {}                                                    // 9
};

class SoundInterfaceManager {
public:
    virtual std::int32_t VESK_SCCI_CALL interfaceCount() = 0;                                   // 0
    virtual SoundInterfaceInfo* VESK_SCCI_CALL interfaceInfoAt(std::int32_t index) = 0;         // 1
    virtual SoundInterface* VESK_SCCI_CALL interfaceAt(std::int32_t index) = 0;                 // 2
    virtual std::int32_t VESK_SCCI_CALL unused3(std::uint32_t) = 0;                             // 3
    virtual std::int32_t VESK_SCCI_CALL unused4() = 0;                                          // 4
    virtual SoundChip* VESK_SCCI_CALL acquireChip(std::int32_t type, std::uint32_t clock) = 0;  // 5
    virtual std::int32_t VESK_SCCI_CALL releaseChipEntry(SoundChip* chip) = 0;                  // 6
    virtual std::int32_t VESK_SCCI_CALL releaseAllChipEntries() = 0;                            // 7
    virtual std::int32_t VESK_SCCI_CALL unused8(std::uint32_t) = 0;                             // 8
    virtual std::int32_t VESK_SCCI_CALL unused9() = 0;                                          // 9
    virtual std::int32_t VESK_SCCI_CALL resetBoards() = 0;                                      // 10
    virtual std::int32_t VESK_SCCI_CALL resetChips() = 0;                                       // 11
    virtual std::int32_t VESK_SCCI_CALL initializeAdapter() = 0;                                // 12
    virtual std::int32_t VESK_SCCI_CALL releaseAdapter() = 0;                                   // 13
    virtual std::int32_t VESK_SCCI_CALL unused14() = 0;                                         // 14
    virtual std::int32_t VESK_SCCI_CALL unused15(std::uint32_t) = 0;                            // 15
    virtual std::int32_t VESK_SCCI_CALL unused16() = 0;                                         // 16
    virtual std::int32_t VESK_SCCI_CALL unused17() = 0;                                         // 17
    virtual void VESK_SCCI_CALL unused18(std::uint32_t) = 0;                                    // 18
    virtual void VESK_SCCI_CALL unused19(std::uint32_t) = 0;                                    // 19
    virtual void VESK_SCCI_CALL unused20() = 0;                                                 // 20
    virtual void VESK_SCCI_CALL unused21() = 0;                                                 // 21
    virtual void VESK_SCCI_CALL unused22(std::uint32_t) = 0;                                    // 22
    virtual void VESK_SCCI_CALL unused23(std::uint32_t) = 0;                                    // 23
    virtual std::int32_t VESK_SCCI_CALL unused24(std::uint32_t) = 0;                            // 24
    virtual std::int32_t VESK_SCCI_CALL unused25() = 0;                                         // 25
protected:
    virtual ~SoundInterfaceManager() {}  // 26: releaseAdapter only
};

#ifndef SCCI2VESK_EXPORT
#define SCCI2VESK_EXPORT
#endif

// The adapter's only export: a new manager over a freshly loaded vesk
// library, or null when the library or its getManager cannot be found.
extern "C" SCCI2VESK_EXPORT SoundInterfaceManager* getSoundInterfaceManager(void);

#endif  // SCCI2VESK_SCCI_H
