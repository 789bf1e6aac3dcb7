/* A plain C SCCI host: drives the real scci2vesk and vesk libraries through
 * function-pointer tables by slot index, as players built by other compilers
 * do. On 32-bit Windows every call is stdcall, with the object pointer as
 * the first stack argument, and the stack pointer is checked after every
 * call: a convention mismatch would shift it.
 *
 * Expects the board of scci_board.toml and the INI file scci_e2e.py writes.
 * Prints "key = value" lines for the driver, which checks the simulator's
 * record; exits 1 on any failed check here. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "../support/c_check.h"

void* scci_host_load(void);
void scci_host_unload(void);
int scci_host_install_d2xx(const char* fakeName);
int scci_host_d2xx_log(char* out, int capacity);
void scci_host_sleep_ms(int ms);

typedef int32_t(SCCI_CALL* Fn0)(void*);
typedef int32_t(SCCI_CALL* Fn1)(void*, uint32_t);
typedef int32_t(SCCI_CALL* Fn2)(void*, uint32_t, uint32_t);
typedef void(SCCI_CALL* VoidFn0)(void*);
typedef void(SCCI_CALL* VoidFn1)(void*, uint32_t);
typedef void*(SCCI_CALL* PtrFn0)(void*);
typedef void*(SCCI_CALL* PtrFn1)(void*, uint32_t);
typedef void*(SCCI_CALL* PtrFn2)(void*, uint32_t, uint32_t);
typedef int32_t(SCCI_CALL* PtrArgFn)(void*, void*);

/* Manager slots. */
enum {
    M_INTERFACE_COUNT = 0,
    M_INTERFACE_INFO_AT = 1,
    M_INTERFACE_AT = 2,
    M_ACQUIRE_CHIP = 5,
    M_RELEASE_CHIP_ENTRY = 6,
    M_RELEASE_ALL = 7,
    M_RESET_BOARDS = 10,
    M_RESET_CHIPS = 11,
    M_INITIALIZE = 12,
    M_RELEASE_ADAPTER = 13
};
/* Interface slots. */
enum { I_CHIP_COUNT = 7, I_CHIP_AT = 8 };
/* Chip slots. */
enum { C_INFO = 0, C_TYPE = 1, C_WRITE = 2, C_READ = 3, C_INIT = 4, C_CLOCK = 5, C_READ2 = 6, C_UNUSED7 = 7 };

#pragma pack(push, 1)
typedef struct {
    char name[64];
    int32_t chipCount;
} InterfaceInfo;
typedef struct {
    char name[64];
    int32_t chipType;
    uint32_t zero0[2];
    uint32_t clock;
    uint32_t zero1[3];
    uint32_t busNumber;
    uint32_t location;
} ChipInfo;
#pragma pack(pop)

#if SCCI_CHECK_STACK
static uintptr_t sp_before;
#define SP_MARK() __asm__ volatile("movl %%esp, %0" : "=m"(sp_before))
#define SP_CHECK(what, slot)                                                                                          \
    do {                                                                                                              \
        uintptr_t sp_after;                                                                                           \
        __asm__ volatile("movl %%esp, %0" : "=m"(sp_after));                                                          \
        if (sp_after != sp_before) {                                                                                  \
            printf("FAILED: stack moved by %ld bytes across %s slot %d\n", (long)(sp_after - sp_before), what, slot); \
            ++failures;                                                                                               \
        }                                                                                                             \
    } while (0)
#else
#define SP_MARK() ((void)0)
#define SP_CHECK(what, slot) ((void)(what), (void)(slot))
#endif

#define SLOT(obj, n) ((*(void***)(obj))[n])

