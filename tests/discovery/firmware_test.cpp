#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "discovery/firmware.h"
#include "platform/platform.h"

namespace vesk {
namespace {

TEST(Firmware, ExactText) {
    EXPECT_EQ(firmwareWarningText("fe80::2"),
              "[fe80::2] のボードのファームウェアバージョンを 0.9.3 にアップデートしてください");
}

TEST(Firmware, OneBoxPerOutdatedBoardInOrder) {
    std::vector<std::pair<std::string, std::string>> boxes;
    plat::setMessageHook([&](const std::string& t, const std::string& c) { boxes.push_back({c, t}); });
    VeskBoardInfo boards[5] = {};
    const std::uint32_t versions[5] = {0x00090200, 0x00090300, 0x00000000, 0x01000000, 0x0008FF00};
    for (int i = 0; i < 5; ++i) {
        boards[i].firmwareVersion = versions[i];
        std::string a = "fe80::" + std::to_string(i + 1);
        std::memcpy(boards[i].boardAddress, a.c_str(), a.size() + 1);
    }
    checkFirmware(boards, 5);
    checkFirmware(nullptr, 0);  // no boards: nothing
    plat::setMessageHook(nullptr);
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0], std::make_pair(std::string("firmware warning"), firmwareWarningText("fe80::1")));
    EXPECT_EQ(boxes[1].second, firmwareWarningText("fe80::3"));  // never answered: version 0
    EXPECT_EQ(boxes[2].second, firmwareWarningText("fe80::5"));
}

}  // namespace
}  // namespace vesk
