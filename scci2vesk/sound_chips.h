// The interface and chip entries the adapter hands to hosts.
#ifndef SCCI2VESK_SOUND_CHIPS_H
#define SCCI2VESK_SOUND_CHIPS_H

#include <cstdint>
#include <memory>
#include <vector>

#include "scci.h"
#include "vesk/vesk.h"

namespace scci2vesk {

// One SCCI chip entry over a library chip. Several entries (a primary and
// its clock variants) may share one library chip; they form a group that is
// taken and given back as a whole. Entries are made and destroyed only by
// the manager, which also keeps `group` and `inUse`.
class AdapterChip : public SoundChip {
public:
    AdapterChip(VeskChip* chip, VeskChipInfo* record, std::uint32_t busNumber);
    // A clock variant of `primary`: same library chip and record, its own
    // clock and bus number, free, no group yet.
    virtual AdapterChip* makeVariant(std::uint32_t clock, std::uint32_t busNumber) const;

    SoundChipInfo* VESK_SCCI_CALL chipInfo() override;
    std::int32_t VESK_SCCI_CALL chipType() override;
    std::int32_t VESK_SCCI_CALL writeRegister(std::uint32_t address, std::uint32_t data) override;
    std::int32_t VESK_SCCI_CALL readRegister(std::uint32_t address) override;
    std::int32_t VESK_SCCI_CALL initChip() override;
    std::uint32_t VESK_SCCI_CALL chipClock() override;
    std::int32_t VESK_SCCI_CALL readRegister2(std::uint32_t address) override;
    std::int32_t VESK_SCCI_CALL unused7() override;
    ~AdapterChip() override = default;

    VeskChip* libraryChip;
    SoundChipInfo info;
    std::vector<AdapterChip*> group;
    bool inUse = false;
    VeskChipInfo* record;

protected:
    AdapterChip(const AdapterChip& primary, std::uint32_t clock, std::uint32_t busNumber);
};

// SN76489: register writes go to the chip's data port; the address is unused.
class AdapterChipSN76489 : public AdapterChip {
public:
    using AdapterChip::AdapterChip;
    AdapterChip* makeVariant(std::uint32_t clock, std::uint32_t busNumber) const override;
    std::int32_t VESK_SCCI_CALL writeRegister(std::uint32_t address, std::uint32_t data) override;

private:
    AdapterChipSN76489(const AdapterChip& primary, std::uint32_t clock, std::uint32_t busNumber)
        : AdapterChip(primary, clock, busNumber) {}
};

// YM2610+H: pseudo-registers 0x200-0x204 fill two 16 MiB sample images,
// handed to the library's sample upload when the host leaves a bank. While
// a bank is being filled, any other address with bit 9 or 10 set is refused
// (result 0, nothing sent) and the upload goes on.
class AdapterChipYM2610H : public AdapterChip {
public:
    static constexpr std::uint32_t kImageSize = 16u * 1024 * 1024;

    AdapterChipYM2610H(VeskChip* chip, VeskChipInfo* record, std::uint32_t busNumber);
    AdapterChip* makeVariant(std::uint32_t clock, std::uint32_t busNumber) const override;
    std::int32_t VESK_SCCI_CALL writeRegister(std::uint32_t address, std::uint32_t data) override;

    std::unique_ptr<std::uint8_t[]> images[2];
    std::uint32_t positions[2] = {0, 0};
    std::uint32_t currentBank = 1;
    bool uploadMode = false;
    SampleBlock request{};
    std::uint32_t address = 0;

private:
    AdapterChipYM2610H(const AdapterChip& primary, std::uint32_t clock, std::uint32_t busNumber);
    void allocateImages();
    // Sets one byte of the start address; true when `reg` is 0x200-0x202.
    bool setAddressByte(std::uint32_t reg, std::uint32_t data);
    void upload(std::uint32_t bank);
    // writeRegister's work; may throw (an upload's thread).
    std::int32_t writePseudoOrChip(std::uint32_t a, std::uint32_t d);
};

// The one interface: a borrowed list of the manager's chip entries.
class AdapterInterface : public SoundInterface {
public:
    explicit AdapterInterface(std::vector<AdapterChip*> chips) : chips_(std::move(chips)) {}

    std::int32_t VESK_SCCI_CALL unused0() override { return 1; }
    std::int32_t VESK_SCCI_CALL unused1(std::uint32_t, std::uint32_t) override { return 1; }
    std::int32_t VESK_SCCI_CALL unused2(std::uint32_t, std::uint32_t) override { return 0; }
    std::int32_t VESK_SCCI_CALL unused3(std::uint32_t) override { return 1; }
    std::int32_t VESK_SCCI_CALL unused4() override { return 0; }
    std::int32_t VESK_SCCI_CALL unused5() override { return 1; }
    std::int32_t VESK_SCCI_CALL unused6() override { return 1; }
    std::int32_t VESK_SCCI_CALL chipCount() override { return static_cast<std::int32_t>(chips_.size()); }
    SoundChip* VESK_SCCI_CALL chipAt(std::uint32_t index) override {
        return index < chips_.size() ? chips_[index] : nullptr;
    }

private:
    std::vector<AdapterChip*> chips_;
};

}  // namespace scci2vesk

#endif  // SCCI2VESK_SOUND_CHIPS_H
