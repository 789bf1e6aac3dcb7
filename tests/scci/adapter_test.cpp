// The SCCI manager, interface and chip entries over a recording stand-in for
// the vesk library manager: chip list, clock variants, groups, slot results
// and the YM2610+H sample protocol.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <system_error>
#include <string>
#include <vector>

#include "adapter_manager.h"
#include "support/alloc_hooks.h"

namespace {
using scci2vesk::AdapterChip;
using scci2vesk::AdapterChipYM2610H;
using scci2vesk::AdapterManager;
using vesk::test::allocationFailed;
using vesk::test::failAllocationNumber;
using vesk::test::failAllocationsFrom;
using vesk::test::heapBytesInUse;

struct Call {
    std::string what;
    std::uint32_t a = 0, b = 0;
    bool operator==(const Call& o) const { return what == o.what && a == o.a && b == o.b; }
};
std::ostream& operator<<(std::ostream& os, const Call& c) { return os << c.what << "(" << c.a << "," << c.b << ")"; }

class FakeChip : public VeskChip {
public:
    explicit FakeChip(std::vector<Call>& log) : log_(log) {}
    bool write(uint32_t reg, uint32_t data) override { return note("write", reg, data), writeOk; }
    bool writeData(uint32_t port, uint32_t data) override { return note("writeData", port, data), writeOk; }
    uint32_t read(uint32_t reg) override { return note("read", reg, 0), readValue; }
    bool setClock(uint32_t clock, uint8_t flag) override { return note("setClock", clock, flag), clockOk; }
    bool reset() override { return note("reset", 0, 0), resetOk; }
    bool resetSlot() override { return true; }
    const char* getName() override { return ""; }
    uint32_t getClock() override { return 0; }
    const char* getAddress(int) override { return ""; }
    uint32_t getSlot() override { return 0; }
    bool uploadSampleMemory(const SampleBlock* block) override {
        note("upload", block->bank, block->size);
        uploadOffset = block->offset;
        uploaded.assign(block->data, block->data + block->size);
        return true;
    }

    bool writeOk = true, clockOk = true, resetOk = true;
    uint32_t readValue = 0;
    uint32_t uploadOffset = 99;
    std::vector<std::uint8_t> uploaded;

private:
    void note(const char* what, std::uint32_t a, std::uint32_t b) {
        if (throwing) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        log_.push_back({what, a, b});
    }
    std::vector<Call>& log_;

public:
    bool throwing = false;  // every call throws, as a thread that cannot start does
};

struct ChipSpec {
    const char* name;
    std::uint32_t clock;
    bool variable;
    bool handedOut = true;
};

class FakeManager : public VeskManager {
public:
    FakeManager(std::vector<ChipSpec> specs, std::vector<Call>& log, bool& released)
        : specs_(std::move(specs)), released_(released) {
        for (std::size_t i = 0; i < specs_.size(); ++i) chips.emplace_back(new FakeChip(log));
    }
    ~FakeManager() override {
        for (FakeChip* c : chips) delete c;
    }
    void init() override {
        if (throwing) throw std::bad_alloc();
        started = true;
    }
    void release() override {
        released_ = true;
        if (throwing) {
            delete this;
            throw std::bad_alloc();
        }
        delete this;
    }
    uint32_t getChipCount() override { return started ? static_cast<uint32_t>(specs_.size()) : 0; }
    uint32_t getBoardCount() override { return 1; }
    void getChipInfo(VeskChipInfo* dst, uint32_t capacity) override {
        for (uint32_t i = 0; i < capacity && i < specs_.size(); ++i) {
            dst[i] = VeskChipInfo{};
            std::strncpy(dst[i].name, specs_[i].name, sizeof dst[i].name);
            dst[i].clock = specs_[i].clock;
            dst[i].variableClock = specs_[i].variable;
            dst[i].slot = i;
        }
    }
    void getBoardInfo(VeskBoardInfo*, uint32_t) override {}
    VeskChip* getChipByIndex(uint32_t index, uint32_t) override {
        return index < specs_.size() && specs_[index].handedOut ? chips[index] : nullptr;
    }
    VeskChip* getChipBySlot(const char*, uint32_t, uint32_t) override { return nullptr; }
    VeskChip* getChip(const char*, uint32_t) override { return nullptr; }
    bool releaseChip(VeskChip*) override { return false; }
    void releaseAllChips() override {}
    bool resetBoards() override {
        if (throwing) throw std::bad_alloc();
        return resetBoardsOk;
    }
    bool resetChips() override {
        if (throwing) throw std::bad_alloc();
        return false;
    }
    uint32_t i2cRead(const char*, uint8_t, uint8_t*, uint8_t, uint8_t, const uint8_t*, uint8_t, uint32_t) override {
        return 0;
    }
    bool i2cWrite(const char*, uint8_t, const uint8_t*, uint8_t) override { return false; }
    bool i2cProbe(const char*, uint8_t) override { return false; }
    bool setOutputVolume(const char*, uint32_t, uint32_t, uint32_t) override { return false; }
    bool getOutputVolume(const char*, uint32_t*, uint32_t, uint32_t) override { return false; }

