// The tray's text rules: the address check that guards the browser's
// command line, the attenuation table and the clock formatting.
#include <gtest/gtest.h>

#include <cstring>

#include "tray/tray.h"

using vesk::isDottedQuad;

TEST(TrayText, OnlyAPlainDottedQuadIsAnAddress) {
    const struct {
        const wchar_t* text;
        bool ok;
    } cases[] = {
        {L"192.168.1.20", true},   {L"0.0.0.0", true},         {L"255.255.255.255", true},
        {L"10.0.0.1", true},       {L"", false},               {L"192.168.1", false},
        {L"192.168.1.20.5", false}, {L"256.1.1.1", false},     {L"1.2.3.4 ", false},
        {L" 1.2.3.4", false},      {L"1.2.3.4 -kiosk", false}, {L"1.2.3.4\"x", false},
        {L"1.2.3.-4", false},      {L"1..2.3", false},         {L"1.2.3.4.", false},
        {L"0001.2.3.4", false},    {L"1.2.3.4/", false},       {L"a.b.c.d", false},
        {L"1.2.3.4\t", false},     {L"１.2.3.4", false},        // full-width digit
    };
    for (const auto& c : cases) EXPECT_EQ(isDottedQuad(c.text), c.ok) << static_cast<int>(wcslen(c.text));
}

TEST(TrayText, AttenuationStepsInDecibels) {
    const struct {
        std::uint32_t step;
        int db;
    } cases[] = {{0, 0},    {1, -1},   {11, -11}, {12, -12}, {13, -14}, {14, -16}, {24, -36},
                 {25, -39}, {26, -42}, {32, -60}, {33, -80}, {34, -80}, {1000, -80}};
    for (const auto& c : cases) EXPECT_EQ(vesk::volumeStepDb(c.step), c.db) << c.step;
}

TEST(TrayText, ClockInMegahertzWithThreeDecimals) {
    EXPECT_EQ(vesk::clockMHzText(4000000), "4.000");
    EXPECT_EQ(vesk::clockMHzText(3579545), "3.580");
    EXPECT_EQ(vesk::clockMHzText(7987200), "7.987");
    EXPECT_EQ(vesk::clockMHzText(1789772), "1.790");
    EXPECT_EQ(vesk::clockMHzText(0), "0.000");
}

TEST(TrayText, AddressFieldStopsAtItsEndEvenWithoutTerminator) {
    VeskBoardInfo b{};
    std::memcpy(b.boardIPv4, "192.168.1.20", 12);
    EXPECT_EQ(vesk::boardIPv4Text(b), L"192.168.1.20");
    std::memset(b.boardIPv4, '7', sizeof b.boardIPv4);  // no terminator in the field
    EXPECT_EQ(vesk::boardIPv4Text(b), std::wstring(21, L'7'));
}
