// The interface and chip entries the adapter hands to hosts.
#ifndef SCCI2VESK_SOUND_CHIPS_H
#define SCCI2VESK_SOUND_CHIPS_H

#include <cstdint>
#include <memory>
#include <vector>

#include "scci.h"
#include "vesk/vesk.h"

// One SCCI chip entry over a library chip. Several entries (a primary and
// its clock variants) may share one library chip; they form a group that is
// taken and given back as a whole. Entries are made and destroyed only by
// the manager, which also keeps `group` and `inUse`.
class SoundChip_vesk : public SoundChip {
public:
    SoundChip_vesk(VeskChip* chip, VeskChipInfo* record, std::uint32_t busNumber);
    // A clock variant of `primary`: same library chip and record, its own
    // clock and bus number, free, no group yet.
    virtual SoundChip_vesk* makeVariant(std::uint32_t clock, std::uint32_t busNumber) const;

    SoundChipInfo* VESK_SCCI_CALL chipInfo() override;
    std::int32_t VESK_SCCI_CALL chipType() override;
    std::int32_t VESK_SCCI_CALL writeRegister(std::uint32_t address, std::uint32_t data) override;
    std::int32_t VESK_SCCI_CALL readRegister(std::uint32_t address) override;
    std::int32_t VESK_SCCI_CALL initChip() override;
    std::uint32_t VESK_SCCI_CALL chipClock() override;
    std::int32_t VESK_SCCI_CALL readRegister2(std::uint32_t address) override;
    std::int32_t VESK_SCCI_CALL unused7() override;
    ~SoundChip_vesk() override = default;

    VeskChip* libraryChip;
    SoundChipInfo info;
    std::vector<SoundChip_vesk*> group;
    bool inUse = false;
    VeskChipInfo* record;

protected:
    SoundChip_vesk(const SoundChip_vesk& primary, std::uint32_t clock, std::uint32_t busNumber);
};

// SN76489: register writes go to the chip's data port; the address is unused.
class SoundChip_vesk_sn76489 : public SoundChip_vesk {
public:
    using SoundChip_vesk::SoundChip_vesk;
    SoundChip_vesk* makeVariant(std::uint32_t clock, std::uint32_t busNumber) const override;
    std::int32_t VESK_SCCI_CALL writeRegister(std::uint32_t address, std::uint32_t data) override;

private:
    SoundChip_vesk_sn76489(const SoundChip_vesk& primary, std::uint32_t clock, std::uint32_t busNumber)
        : SoundChip_vesk(primary, clock, busNumber) {}
};

// YM2610+H: pseudo-registers 0x200-0x204 fill two 16 MiB sample images,
// handed to the library's sample upload when the host leaves a bank. While
// a bank is being filled, any other address with bit 9 or 10 set is refused
// (result 0, nothing sent) and the upload goes on.
class SoundChip_vesk_ym2610_h : public SoundChip_vesk {
public:
    static constexpr std::uint32_t kImageSize = 16u * 1024 * 1024;

    SoundChip_vesk_ym2610_h(VeskChip* chip, VeskChipInfo* record, std::uint32_t busNumber);
    SoundChip_vesk* makeVariant(std::uint32_t clock, std::uint32_t busNumber) const override;
    std::int32_t VESK_SCCI_CALL writeRegister(std::uint32_t address, std::uint32_t data) override;

    std::unique_ptr<std::uint8_t[]> images[2];
    std::uint32_t positions[2] = {0, 0};
    std::uint32_t currentBank = 1;
    bool uploadMode = false;
    SampleBlock request{};
    std::uint32_t address = 0;

private:
    SoundChip_vesk_ym2610_h(const SoundChip_vesk& primary, std::uint32_t clock, std::uint32_t busNumber);
    void allocateImages();
    // Sets one byte of the start address; true when `reg` is 0x200-0x202.
    bool setAddressByte(std::uint32_t reg, std::uint32_t data);
    void upload(std::uint32_t bank);
    // writeRegister's work; may throw (an upload's thread).
    std::int32_t writePseudoOrChip(std::uint32_t a, std::uint32_t d);
};

// The one interface: a borrowed list of the manager's chip entries.
class SoundInterface_vesk : public SoundInterface {
public:
    explicit SoundInterface_vesk(std::vector<SoundChip_vesk*> chips) : chips_(std::move(chips)) {}

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
    std::vector<SoundChip_vesk*> chips_;
};

#endif  // SCCI2VESK_SOUND_CHIPS_H