    std::vector<FakeChip*> chips;
    bool started = false;
    bool resetBoardsOk = true;
    bool throwing = false;

private:
    std::vector<ChipSpec> specs_;
    bool& released_;
};

class Adapter : public ::testing::Test {
protected:
    // Heap bytes the adapter added during initialisation (the stand-in
    // library allocates nothing there; the INI configuration is dropped).
    long long initBytes = 0;

    void start(std::vector<ChipSpec> specs, const std::string& ini = std::string()) {
        iniPath_ = vesk::plat::directoryOf(vesk::plat::modulePath(reinterpret_cast<const void*>(&here))) +
                   "scci_adapter_test.ini";
        std::remove(iniPath_.c_str());
        if (!ini.empty()) {
            FILE* f = std::fopen(iniPath_.c_str(), "wb");
            std::fwrite(ini.data(), 1, ini.size(), f);
            std::fclose(f);
        }
        lib = new FakeManager(std::move(specs), log, libraryReleased);
        mgr = new AdapterManager(nullptr, lib, iniPath_);
        EXPECT_EQ(mgr->interfaceCount(), 1);
        const long long before = heapBytesInUse();
        EXPECT_EQ(mgr->initializeAdapter(), 1);
        initBytes = heapBytesInUse() - before;
    }
    void TearDown() override {
        if (mgr) {
            EXPECT_EQ(mgr->releaseAdapter(), 1);
        }
        EXPECT_TRUE(libraryReleased);
        std::remove(iniPath_.c_str());
    }
    AdapterChip* entry(std::uint32_t i) { return static_cast<AdapterChip*>(mgr->interfaceAt(0)->chipAt(i)); }

    static void here() {}
    std::string iniPath_;
    std::vector<Call> log;
    bool libraryReleased = false;
    FakeManager* lib = nullptr;
    AdapterManager* mgr = nullptr;
};

TEST_F(Adapter, ChipListWithVariantsAndGroups) {
    start({{"YM2151", 4000000, true},
           {"YM2203", 3993600, false},
           {"YM3438", 7670453, true},
           {"SN76489", 3579545, true, false},  // the library hands out no chip
           {"XYZ", 1000, true}},
          "[YM2151]\nCLOCK=3579545\nCLOCK=4000000\nCLOCK=3579545\n"
          "[YM2203]\nCLOCK=4000000\n[YM2612]\nCLOCK=8000000\n[ym2151]\nCLOCK=1\n");
    SoundInterfaceInfo* info = mgr->interfaceInfoAt(0);
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->name, "Virtual Vesk Interface");
    EXPECT_EQ(mgr->interfaceInfoAt(1), nullptr);
    EXPECT_EQ(mgr->interfaceAt(1), nullptr);

