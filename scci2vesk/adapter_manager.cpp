#include "adapter_manager.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "adapter_config.h"
#include "platform/guarded.h"

namespace scci2vesk {

using vesk::guarded;
using vesk::guardedVoid;

AdapterManager::AdapterManager(vesk::plat::Module library, VeskManager* manager, std::string iniPath)
    : library_(library), manager_(manager), iniPath_(std::move(iniPath)) {}

SoundInterfaceInfo* VESK_SCCI_CALL AdapterManager::interfaceInfoAt(std::int32_t index) {
    return index == 0 ? &info_ : nullptr;
}

SoundInterface* VESK_SCCI_CALL AdapterManager::interfaceAt(std::int32_t index) {
    return index == 0 ? interface_.get() : nullptr;
}

SoundChip* VESK_SCCI_CALL AdapterManager::acquireChip(std::int32_t type, std::uint32_t clock) {
    for (AdapterChip* entry : chipList_) {
        if (entry->inUse || entry->info.chipType != type) continue;
        if (clock != 0 && entry->info.clock != clock) continue;
        for (AdapterChip* member : entry->group) member->inUse = true;
        return entry;
    }
    return nullptr;
}

std::int32_t VESK_SCCI_CALL AdapterManager::releaseChipEntry(SoundChip* chip) {
    auto it = std::find(chipList_.begin(), chipList_.end(), chip);
    if (it == chipList_.end()) return 0;
    for (AdapterChip* member : (*it)->group) member->inUse = false;
    return 1;
}

std::int32_t VESK_SCCI_CALL AdapterManager::releaseAllChipEntries() {
    for (AdapterChip* entry : chipList_) entry->inUse = false;
    return 1;
}

std::int32_t VESK_SCCI_CALL AdapterManager::resetBoards() {
    return guarded(0, [&] { return manager_->resetBoards() ? 1 : 0; });
}
std::int32_t VESK_SCCI_CALL AdapterManager::resetChips() {
    return guarded(0, [&] { return manager_->resetChips() ? 1 : 0; });
}

std::int32_t VESK_SCCI_CALL AdapterManager::initializeAdapter() {
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
        for (AdapterChip* entry : chipList_) delete entry;
        chipList_.clear();
        records_.reset();
        recordCount_ = 0;
        info_.chipCount = 0;
        interface_.reset(new (std::nothrow) AdapterInterface({}));
    }
    return 1;
}

void AdapterManager::buildChipList() {
    const IniConfig config = readIniConfig(iniPath_);

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
        std::unique_ptr<AdapterChip> entry;
        if (name == "SN76489")
            entry.reset(new AdapterChipSN76489(chip, record, i));
        else if (name == "YM2610+H" || name == "YM2610B+H")
            entry.reset(new AdapterChipYM2610H(chip, record, i));
        else
            entry.reset(new AdapterChip(chip, record, i));
        adopt(std::move(entry));
    }

    std::uint32_t nextBus = count;
    const std::size_t primaries = chipList_.size();
    for (std::size_t p = 0; p < primaries; ++p) {
        AdapterChip* primary = chipList_[p];
        std::vector<AdapterChip*> group{primary};
        const char* section = sectionNameOf(primary->info.chipType);
        if (primary->record->variableClock && section) {
            for (std::uint32_t clock : clocksFor(config, section)) {
                if (clock == primary->info.clock) continue;
                std::unique_ptr<AdapterChip> variant(primary->makeVariant(clock, nextBus++));
                group.push_back(variant.get());
                adopt(std::move(variant));
            }
        }
        for (AdapterChip* member : group) member->group = group;
    }

    interface_.reset(new AdapterInterface(chipList_));
    info_.chipCount = static_cast<std::int32_t>(chipList_.size());
}

void AdapterManager::adopt(std::unique_ptr<AdapterChip> entry) {
    chipList_.push_back(entry.get());
    entry.release();
}

std::int32_t VESK_SCCI_CALL AdapterManager::releaseAdapter() {
    for (AdapterChip* entry : chipList_) delete entry;
    chipList_.clear();
    records_.reset();
    interface_.reset();
    // The library frees its own chips at release.
    guardedVoid([&] { manager_->release(); });
    vesk::plat::unloadModule(library_);
    delete this;
    return 1;
}

}  // namespace scci2vesk
