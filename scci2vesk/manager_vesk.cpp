#include "manager_vesk.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "adapter_config.h"
#include "platform/guarded.h"

using vesk::guarded;
using vesk::guardedVoid;

SoundInterfaceManager_vesk::SoundInterfaceManager_vesk(vesk::plat::Module library, VeskManager* manager,
                                                       std::string iniPath)
    : library_(library), manager_(manager), iniPath_(std::move(iniPath)) {}

SoundInterfaceInfo* VESK_SCCI_CALL SoundInterfaceManager_vesk::interfaceInfoAt(std::int32_t index) {
    return index == 0 ? &info_ : nullptr;
}

SoundInterface* VESK_SCCI_CALL SoundInterfaceManager_vesk::interfaceAt(std::int32_t index) {
    return index == 0 ? interface_.get() : nullptr;
}

SoundChip* VESK_SCCI_CALL SoundInterfaceManager_vesk::acquireChip(std::int32_t type, std::uint32_t clock) {
    for (SoundChip_vesk* entry : chipList_) {
        if (entry->inUse || entry->info.chipType != type) continue;
        if (clock != 0 && entry->info.clock != clock) continue;
        for (SoundChip_vesk* member : entry->group) member->inUse = true;
        return entry;
    }
    return nullptr;
}

std::int32_t VESK_SCCI_CALL SoundInterfaceManager_vesk::releaseChipEntry(SoundChip* chip) {
    auto it = std::find(chipList_.begin(), chipList_.end(), chip);
    if (it == chipList_.end()) return 0;
    for (SoundChip_vesk* member : (*it)->group) member->inUse = false;
    return 1;
}

std::int32_t VESK_SCCI_CALL SoundInterfaceManager_vesk::releaseAllChipEntries() {
    for (SoundChip_vesk* entry : chipList_) entry->inUse = false;
    return 1;
}

std::int32_t VESK_SCCI_CALL SoundInterfaceManager_vesk::resetBoards() {
    return guarded(0, [&] { return manager_->resetBoards() ? 1 : 0; });
}
std::int32_t VESK_SCCI_CALL SoundInterfaceManager_vesk::resetChips() {
    return guarded(0, [&] { return manager_->resetChips() ? 1 : 0; });
}

std::int32_t VESK_SCCI_CALL SoundInterfaceManager_vesk::initializeAdapter() {
    if (initialized_) return 1;
    initialized_ = true;
    const bool built = guarded(false, [&] {
        manager_->init();
        buildChipList();
        return true;
    });
    if (!built) {
        // Out of memory (every YM2610+H entry takes 32 MiB), or the library
        // failed: the host gets an empty interface rather than an exception
        // it cannot handle.
        for (SoundChip_vesk* entry : chipList_) delete entry;
        chipList_.clear();
        records_.reset();
        recordCount_ = 0;
        info_.chipCount = 0;
        interface_.reset(new (std::nothrow) SoundInterface_vesk({}));
    }
    return 1;
}

void SoundInterfaceManager_vesk::buildChipList() {
    const scci2vesk::IniConfig config = scci2vesk::readIniConfig(iniPath_);

    const std::uint32_t count = manager_->getChipCount();
    recordCount_ = static_cast<std::int32_t>(count);
    if (count > 0) {
        records_.reset(new VeskChipInfo[count]());
        manager_->getChipInfo(records_.get(), count);
    }
    std::memset(info_.name, 0, sizeof info_.name);
    std::strcpy(info_.name, "Virtual Vesk Interface");

    for (std::uint32_t i = 0; i < count; ++i) {
        VeskChipInfo* record = &records_[i];
        VeskChip* chip = manager_->getChipByIndex(i, record->clock);
        if (!chip) continue;
        const std::string name(record->name, strnlen(record->name, sizeof record->name));
        std::unique_ptr<SoundChip_vesk> entry;
        if (name == "SN76489")
            entry.reset(new SoundChip_vesk_sn76489(chip, record, i));
        else if (name == "YM2610+H" || name == "YM2610B+H")
            entry.reset(new SoundChip_vesk_ym2610_h(chip, record, i));
        else
            entry.reset(new SoundChip_vesk(chip, record, i));
        adopt(std::move(entry));
    }

    std::uint32_t nextBus = count;
    const std::size_t primaries = chipList_.size();
    for (std::size_t p = 0; p < primaries; ++p) {
        SoundChip_vesk* primary = chipList_[p];
        std::vector<SoundChip_vesk*> group{primary};
        const char* section = scci2vesk::sectionNameOf(primary->info.chipType);
        if (primary->record->variableClock && section) {
            for (std::uint32_t clock : scci2vesk::clocksFor(config, section)) {
                if (clock == primary->info.clock) continue;
                std::unique_ptr<SoundChip_vesk> variant(primary->makeVariant(clock, nextBus++));
                group.push_back(variant.get());
                adopt(std::move(variant));
            }
        }
        for (SoundChip_vesk* member : group) member->group = group;
    }

    interface_.reset(new SoundInterface_vesk(chipList_));
    info_.chipCount = static_cast<std::int32_t>(chipList_.size());
}

void SoundInterfaceManager_vesk::adopt(std::unique_ptr<SoundChip_vesk> entry) {
    chipList_.push_back(entry.get());
    entry.release();
}

std::int32_t VESK_SCCI_CALL SoundInterfaceManager_vesk::releaseAdapter() {
    for (SoundChip_vesk* entry : chipList_) delete entry;
    chipList_.clear();
    records_.reset();
    interface_.reset();
    // The library frees its own chips at release.
    guardedVoid([&] { manager_->release(); });
    vesk::plat::unloadModule(library_);
    delete this;
    return 1;
}