    struct Want {
        const char* name;
        std::int32_t type;
        std::uint32_t clock, bus, location;
    };
    // Primaries in record order (record 3 has no chip), then the variants:
    // the YM2151's own clock is left out, the duplicate kept; the YM2203 is
    // not variable-clock; the YM3438 reads section YM2612; XYZ has none.
    const Want want[] = {
        {"YM2151", 2, 4000000, 0, 3}, {"YM2203", 4, 3993600, 1, 0}, {"YM3438", 5, 7670453, 2, 3},
        {"XYZ", 1001, 1000, 4, 0},    {"YM2151", 2, 3579545, 5, 3}, {"YM2151", 2, 3579545, 6, 3},
        {"YM3438", 5, 8000000, 7, 3},
    };
    SoundInterface* itf = mgr->interfaceAt(0);
    ASSERT_EQ(itf->chipCount(), 7);
    EXPECT_EQ(info->chipCount, 7);
    EXPECT_EQ(itf->chipAt(7), nullptr);
    for (std::uint32_t i = 0; i < 7; ++i) {
        SoundChipInfo* ci = itf->chipAt(i)->chipInfo();
        EXPECT_STREQ(ci->name, want[i].name) << i;
        EXPECT_EQ(ci->chipType, want[i].type) << i;
        EXPECT_EQ(itf->chipAt(i)->chipType(), want[i].type) << i;
        EXPECT_EQ(ci->clock, want[i].clock) << i;
        EXPECT_EQ(itf->chipAt(i)->chipClock(), want[i].clock) << i;
        EXPECT_EQ(ci->busNumber, want[i].bus) << i;
        EXPECT_EQ(ci->location, want[i].location) << i;
        EXPECT_EQ(ci->reserved0[0] | ci->reserved0[1] | ci->reserved1[0] | ci->reserved1[1] | ci->reserved2, 0u);
    }
    EXPECT_EQ(entry(0)->group.size(), 3u);
    EXPECT_EQ(entry(5)->group, entry(0)->group);
    EXPECT_EQ(entry(1)->group.size(), 1u);

    // Acquire by type and clock; taking any member takes the whole group.
    EXPECT_EQ(mgr->acquireChip(2, 3579545), entry(4));
    EXPECT_TRUE(entry(0)->inUse && entry(5)->inUse && !entry(6)->inUse);
    EXPECT_EQ(mgr->acquireChip(2, 0), nullptr);
    EXPECT_EQ(mgr->releaseChipEntry(entry(5)), 1);
    EXPECT_FALSE(entry(0)->inUse || entry(4)->inUse);
    EXPECT_EQ(mgr->acquireChip(2, 0), entry(0));
    EXPECT_EQ(mgr->acquireChip(5, 8000000), entry(6));
    EXPECT_EQ(mgr->acquireChip(1001, 0), entry(3));
    EXPECT_EQ(mgr->acquireChip(4, 4000000), nullptr);
    int other;
    EXPECT_EQ(mgr->releaseChipEntry(reinterpret_cast<SoundChip*>(&other)), 0);
    EXPECT_EQ(mgr->releaseAllChipEntries(), 1);
    for (std::uint32_t i = 0; i < 7; ++i) EXPECT_FALSE(entry(i)->inUse);
}

TEST_F(Adapter, TwoChipsOfOneTypeAreTakenInListOrder) {
    start({{"YM2151", 4000000, false}, {"YM2151", 4000000, false}});
    EXPECT_EQ(mgr->acquireChip(2, 0), entry(0));
    EXPECT_EQ(mgr->acquireChip(2, 0), entry(1));
    EXPECT_EQ(mgr->acquireChip(2, 0), nullptr);
    EXPECT_EQ(mgr->releaseChipEntry(entry(1)), 1);
    EXPECT_EQ(mgr->acquireChip(2, 4000000), entry(1));
}

