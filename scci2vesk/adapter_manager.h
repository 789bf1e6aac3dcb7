// The SCCI manager over one vesk library manager.
#ifndef SCCI2VESK_ADAPTER_MANAGER_H
#define SCCI2VESK_ADAPTER_MANAGER_H

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "scci.h"
#include "sound_chips.h"
#include "vesk/vesk.h"

namespace scci2vesk {

class AdapterManager : public SoundInterfaceManager {
public:
    // Takes ownership of the loaded library (may be null in tests) and its
    // manager; iniPath is where the INI file of alternative clocks is read
    // from at initialisation. Nothing is started here.
    AdapterManager(vesk::plat::Module library, VeskManager* manager, std::string iniPath);

    std::int32_t VESK_SCCI_CALL interfaceCount() override { return interfaceCount_; }
    SoundInterfaceInfo* VESK_SCCI_CALL interfaceInfoAt(std::int32_t index) override;
    SoundInterface* VESK_SCCI_CALL interfaceAt(std::int32_t index) override;
    std::int32_t VESK_SCCI_CALL unused3(std::uint32_t) override { return 1; }
    std::int32_t VESK_SCCI_CALL unused4() override { return 1; }
    SoundChip* VESK_SCCI_CALL acquireChip(std::int32_t type, std::uint32_t clock) override;
    std::int32_t VESK_SCCI_CALL releaseChipEntry(SoundChip* chip) override;
    std::int32_t VESK_SCCI_CALL releaseAllChipEntries() override;
    std::int32_t VESK_SCCI_CALL unused8(std::uint32_t) override { return 1; }
    std::int32_t VESK_SCCI_CALL unused9() override { return 0; }
    std::int32_t VESK_SCCI_CALL resetBoards() override;
    std::int32_t VESK_SCCI_CALL resetChips() override;
    // Starts the library and builds the chip list. A second call on the
    // same object does nothing and returns 1. When memory runs out while
    // building, or the library throws, the interface is left empty (no
    // entries); always 1.
    std::int32_t VESK_SCCI_CALL initializeAdapter() override;
    // Frees every entry, releases and unloads the library and deletes this
    // object; the host must not touch it, nor any entry, afterwards.
    std::int32_t VESK_SCCI_CALL releaseAdapter() override;
    std::int32_t VESK_SCCI_CALL unused14() override { return 1; }
    std::int32_t VESK_SCCI_CALL unused15(std::uint32_t) override { return 1; }
    std::int32_t VESK_SCCI_CALL unused16() override { return 1; }
    std::int32_t VESK_SCCI_CALL unused17() override { return 1; }
    void VESK_SCCI_CALL unused18(std::uint32_t) override {}
    void VESK_SCCI_CALL unused19(std::uint32_t) override {}
    void VESK_SCCI_CALL unused20() override {}
    void VESK_SCCI_CALL unused21() override {}
    void VESK_SCCI_CALL unused22(std::uint32_t) override {}
    void VESK_SCCI_CALL unused23(std::uint32_t) override {}
    std::int32_t VESK_SCCI_CALL unused24(std::uint32_t) override { return 1; }
    std::int32_t VESK_SCCI_CALL unused25() override { return 0; }

    const std::vector<AdapterChip*>& chips() const { return chipList_; }

protected:
    ~AdapterManager() override = default;

private:
    // May throw; what it built is then in chipList_ (nothing leaks).
    void buildChipList();
    // Appends an entry to chipList_, which then owns it; on a throw the
    // entry is freed.
    void adopt(std::unique_ptr<AdapterChip> entry);

    vesk::plat::Module library_;
    VeskManager* manager_;
    std::int32_t recordCount_ = 0;
    std::unique_ptr<VeskChipInfo[]> records_;
    SoundInterfaceInfo info_{};
    std::vector<AdapterChip*> chipList_;  // owning; primary entries first
    std::unique_ptr<AdapterInterface> interface_;
    std::int32_t interfaceCount_ = 1;
    std::string iniPath_;
    bool initialized_ = false;
};

}  // namespace scci2vesk

#endif  // SCCI2VESK_ADAPTER_MANAGER_H
