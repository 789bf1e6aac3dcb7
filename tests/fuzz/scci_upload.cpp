// Fuzz target: the YM2610+H pseudo-register protocol of the SCCI adapter.
// The input is a host's register writes, three bytes each (address low,
// address high, data), to one YM2610+H entry over a stand-in library chip
// that checks every sample upload it is handed.
#include <cstring>

#include "fuzz_check.h"
#include "sound_chips.h"

namespace {

using Entry = scci2vesk::AdapterChipYM2610H;

class StandInChip : public VeskChip {
public:
    const Entry* entry = nullptr;

    bool write(std::uint32_t, std::uint32_t) override { return true; }
    bool writeData(std::uint32_t, std::uint32_t) override { return true; }
    std::uint32_t read(std::uint32_t) override { return 0; }
    bool setClock(std::uint32_t, std::uint8_t) override { return true; }
    bool reset() override { return true; }
    bool resetSlot() override { return true; }
    const char* getName() override { return "YM2610+H"; }
    std::uint32_t getClock() override { return 8000000; }
    const char* getAddress(int) override { return "fe80::1"; }
    std::uint32_t getSlot() override { return 0; }
    // What the library's upload promises to accept: a bank's own image,
    // from its start, at most the memory's size.
    bool uploadSampleMemory(const SampleBlock* block) override {
        FUZZ_CHECK(block && block->bank < 2 && block->offset == 0);
        FUZZ_CHECK(block->size <= Entry::kImageSize);
        FUZZ_CHECK(block->data == entry->images[block->bank].get());
        // The block's last byte is the library's to read (ASan sees past it).
        if (block->size) sink ^= block->data[block->size - 1];
        return true;
    }
    volatile std::uint8_t sink = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One entry for the whole run (its two images are 32 MiB); each input
    // starts it afresh, as a newly taken chip.
    static StandInChip chip;
    static VeskChipInfo record = [] {
        VeskChipInfo r{};
        std::strcpy(r.name, "YM2610+H");
        r.clock = 8000000;
        return r;
    }();
    static Entry entry(&chip, &record, 0);
    chip.entry = &entry;
    entry.positions[0] = entry.positions[1] = 0;
    entry.currentBank = 1;
    entry.uploadMode = false;
    entry.address = 0;

    vesk::fuzz::Input in(data, size);
    while (!in.empty()) {
        const std::uint32_t address = in.u16();
        const std::uint32_t value = in.byte();
        entry.writeRegister(address, value);
        FUZZ_CHECK(entry.currentBank < 2 && entry.address < 0x1000000);
        FUZZ_CHECK(entry.positions[0] <= Entry::kImageSize && entry.positions[1] <= Entry::kImageSize);
    }
    return 0;
}