TEST_F(Adapter, NoEffectSlotsAndBoardResets) {
    start({});
    EXPECT_EQ(mgr->interfaceAt(0)->chipCount(), 0);
    EXPECT_EQ(mgr->unused3(5), 1);
    EXPECT_EQ(mgr->unused4(), 1);
    EXPECT_EQ(mgr->unused8(5), 1);
    EXPECT_EQ(mgr->unused9(), 0);
    EXPECT_EQ(mgr->unused24(5), 1);
    EXPECT_EQ(mgr->unused25(), 0);
    EXPECT_EQ(mgr->resetBoards(), 1);
    lib->resetBoardsOk = false;
    EXPECT_EQ(mgr->resetBoards(), 0);
    EXPECT_EQ(mgr->resetChips(), 0);
    EXPECT_EQ(mgr->initializeAdapter(), 1);  // a second call changes nothing
    EXPECT_EQ(mgr->interfaceInfoAt(0)->chipCount, 0);
}

TEST_F(Adapter, ChipSlotsReachTheLibraryChip) {
    start({{"YM2151", 4000000, true}, {"SN76489", 3579545, false}}, "[YM2151]\nCLOCK=3579545\n");
    FakeChip* opm = lib->chips[0];
    log.clear();
    EXPECT_EQ(entry(0)->writeRegister(0x28, 0x4A), 1);
    opm->writeOk = false;
    EXPECT_EQ(entry(0)->writeRegister(0x08, 0x00), 0);
    opm->readValue = 0xFFFFFFFF;
    EXPECT_EQ(entry(0)->readRegister(0x1B), -1);
    opm->readValue = 0x5A;
    EXPECT_EQ(entry(0)->readRegister2(0x1B), 0x5A);
    EXPECT_EQ(entry(0)->unused7(), 1);
    // initChip on the variant sets its clock, on the primary sets it back;
    // both calls run even when the first fails.
    EXPECT_EQ(entry(2)->initChip(), 1);
    EXPECT_EQ(entry(0)->initChip(), 1);
    opm->clockOk = false;
    EXPECT_EQ(entry(0)->initChip(), 0);
    opm->clockOk = true;
    opm->resetOk = false;
    EXPECT_EQ(entry(2)->initChip(), 0);
    // The SN76489 ignores the address.
    EXPECT_EQ(entry(1)->writeRegister(0, 0x9F), 1);
    EXPECT_EQ(entry(1)->writeRegister(0x1234, 0x9F), 1);
    const std::vector<Call> want = {
        {"write", 0x28, 0x4A},    {"write", 0x08, 0},     {"read", 0x1B, 0},        {"read", 0x1B, 0},
        {"setClock", 3579545, 0}, {"reset", 0, 0},        {"setClock", 4000000, 0}, {"reset", 0, 0},
        {"setClock", 4000000, 0}, {"reset", 0, 0},        {"setClock", 3579545, 0}, {"reset", 0, 0},
        {"writeData", 0, 0x9F},   {"writeData", 0, 0x9F},
    };
    EXPECT_EQ(log, want);
}

