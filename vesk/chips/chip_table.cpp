#include "chips/chip_table.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

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
template <class Model>
Chip* make(BoardLink* transport, VeskChipInfo* record) {
    std::unique_ptr<Model> chip(new Model(transport, record));
    chip->updateWaits(record->clock);
    chip->silence();
    return chip.release();
}

template <class Model>
Chip* makeWithPrescaler(BoardLink* transport, VeskChipInfo* record) {
    std::unique_ptr<Model> chip(new Model(transport, record));
    chip->setPrescalerThreshold(prescalerThresholdFrom(record->extInfo));
    chip->updateWaits(record->clock);
    chip->silence();  // the YM2203's ends with its prescaler step
    return chip.release();
}

Chip* makeYM2610H(BoardLink* transport, VeskChipInfo* record) {
    std::unique_ptr<ChipYM2610H> chip(new ChipYM2610H(transport, record));
    chip->updateWaits(record->clock);
    chip->silence();  // link still closed: the ADPCM key writes are dropped
    chip->finishSetUp();
    return chip.release();
}

struct Model {
    const char* name;
    Chip* (*create)(BoardLink*, VeskChipInfo*);
};

// First match wins.
const Model kModels[] = {
    {"YM2608", makeWithPrescaler<ChipYM2608>},
    {"YM2151", make<ChipYM2151>},
    {"YM2612", make<ChipYM2612>},
    {"YM3438", make<ChipYM2612>},
    {"YM2203", makeWithPrescaler<ChipYM2203>},
    {"YM3812", make<ChipYM3812>},
    {"YM3526", make<ChipYM3812>},
    {"Y8950", make<ChipY8950>},
    {"SN76489", make<ChipSN76489A>},
    {"SCC", make<ChipSCC>},
    {"SCC+", make<ChipSCCPlus>},
    {"YM2610+H", makeYM2610H},
    {"YM2610B+H", makeYM2610H},
    {"AY8910", make<ChipPSG>},
    {"YM2149", make<ChipPSG>},
    {"YM2413", make<ChipYM2413>},
    {"YMF262", make<ChipYMF262>},
};

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
    std::string name = fieldText(record->name, sizeof record->name);
    for (const Model& m : kModels)
        if (name == m.name) return m.create(transport, record);
    return make<ChipUnknown>(transport, record);
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
