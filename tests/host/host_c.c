/* A plain C host: calls the manager through a table of function pointers by
 * slot index, independently of any C++ compiler's vtable layout. The slot
 * numbers are those of vesk.h (init is slot 0).
 * On 32-bit Windows it calls with thiscall and checks that the stack pointer
 * is unchanged after every call: a wrong convention would shift it. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "../support/c_check.h"

void* vesk_host_load_manager_fn(void);
void vesk_host_unload(void);

enum {
    SLOT_INIT = 0,
    SLOT_RELEASE,
    SLOT_GET_CHIP_COUNT,
    SLOT_GET_BOARD_COUNT,
    SLOT_GET_CHIP_INFO,
    SLOT_GET_BOARD_INFO,
    SLOT_GET_CHIP_BY_INDEX,
    SLOT_GET_CHIP_BY_SLOT,
    SLOT_GET_CHIP,
    SLOT_RELEASE_CHIP,
    SLOT_RELEASE_ALL_CHIPS,
    SLOT_RESET_BOARDS,
    SLOT_RESET_CHIPS,
    SLOT_I2C_READ,
    SLOT_I2C_WRITE,
    SLOT_I2C_PROBE,
    SLOT_SET_OUTPUT_VOLUME,
    SLOT_GET_OUTPUT_VOLUME
};

typedef void(VESK_THISCALL* VoidFn)(void*);
typedef uint32_t(VESK_THISCALL* CountFn)(void*);
typedef void(VESK_THISCALL* CopyFn)(void*, void*, uint32_t);
typedef void*(VESK_THISCALL* ByIndexFn)(void*, uint32_t, uint32_t);
typedef void*(VESK_THISCALL* BySlotFn)(void*, const char*, uint32_t, uint32_t);
typedef void*(VESK_THISCALL* ByNameFn)(void*, const char*, uint32_t);
typedef uint8_t(VESK_THISCALL* ReleaseChipFn)(void*, void*);
typedef uint8_t(VESK_THISCALL* BoolFn)(void*);
typedef uint32_t(VESK_THISCALL* I2cReadFn)(void*, const char*, uint8_t, uint8_t*, uint8_t, uint8_t, const uint8_t*,
                                           uint8_t, uint32_t);
typedef uint8_t(VESK_THISCALL* I2cWriteFn)(void*, const char*, uint8_t, const uint8_t*, uint8_t);
typedef uint8_t(VESK_THISCALL* I2cProbeFn)(void*, const char*, uint8_t);
typedef uint8_t(VESK_THISCALL* SetVolFn)(void*, const char*, uint32_t, uint32_t, uint32_t);
typedef uint8_t(VESK_THISCALL* GetVolFn)(void*, const char*, uint32_t*, uint32_t, uint32_t);

#if VESK_CHECK_STACK
static uintptr_t sp_before;
#define SP_MARK() __asm__ volatile("movl %%esp, %0" : "=m"(sp_before))
#define SP_CHECK(what)                                                                                  \
    do {                                                                                                \
        uintptr_t sp_after;                                                                             \
        __asm__ volatile("movl %%esp, %0" : "=m"(sp_after));                                            \
        if (sp_after != sp_before) {                                                                    \
            printf("FAILED: stack moved by %ld bytes across %s\n", (long)(sp_after - sp_before), what); \
            ++failures;                                                                                 \
        }                                                                                               \
    } while (0)
#else
#define SP_MARK() ((void)0)
#define SP_CHECK(what) ((void)0)
#endif

#define CALL(slot, type, ...) (((type)(*(void***)mgr)[slot])(mgr, __VA_ARGS__))
#define CALL0(slot, type) (((type)(*(void***)mgr)[slot])(mgr))

int main(void) {
    void* (*getManager)(void) = (void* (*)(void))vesk_host_load_manager_fn();
    void* mgr;
    unsigned char boards[2 * 232];
    unsigned char chips[2 * 148];
    uint8_t out[8];
    uint32_t vol = 77;
    int i;

    if (!getManager) {
        printf("FAILED: getManager not found\n");
        return 1;
    }
    mgr = getManager();

    SP_MARK();
    CHECK(CALL0(SLOT_GET_BOARD_COUNT, CountFn) == 0);
    SP_CHECK("getBoardCount");
    SP_MARK();
    CHECK(CALL0(SLOT_GET_CHIP_COUNT, CountFn) == 0);
    SP_CHECK("getChipCount");
    SP_MARK();
    CALL0(SLOT_INIT, VoidFn);
    SP_CHECK("init");
    printf("boards %u chips %u\n", CALL0(SLOT_GET_BOARD_COUNT, CountFn), CALL0(SLOT_GET_CHIP_COUNT, CountFn));

    memset(boards, 0xEE, sizeof boards);
    memset(chips, 0xEE, sizeof chips);
    SP_MARK();
    CALL(SLOT_GET_BOARD_INFO, CopyFn, boards, 0);
    SP_CHECK("getBoardInfo");
    CHECK(boards[0] == 0xEE);
    SP_MARK();
    CALL(SLOT_GET_CHIP_INFO, CopyFn, (void*)0, 2);
    SP_CHECK("getChipInfo");
    SP_MARK();
    CALL(SLOT_GET_CHIP_INFO, CopyFn, chips, 2);
    SP_CHECK("getChipInfo");
    if (CALL0(SLOT_GET_CHIP_COUNT, CountFn) == 0) CHECK(chips[0] == 0xEE);

    if (CALL0(SLOT_GET_CHIP_COUNT, CountFn) == 0) {
        SP_MARK();
        CHECK(CALL(SLOT_GET_CHIP_BY_INDEX, ByIndexFn, 0, 4000000) == 0);
        SP_CHECK("getChipByIndex");
        SP_MARK();
        CHECK(CALL(SLOT_GET_CHIP_BY_SLOT, BySlotFn, "fe80::2", 0, 4000000) == 0);
        SP_CHECK("getChipBySlot");
        SP_MARK();
        CHECK(CALL(SLOT_GET_CHIP, ByNameFn, "YM2151", 4000000) == 0);
        SP_CHECK("getChip");
        SP_MARK();
        CHECK(CALL(SLOT_RELEASE_CHIP, ReleaseChipFn, (void*)&vol) == 0);
        SP_CHECK("releaseChip");
        SP_MARK();
        CALL0(SLOT_RELEASE_ALL_CHIPS, VoidFn);
        SP_CHECK("releaseAllChips");
        SP_MARK();
        CHECK(CALL0(SLOT_RESET_CHIPS, BoolFn) != 0);
        SP_CHECK("resetChips");
    }
    if (CALL0(SLOT_GET_BOARD_COUNT, CountFn) == 0) {
        SP_MARK();
        CHECK(CALL0(SLOT_RESET_BOARDS, BoolFn) != 0);
        SP_CHECK("resetBoards");
        /* No board at this address: every board command fails without sending. */
        SP_MARK();
        CHECK(CALL(SLOT_I2C_READ, I2cReadFn, "fe80::2", 0x28, out, 8, 3, 0, 0, 0) == 0);
        SP_CHECK("i2cRead");
        SP_MARK();
        CHECK(CALL(SLOT_I2C_WRITE, I2cWriteFn, "fe80::2", 0x28, out, 2) == 0);
        SP_CHECK("i2cWrite");
        SP_MARK();
        CHECK(CALL(SLOT_I2C_PROBE, I2cProbeFn, "fe80::2", 0x28) == 0);
        SP_CHECK("i2cProbe");
        SP_MARK();
        CHECK(CALL(SLOT_SET_OUTPUT_VOLUME, SetVolFn, "fe80::2", 70, 0, 0) == 0);
        SP_CHECK("setOutputVolume");
        SP_MARK();
        CHECK(CALL(SLOT_GET_OUTPUT_VOLUME, GetVolFn, "fe80::2", &vol, 0, 0) == 0);
        SP_CHECK("getOutputVolume");
        CHECK(vol == 77);
    }
    for (i = 0; i < 2; ++i) (void)i;
    SP_MARK();
    CALL0(SLOT_RELEASE, VoidFn);
    SP_CHECK("release");

    vesk_host_unload();
    printf(failures ? "host_c: %d failures\n" : "host_c: ok\n", failures);
    return failures ? 1 : 0;
}