TEST_F(Adapter, Ym2610SampleProtocol) {
    start({{"YM2610B+H", 8000000, true}}, "[YM2610+H]\nCLOCK=7987200\n");
    ASSERT_EQ(mgr->interfaceAt(0)->chipCount(), 2);
    auto* chip = static_cast<AdapterChipYM2610H*>(entry(0));
    FakeChip* lc = lib->chips[0];
    EXPECT_EQ(chip->chipType(), 3);
    log.clear();

    // Data bytes and other pseudo-registers with upload mode off do nothing.
    EXPECT_EQ(chip->writeRegister(0x204, 0x11), 1);
    EXPECT_EQ(chip->writeRegister(0x400, 0x11), 1);
    EXPECT_EQ(chip->writeRegister(0x203, 2), 1);
    EXPECT_FALSE(chip->uploadMode);
    EXPECT_TRUE(log.empty());

    // A host's usual run: start 0x001000, bank 0, three bytes, then an
    // ordinary write uploads 0x001003 bytes from offset 0 and is performed.
    for (auto [a, d] : {std::pair<unsigned, unsigned>{0x200, 0x00}, {0x201, 0x10}, {0x202, 0x00}, {0x203, 0}})
        EXPECT_EQ(chip->writeRegister(a, d), 1);
    EXPECT_TRUE(chip->uploadMode);
    EXPECT_EQ(chip->positions[0], 0x1000u);
    for (unsigned d : {0xA1u, 0x1B2u, 0xC3u}) EXPECT_EQ(chip->writeRegister(0x204, d), 1);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(chip->writeRegister(0x10, 0x55), 1);
    EXPECT_FALSE(chip->uploadMode);
    const std::vector<Call> want = {{"upload", 0, 0x1003}, {"write", 0x10, 0x55}};
    EXPECT_EQ(log, want);
    ASSERT_EQ(lc->uploaded.size(), 0x1003u);
    EXPECT_EQ(lc->uploadOffset, 0u);
    EXPECT_EQ(lc->uploaded[0x1000], 0xA1);
    EXPECT_EQ(lc->uploaded[0x1001], 0xB2);
    EXPECT_EQ(lc->uploaded[0x1002], 0xC3);

    // The same bank again only moves the position; another bank uploads the
    // current one first; a bank of 2 or more uploads and keeps upload mode.
    log.clear();
    chip->writeRegister(0x203, 1);
    chip->writeRegister(0x204, 1);
    chip->writeRegister(0x204, 2);
    chip->writeRegister(0x200, 0x01);
    chip->writeRegister(0x201, 0x00);
    chip->writeRegister(0x203, 1);
    EXPECT_EQ(chip->positions[1], 0x1u);
    EXPECT_TRUE(log.empty());
    chip->writeRegister(0x204, 7);
    chip->writeRegister(0x203, 0);
    EXPECT_EQ(chip->currentBank, 0u);
    EXPECT_EQ(chip->positions[0], 0x1u);
    chip->writeRegister(0x204, 9);
    chip->writeRegister(0x203, 5);
    EXPECT_TRUE(chip->uploadMode);
    EXPECT_EQ(chip->currentBank, 0u);
    lc->writeOk = false;
    EXPECT_EQ(chip->writeRegister(0x1FF, 0), 0);
    const std::vector<Call> want2 = {{"upload", 1, 2}, {"upload", 0, 2}, {"upload", 0, 2}, {"write", 0x1FF, 0}};
    EXPECT_EQ(log, want2);
    EXPECT_EQ(lc->uploaded[1], 9);

    // A byte at the end of the image is dropped, not stored beyond it.
    chip->writeRegister(0x200, 0xFF);
    chip->writeRegister(0x201, 0xFF);
    chip->writeRegister(0x202, 0xFF);
    chip->writeRegister(0x203, 1);
    EXPECT_EQ(chip->positions[1], 0xFFFFFFu);
    chip->writeRegister(0x204, 1);
    chip->writeRegister(0x204, 2);
    EXPECT_EQ(chip->positions[1], 0x1000000u);
    EXPECT_EQ(chip->images[1][0xFFFFFF], 1);
    // The variant has images of its own.
    auto* variant = static_cast<AdapterChipYM2610H*>(entry(1));
    EXPECT_NE(variant->images[0].get(), chip->images[0].get());
    EXPECT_EQ(variant->currentBank, 1u);
    EXPECT_FALSE(variant->uploadMode);
}