/* One wrapper per shape, each checking the stack around the call. */
static int32_t call0(const char* what, void* o, int slot) {
    int32_t r;
    SP_MARK();
    r = ((Fn0)SLOT(o, slot))(o);
    SP_CHECK(what, slot);
    return r;
}
static int32_t call1(const char* what, void* o, int slot, uint32_t a) {
    int32_t r;
    SP_MARK();
    r = ((Fn1)SLOT(o, slot))(o, a);
    SP_CHECK(what, slot);
    return r;
}
static int32_t call2(const char* what, void* o, int slot, uint32_t a, uint32_t b) {
    int32_t r;
    SP_MARK();
    r = ((Fn2)SLOT(o, slot))(o, a, b);
    SP_CHECK(what, slot);
    return r;
}
static void callv0(const char* what, void* o, int slot) {
    SP_MARK();
    ((VoidFn0)SLOT(o, slot))(o);
    SP_CHECK(what, slot);
}
static void callv1(const char* what, void* o, int slot, uint32_t a) {
    SP_MARK();
    ((VoidFn1)SLOT(o, slot))(o, a);
    SP_CHECK(what, slot);
}
static void* callp0(const char* what, void* o, int slot) {
    void* r;
    SP_MARK();
    r = ((PtrFn0)SLOT(o, slot))(o);
    SP_CHECK(what, slot);
    return r;
}
static void* callp1(const char* what, void* o, int slot, uint32_t a) {
    void* r;
    SP_MARK();
    r = ((PtrFn1)SLOT(o, slot))(o, a);
    SP_CHECK(what, slot);
    return r;
}
static void* callp2(const char* what, void* o, int slot, uint32_t a, uint32_t b) {
    void* r;
    SP_MARK();
    r = ((PtrFn2)SLOT(o, slot))(o, a, b);
    SP_CHECK(what, slot);
    return r;
}
static int32_t callptr(const char* what, void* o, int slot, void* p) {
    int32_t r;
    SP_MARK();
    r = ((PtrArgFn)SLOT(o, slot))(o, p);
    SP_CHECK(what, slot);
    return r;
}

/* The chip list the board and INI file give: primaries in record order, then
 * the variants (the YM2151's own clock and the fixed-clock YM2203 get none). */
static const struct {
    const char* name;
    int32_t type;
    uint32_t clock, bus, location;
} expected[] = {
    {"YM2151", 2, 4000000, 0, 3}, {"SN76489", 7, 3579545, 1, 0}, {"YM2610B+H", 3, 8000000, 2, 3},
    {"YM2203", 4, 3993600, 3, 0}, {"YM2151", 2, 3579545, 4, 3},  {"YM2610B+H", 3, 7987200, 5, 3},
};
#define EXPECTED_COUNT 6

static void noEffectSlots(void* mgr) {
    CHECK(call1("manager", mgr, 3, 7) == 1);
    CHECK(call0("manager", mgr, 4) == 1);
    CHECK(call1("manager", mgr, 8, 7) == 1);
    CHECK(call0("manager", mgr, 9) == 0);
    CHECK(call0("manager", mgr, 14) == 1);
    CHECK(call1("manager", mgr, 15, 7) == 1);
    CHECK(call0("manager", mgr, 16) == 1);
    CHECK(call0("manager", mgr, 17) == 1);
    callv1("manager", mgr, 18, 7);
    callv1("manager", mgr, 19, 7);
    callv0("manager", mgr, 20);
    callv0("manager", mgr, 21);
    callv1("manager", mgr, 22, 7);
    callv1("manager", mgr, 23, 7);
    CHECK(call1("manager", mgr, 24, 7) == 1);
    CHECK(call0("manager", mgr, 25) == 0);
}

static int waitForUpload(char* log, int capacity) {
    int i;
    for (i = 0; i < 100; ++i) {
        if (scci_host_d2xx_log(log, capacity) >= 0 && strstr(log, "Write 4099 bytes")) return 1;
        scci_host_sleep_ms(50);
    }
    return 0;
}

