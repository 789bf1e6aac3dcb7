// The chip catalogue (chip_models.def) as constant tables: the families a
// VGM log names and the models a board slot may hold. Data and look-ups
// only, nothing to link: the tools and the SCCI adapter read it too.
#ifndef VESK_CHIPS_CHIP_MODELS_H
#define VESK_CHIPS_CHIP_MODELS_H

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vesk::catalogue {

enum class Family : std::uint8_t {
#define VESK_CHIP_FAMILY(id, name, clockField, since, streamId, command, ports) id,
#include "chips/chip_models.def"
    Count,
    None = Count
};

enum class Model : std::uint8_t {
#define VESK_CHIP_MODEL(id, name, family, variant, replaces, factor, scciType, scciLocation, chipClass, setUp) id,
#include "chips/chip_models.def"
    Count
};

// What the chip table does after the shared construction.
enum class SetUp : std::uint8_t { Plain, Prescaler, SampleLink };

struct FamilyRow {
    Family id;
    const char* name;
    std::uint32_t clockField;
    std::uint32_t since;
    std::uint8_t streamId;
    std::uint8_t command;
    std::uint8_t ports;
};

struct ModelRow {
    Model id;
    const char* name;
    Family family;
    bool variant;
    Family replaces;
    std::uint32_t factor;
    std::int32_t scciType;
    std::uint32_t scciLocation;
    SetUp setUp;
};

inline constexpr FamilyRow kFamilies[] = {
#define VESK_CHIP_FAMILY(id, name, clockField, since, streamId, command, ports) \
    {Family::id, name, clockField, since, streamId, command, ports},
#include "chips/chip_models.def"
};

inline constexpr ModelRow kModels[] = {
#define VESK_CHIP_MODEL(id, name, family, variant, replaces, factor, scciType, scciLocation, chipClass, setUp) \
    {Model::id, name, Family::family, variant != 0, Family::replaces, factor, scciType, scciLocation, SetUp::setUp},
#include "chips/chip_models.def"
};

static_assert(sizeof kFamilies / sizeof kFamilies[0] == static_cast<std::size_t>(Family::Count));
static_assert(sizeof kModels / sizeof kModels[0] == static_cast<std::size_t>(Model::Count));

// The row of a family; id must be a family (not None).
constexpr const FamilyRow& family(Family id) { return kFamilies[static_cast<std::size_t>(id)]; }
constexpr const ModelRow& model(Model id) { return kModels[static_cast<std::size_t>(id)]; }

// The model a board calls name (exact, case-sensitive), or null.
constexpr const ModelRow* modelNamed(std::string_view name) {
    for (const ModelRow& m : kModels)
        if (name == m.name) return &m;
    return nullptr;
}

}  // namespace vesk::catalogue

#endif  // VESK_CHIPS_CHIP_MODELS_H