TEST_F(Adapter, MemoryOfFourChipsWithTwoVariantsEach) {
    start({{"YM2151", 4000000, true}, {"YM2203", 3993600, true}, {"YM2608", 7987200, true}, {"YM2612", 7670453, true}},
          "[YM2151]\nCLOCK=3579545\nCLOCK=3000000\n[YM2203]\nCLOCK=4000000\nCLOCK=3000000\n"
          "[YM2608]\nCLOCK=8000000\nCLOCK=7670453\n[YM2612]\nCLOCK=8000000\nCLOCK=7987200\n");
    ASSERT_EQ(mgr->interfaceAt(0)->chipCount(), 12);
    std::printf("adapter heap for 4 chips + 8 variants: %lld bytes (entry object %zu bytes, record %zu)\n", initBytes,
                sizeof(AdapterChip), sizeof(VeskChipInfo));
    // Records, twelve entries with their group lists, and the two lists.
    const long long floor = 4 * sizeof(VeskChipInfo) + 12 * (sizeof(AdapterChip) + 3 * sizeof(void*));
    EXPECT_GE(initBytes, floor);
    EXPECT_LT(initBytes, floor + 1024);
}

TEST_F(Adapter, EveryYm2610EntryHoldsTwoImages) {
    start({{"YM2610+H", 8000000, true}}, "[YM2610+H]\nCLOCK=7987200\n");
    std::printf("adapter heap for a YM2610+H and one variant: %lld bytes\n", initBytes);
    EXPECT_GE(initBytes, 4LL * AdapterChipYM2610H::kImageSize);
    EXPECT_LT(initBytes, 4LL * AdapterChipYM2610H::kImageSize + 4096);
}

TEST_F(Adapter, OutOfMemoryLeavesAnEmptyInterface) {
    failAllocationsFrom(AdapterChipYM2610H::kImageSize);
    start({{"YM2151", 4000000, false}, {"YM2610+H", 8000000, true}});
    failAllocationsFrom(0);
    EXPECT_EQ(mgr->interfaceAt(0)->chipCount(), 0);
    EXPECT_EQ(mgr->interfaceInfoAt(0)->chipCount, 0);
    EXPECT_EQ(mgr->acquireChip(2, 0), nullptr);
}

TEST_F(Adapter, Ym2610UploadRefusesAddressesBeyondTheChipsRegisters) {
    start({{"YM2610+H", 8000000, true}});
    auto* chip = static_cast<AdapterChipYM2610H*>(entry(0));
    for (auto [a, d] : {std::pair<unsigned, unsigned>{0x200, 0x10}, {0x201, 0}, {0x202, 0}, {0x203, 1}})
        chip->writeRegister(a, d);
    ASSERT_TRUE(chip->uploadMode);
    log.clear();
    // Bits 9 and 10 select the pseudo-registers; any other address with
    // them set is no register of the chip (the library would write the
    // bank-0 register of its low bits).
    for (std::uint32_t a : {0x205u, 0x2FFu, 0x300u, 0x400u, 0x510u, 0x600u, 0x7FFu}) {
        EXPECT_EQ(chip->writeRegister(a, 0x55), 0) << std::hex << a;
        EXPECT_TRUE(chip->uploadMode) << std::hex << a;
    }
    EXPECT_TRUE(log.empty()) << log.size() << " calls reached the library, first " << log[0];
    EXPECT_EQ(chip->positions[1], 0x10u);
    // An ordinary register still ends the upload.
    EXPECT_EQ(chip->writeRegister(0x1FF, 0), 1);
    const std::vector<Call> want = {{"upload", 1, 0x10}, {"write", 0x1FF, 0}};
    EXPECT_EQ(log, want);
}