int main(void) {
    void* (*getSoundInterfaceManager)(void);
    void* mgr;
    void* itf;
    void* chips[EXPECTED_COUNT];
    InterfaceInfo* ii;
    static char log[65536];
    int i, n;

    CHECK(scci_host_install_d2xx(FAKE_D2XX_FILE) == 1);
    getSoundInterfaceManager = (void* (*)(void))scci_host_load();
    if (!getSoundInterfaceManager) {
        printf("FAILED: getSoundInterfaceManager not found\n");
        return 1;
    }
    mgr = getSoundInterfaceManager();
    if (!mgr) {
        printf("FAILED: no manager\n");
        return 1;
    }

    /* Before initialisation. */
    CHECK(call0("interfaceCount", mgr, M_INTERFACE_COUNT) == 1);
    ii = (InterfaceInfo*)callp1("interfaceInfoAt", mgr, M_INTERFACE_INFO_AT, 0);
    CHECK(ii != NULL && ii->chipCount == 0 && ii->name[0] == 0);
    CHECK(callp1("interfaceAt", mgr, M_INTERFACE_AT, 0) == NULL);
    noEffectSlots(mgr);

    CHECK(call0("initializeAdapter", mgr, M_INITIALIZE) == 1);
    CHECK(call0("interfaceCount", mgr, M_INTERFACE_COUNT) == 1);
    CHECK(callp1("interfaceInfoAt", mgr, M_INTERFACE_INFO_AT, 1) == NULL);
    CHECK(callp1("interfaceAt", mgr, M_INTERFACE_AT, 1) == NULL);
    ii = (InterfaceInfo*)callp1("interfaceInfoAt", mgr, M_INTERFACE_INFO_AT, 0);
    itf = callp1("interfaceAt", mgr, M_INTERFACE_AT, 0);
    if (!ii || !itf) {
        printf("FAILED: no interface\n");
        return 1;
    }
    printf("interface = %s\nchips = %d\n", ii->name, ii->chipCount);
    CHECK(strcmp(ii->name, "Virtual Vesk Interface") == 0);

    /* Interface slots. */
    CHECK(call0("interface", itf, 0) == 1);
    CHECK(call2("interface", itf, 1, 1, 2) == 1);
    CHECK(call2("interface", itf, 2, 1, 2) == 0);
    CHECK(call1("interface", itf, 3, 1) == 1);
    CHECK(call0("interface", itf, 4) == 0);
    CHECK(call0("interface", itf, 5) == 1);
    CHECK(call0("interface", itf, 6) == 1);
    n = call0("chipCount", itf, I_CHIP_COUNT);
    CHECK(n == ii->chipCount);
    if (n != EXPECTED_COUNT) {
        printf("FAILED: %d chip entries, expected %d\n", n, EXPECTED_COUNT);
        return 1;
    }
    CHECK(callp1("chipAt", itf, I_CHIP_AT, (uint32_t)n) == NULL);
    for (i = 0; i < n; ++i) {
        ChipInfo* ci;
        chips[i] = callp1("chipAt", itf, I_CHIP_AT, (uint32_t)i);
        if (!chips[i]) {
            printf("FAILED: chipAt(%d) is null\n", i);
            return 1;
        }
        ci = (ChipInfo*)callp0("chipInfo", chips[i], C_INFO);
        printf("chip%d = %s type %d clock %u bus %u location %u\n", i, ci->name, ci->chipType, ci->clock, ci->busNumber,
               ci->location);
        CHECK(strcmp(ci->name, expected[i].name) == 0);
        CHECK(ci->chipType == expected[i].type && ci->clock == expected[i].clock);
        CHECK(ci->busNumber == expected[i].bus && ci->location == expected[i].location);
        CHECK(ci->zero0[0] == 0 && ci->zero0[1] == 0 && ci->zero1[0] == 0 && ci->zero1[1] == 0 && ci->zero1[2] == 0);
        CHECK(call0("chipType", chips[i], C_TYPE) == expected[i].type);
        CHECK((uint32_t)call0("chipClock", chips[i], C_CLOCK) == expected[i].clock);
        CHECK(call0("chip", chips[i], C_UNUSED7) == 1);
    }

    /* Acquire by type and clock; a group is taken and given back whole. */
    CHECK(callp2("acquireChip", mgr, M_ACQUIRE_CHIP, 2, 3579545) == chips[4]);
    CHECK(callp2("acquireChip", mgr, M_ACQUIRE_CHIP, 2, 0) == NULL);
    CHECK(callptr("releaseChipEntry", mgr, M_RELEASE_CHIP_ENTRY, chips[0]) == 1);
    CHECK(callp2("acquireChip", mgr, M_ACQUIRE_CHIP, 2, 0) == chips[0]);
    CHECK(callp2("acquireChip", mgr, M_ACQUIRE_CHIP, 2, 3579545) == NULL);
    CHECK(callptr("releaseChipEntry", mgr, M_RELEASE_CHIP_ENTRY, (void*)&n) == 0);
    CHECK(callp2("acquireChip", mgr, M_ACQUIRE_CHIP, 3, 7987200) == chips[5]);
    CHECK(callp2("acquireChip", mgr, M_ACQUIRE_CHIP, 3, 0) == NULL);
    CHECK(callp2("acquireChip", mgr, M_ACQUIRE_CHIP, 4, 4000000) == NULL);
    CHECK(call0("releaseAllChipEntries", mgr, M_RELEASE_ALL) == 1);
    CHECK(callp2("acquireChip", mgr, M_ACQUIRE_CHIP, 3, 0) == chips[2]);
    CHECK(callp2("acquireChip", mgr, M_ACQUIRE_CHIP, 2, 0) == chips[0]);
    CHECK(callp2("acquireChip", mgr, M_ACQUIRE_CHIP, 7, 0) == chips[1]);
    CHECK(callp2("acquireChip", mgr, M_ACQUIRE_CHIP, 4, 3993600) == chips[3]);

    /* Register traffic: the driver finds each in the simulator's record. */
    CHECK(call2("writeRegister", chips[0], C_WRITE, 0x20, 0xC7) == 1);
    CHECK(call1("readRegister", chips[0], C_READ, 0x20) == 0xC7);
    CHECK(call1("readRegister", chips[0], C_READ2, 0x20) == 0xC7);
    CHECK(call0("initChip", chips[4], C_INIT) == 1);
    CHECK(call2("writeRegister", chips[4], C_WRITE, 0x28, 0x3E) == 1);
    CHECK(call0("initChip", chips[0], C_INIT) == 1);
    CHECK(call2("writeRegister", chips[3], C_WRITE, 0x07, 0x38) == 1);
    CHECK(call2("writeRegister", chips[1], C_WRITE, 0x00, 0x9F) == 1);
    CHECK(call2("writeRegister", chips[1], C_WRITE, 0x55, 0xBF) == 1);

    /* The YM2610+H sample protocol: start 0x001000, bank 0, three bytes,
     * then an ordinary write uploads 0x001003 bytes. */
    CHECK(call2("writeRegister", chips[2], C_WRITE, 0x200, 0x00) == 1);
    CHECK(call2("writeRegister", chips[2], C_WRITE, 0x201, 0x10) == 1);
    CHECK(call2("writeRegister", chips[2], C_WRITE, 0x202, 0x00) == 1);
    CHECK(call2("writeRegister", chips[2], C_WRITE, 0x203, 0) == 1);
    CHECK(call2("writeRegister", chips[2], C_WRITE, 0x204, 0x11) == 1);
    CHECK(call2("writeRegister", chips[2], C_WRITE, 0x204, 0x22) == 1);
    CHECK(call2("writeRegister", chips[2], C_WRITE, 0x204, 0x33) == 1);
    CHECK(call2("writeRegister", chips[2], C_WRITE, 0x22, 0x08) == 1);
    if (!waitForUpload(log, sizeof log)) {
        printf("FAILED: no upload of 4099 bytes reached the D2XX library; its log:\n%s\n", log);
        ++failures;
    } else {
        printf("d2xx_upload = 4099\n");
    }

    CHECK(call0("resetChips", mgr, M_RESET_CHIPS) == 1);
    CHECK(call0("resetBoards", mgr, M_RESET_BOARDS) == 1);
    CHECK(call0("releaseAdapter", mgr, M_RELEASE_ADAPTER) == 1);
    scci_host_unload();
    printf(failures ? "scci_host: %d failures\n" : "scci_host: ok\n", failures);
    return failures ? 1 : 0;
}
