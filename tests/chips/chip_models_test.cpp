// The chip catalogue: its rows agree with one another, and its text is the
// one row a line the test scripts read.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "chips/chip_models.h"

namespace vesk::catalogue {
namespace {

TEST(ChipModels, FamiliesAreDistinctInEveryField) {
    std::set<std::string> names;
    std::set<std::uint32_t> clockFields, streamIds, commands;
    std::uint32_t previousField = 0;
    for (std::size_t i = 0; i < std::size(kFamilies); ++i) {
        const FamilyRow& f = kFamilies[i];
        SCOPED_TRACE(f.name);
        EXPECT_EQ(static_cast<std::size_t>(f.id), i) << "a family's id is its row";
        EXPECT_TRUE(names.insert(f.name).second);
        EXPECT_TRUE(clockFields.insert(f.clockField).second);
        EXPECT_GT(f.clockField, previousField) << "rows in the order of their clock fields";
        EXPECT_EQ(f.clockField % 4, 0u);
        EXPECT_LT(f.clockField, 0x100u);
        previousField = f.clockField;
        EXPECT_GE(f.since, 0x100u);
        EXPECT_TRUE(streamIds.insert(f.streamId).second);
        EXPECT_TRUE(f.ports == 1 || f.ports == 2);
        for (std::uint8_t port = 0; port < f.ports; ++port)
            EXPECT_TRUE(commands.insert(f.command + port).second) << "command " << f.command + port;
    }
}

TEST(ChipModels, ModelsNameOneFamilyAndWhatTheyStandInFor) {
    std::set<std::string> names;
    std::vector<int> nativeModels(std::size(kFamilies), 0);
    for (std::size_t i = 0; i < std::size(kModels); ++i) {
        const ModelRow& m = kModels[i];
        SCOPED_TRACE(m.name);
        EXPECT_EQ(static_cast<std::size_t>(m.id), i) << "a model's id is its row";
        EXPECT_TRUE(names.insert(m.name).second);
        EXPECT_EQ(modelNamed(m.name), &m);
        ASSERT_LT(m.family, Family::Count);
        if (!m.variant) ++nativeModels[static_cast<std::size_t>(m.family)];
        if (m.replaces == Family::None) {
            EXPECT_EQ(m.factor, 0u);
        } else {
            EXPECT_LT(m.replaces, Family::Count);
            EXPECT_NE(m.replaces, m.family);
            EXPECT_GT(m.factor, 0u);
        }
        // The adapter's types: one location each, 1001 is its unknown chip.
        EXPECT_NE(m.scciType, 1001);
        for (const ModelRow& other : kModels) {
            if (other.scciType == m.scciType) {
                EXPECT_EQ(other.scciLocation, m.scciLocation) << other.name;
            }
        }
    }
    for (std::size_t f = 0; f < std::size(kFamilies); ++f)
        EXPECT_GT(nativeModels[f], 0) << kFamilies[f].name << " has no model that plays its logs unmarked";
    EXPECT_EQ(modelNamed("YM2610"), nullptr);
    EXPECT_EQ(modelNamed("scc+"), nullptr);
}

// A row broken over lines, or with a comment inside, still compiles but is
// lost to a reader of the text.
TEST(ChipModels, EveryRowIsOneLineOfTheText) {
#ifdef _WIN32
    GTEST_SKIP() << "the same text is checked by the native build";
#endif
    std::ifstream in(VESK_CHIP_MODELS_DEF);
    ASSERT_TRUE(in) << VESK_CHIP_MODELS_DEF;
    const std::regex row(R"(^VESK_CHIP_(FAMILY|MODEL)\(([^()]*)\)$)");
    std::vector<std::string> families, models;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VESK_CHIP_", 0) != 0) continue;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, row)) << line;
        std::vector<std::string> fields;
        const std::string body = m[2];
        for (std::size_t at = 0, comma; at <= body.size(); at = comma + 1) {
            comma = body.find(',', at);
            if (comma == std::string::npos) comma = body.size();
            fields.push_back(body.substr(at, comma - at));
        }
        const bool family = m[1] == "FAMILY";
        ASSERT_EQ(fields.size(), family ? 7u : 10u) << line;
        const std::string name = std::regex_replace(fields[1], std::regex(R"(^\s*"|"\s*$)"), "");
        (family ? families : models).push_back(name);
    }
    std::vector<std::string> wantFamilies, wantModels;
    for (const FamilyRow& f : kFamilies) wantFamilies.push_back(f.name);
    for (const ModelRow& m : kModels) wantModels.push_back(m.name);
    EXPECT_EQ(families, wantFamilies);
    EXPECT_EQ(models, wantModels);
}

}  // namespace
}  // namespace vesk::catalogue