// What each boundary returns when the library throws (an allocation, a
// thread that cannot start): the call's failure, never the exception.
TEST_F(Adapter, LibraryExceptionsBecomeFailureResults) {
    start({{"YM2151", 4000000, true}, {"SN76489", 3579545, false}, {"YM2610+H", 8000000, true}});
    auto* opm = entry(0);
    auto* psg = entry(1);
    auto* opnb = static_cast<AdapterChipYM2610H*>(entry(2));
    for (FakeChip* c : lib->chips) c->throwing = true;
    lib->throwing = true;
    const struct {
        const char* call;
        std::function<std::int32_t()> run;
        std::int32_t failure;
    } cases[] = {
        {"writeRegister", [&] { return opm->writeRegister(0x08, 0); }, 0},
        {"readRegister", [&] { return opm->readRegister(0x08); }, 0},
        {"readRegister2", [&] { return opm->readRegister2(0x08); }, 0},
        {"initChip", [&] { return opm->initChip(); }, 0},
        {"SN76489 writeRegister", [&] { return psg->writeRegister(0, 0x9F); }, 0},
        {"YM2610+H upload",
         [&] {
             for (auto [a, d] : {std::pair<unsigned, unsigned>{0x203, 0}, {0x204, 1}}) opnb->writeRegister(a, d);
             return opnb->writeRegister(0x203, 1);  // leaves bank 0: its upload throws
         },
         0},
        {"resetBoards", [&] { return mgr->resetBoards(); }, 0},
        {"resetChips", [&] { return mgr->resetChips(); }, 0},
    };
    for (const auto& c : cases) {
        std::int32_t got = -1;
        EXPECT_NO_THROW(got = c.run()) << c.call;
        EXPECT_EQ(got, c.failure) << c.call;
    }
    // release: the adapter is gone and the library released all the same.
    EXPECT_NO_THROW(EXPECT_EQ(mgr->releaseAdapter(), 1));
    mgr = nullptr;
}

TEST(AdapterStart, ALibraryThatThrowsInInitLeavesAnEmptyInterface) {
    std::vector<Call> log;
    bool released = false;
    auto* lib = new FakeManager({{"YM2151", 4000000, true}}, log, released);
    lib->throwing = true;
    auto* mgr = new AdapterManager(nullptr, lib, "");
    std::int32_t got = -1;
    EXPECT_NO_THROW(got = mgr->initializeAdapter());
    EXPECT_EQ(got, 1);
    ASSERT_NE(mgr->interfaceAt(0), nullptr);
    EXPECT_EQ(mgr->interfaceAt(0)->chipCount(), 0);
    lib->throwing = false;
    EXPECT_EQ(mgr->releaseAdapter(), 1);
    EXPECT_TRUE(released);
}

// Every allocation of the adapter's start fails in turn: the interface is
// left empty or whole, and after release the heap holds what it held.
TEST(AdapterStart, AnAllocationFailingAnywhereLeaksNothing) {
    const std::string ini =
        vesk::plat::directoryOf(vesk::plat::modulePath(reinterpret_cast<const void*>(&heapBytesInUse))) +
        "scci_adapter_leak_test.ini";
    {
        FILE* f = std::fopen(ini.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("[YM2151]\nCLOCK=3579545\nCLOCK=3000000\n[SN76489]\nCLOCK=4000000\n", f);
        std::fclose(f);
    }
    int failures = 0;
    for (long n = 1; n < 10000; ++n) {
        std::vector<Call> log;
        log.reserve(8);
        bool released = false;
        const long long before = heapBytesInUse();
        auto* lib = new FakeManager({{"YM2151", 4000000, true}, {"SN76489", 3579545, true}, {"YM2203", 3993600, false}},
                                    log, released);
        auto* mgr = new AdapterManager(nullptr, lib, ini);
        failAllocationNumber(n);
        std::int32_t got = -1;
        EXPECT_NO_THROW(got = mgr->initializeAdapter()) << n;
        const bool failed = allocationFailed();
        failAllocationNumber(0);
        EXPECT_EQ(got, 1) << n;
        const std::int32_t chips = mgr->interfaceAt(0) ? mgr->interfaceAt(0)->chipCount() : -1;
        // A failure in the INI reading costs only variants.
        EXPECT_TRUE(failed ? chips >= 0 && chips <= 6 : chips == 6) << "allocation " << n << ": " << chips;
        EXPECT_EQ(mgr->releaseAdapter(), 1);
        EXPECT_EQ(heapBytesInUse(), before) << "allocation " << n << " failed";
        if (!failed) break;
        ++failures;
    }
    std::remove(ini.c_str());
    EXPECT_GT(failures, 10);
}

}  // namespace
