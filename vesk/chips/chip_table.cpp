#include "chips/chip_table.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "chips/chip_models.h"
#include "chips/opl.h"
#include "chips/opm.h"
#include "chips/opn.h"
#include "chips/psg.h"
#include "transport/board_link.h"
#include "chips/ym2610h.h"

namespace vesk {

namespace {

std::string fieldText(const char* field, std::size_t size) {
    const void* end = std::memchr(field, 0, size);
    return std::string(field, end ? static_cast<const char*>(end) - field : size);
}

// The model's set-up after the shared construction, in the required order.
template <class Model, catalogue::SetUp setUp>
Chip* make(BoardLink* transport, VeskChipInfo* record) {
    std::unique_ptr<Model> chip(new Model(transport, record));
    if constexpr (setUp == catalogue::SetUp::Prescaler)
        chip->setPrescalerThreshold(prescalerThresholdFrom(record->extInfo));
    chip->updateWaits(record->clock);
    // The YM2203's silence ends with its prescaler step; the YM2610+H's runs
    // with its link still closed, so its ADPCM key writes are dropped.
    chip->silence();
    if constexpr (setUp == catalogue::SetUp::SampleLink) chip->finishSetUp();
    return chip.release();
}

// By catalogue::Model.
Chip* (*const kMake[])(BoardLink*, VeskChipInfo*) = {
#define VESK_CHIP_MODEL(id, name, family, variant, replaces, factor, scciType, scciLocation, chipClass, setUp) \
    make<chipClass, catalogue::SetUp::setUp>,
#include "chips/chip_models.def"
};
static_assert(sizeof kMake / sizeof kMake[0] == static_cast<std::size_t>(catalogue::Model::Count));

}  // namespace

std::uint32_t prescalerThresholdFrom(const char* extInfo) {
    std::string text = fieldText(extInfo, sizeof(VeskChipInfo::extInfo));
    std::size_t at = text.find("PRE13=");
    if (at == std::string::npos) return 0;
    const char* start = text.c_str() + at + 6;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(start, &end, 10);
    if (end == start || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return 0;
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
}

Chip* createChip(BoardLink* transport, VeskChipInfo* record) {
    const catalogue::ModelRow* model = catalogue::modelNamed(fieldText(record->name, sizeof record->name));
    if (model) return kMake[static_cast<std::size_t>(model->id)](transport, record);
    return make<ChipUnknown, catalogue::SetUp::Plain>(transport, record);
}

void buildChipTable(const std::vector<BoardLink*>& links, VeskChipInfo* records, std::uint32_t count,
                    std::vector<VeskChip*>& chips, ChipLookup& lookup) {
    std::vector<VeskChipInfo*> pending;
    pending.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) pending.push_back(&records[i]);

    for (BoardLink* link : links) {
        const std::string boardAddress = link->address();
        std::vector<std::uint32_t> positions;
        for (auto it = pending.begin(); it != pending.end();) {
            VeskChipInfo* record = *it;
            if (fieldText(record->address, sizeof record->address) != boardAddress) {
                ++it;
                continue;
            }
            chips.reserve(chips.size() + 1);
            chips.push_back(createChip(link, record));
            positions.push_back(static_cast<std::uint32_t>(chips.size() - 1));
            it = pending.erase(it);
        }
        lookup.emplace(boardAddress, std::move(positions));
    }
}

void destroyChipTable(std::vector<VeskChip*>& chips) {
    for (VeskChip*& chip : chips) {
        delete chip;
        chip = nullptr;
    }
}

}  // namespace vesk
