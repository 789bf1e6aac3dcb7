// Link selection, the discovery answer rule, endpoint order and filtering:
// pure functions, so every rule is exercised without a network.
#include <gtest/gtest.h>

#include "discovery/discovery.h"

namespace vesk {
namespace {

using plat::AdapterInfo;
constexpr int kEth = plat::kIfTypeEthernet, kWifi = plat::kIfTypeIeee80211, kLoop = 24, kTunnel = 131;

struct LinkCase {
    const char* name;
    std::vector<AdapterInfo> adapters;
    std::vector<std::string> expected;
};

TEST(SelectLinks, Rules) {
    const LinkCase cases[] = {
        {"only Ethernet and 802.11 adapters count",
         {{kLoop, {"::1"}, {}}, {kEth, {"fe80::a"}, {}}, {kTunnel, {"fe80::b"}, {}}, {kWifi, {"fe80::c"}, {}}},
         {"fe80::a", "fe80::c"}},
        {"the last text containing fe80: wins",
         {{kEth, {"fe80::1", "2001:db8::5", "fe80::2", "2001:db8::6"}, {}}},
         {"fe80::2"}},
        {"fe80 in the middle of a global address counts when it comes last",
         {{kEth, {"fe80::1", "2001:db8::fe80:1"}, {}}},
         {"2001:db8::fe80:1"}},
        {"an adapter without link-local address gives an empty text",
         {{kEth, {"2001:db8::7"}, {}}, {kEth, {"fe80::9"}, {}}},
         {"", "fe80::9"}},
        {"same routers in another order: same link, first in system order stays",
         {{kEth, {"fe80::b"}, {"fe80::r2", "fe80::r1"}}, {kWifi, {"fe80::a"}, {"fe80::r1", "fe80::r2"}}},
         {"fe80::b"}},
        {"different router sets are different links",
         {{kEth, {"fe80::b"}, {"fe80::r1"}}, {kWifi, {"fe80::a"}, {"fe80::r1", "fe80::r2"}}},
         {"fe80::a", "fe80::b"}},
        {"adapters without gateways are never merged",
         {{kEth, {"fe80::2"}, {}}, {kEth, {"fe80::1"}, {}}},
         {"fe80::1", "fe80::2"}},
        {"byte order: ::10 sorts before ::9",
         {{kEth, {"fe80::9"}, {}}, {kEth, {"fe80::10"}, {}}},
         {"fe80::10", "fe80::9"}},
        {"no adapters", {}, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(selectLinks(c.adapters), c.expected) << c.name;
}

TEST(DiscoveryAnswer, FourByteRule) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        bool answer;
    };
    const Case cases[] = {
        {{0x03, 0x80, 0x57, 0x50}, true},
        {{0x03, 0x80}, true},
        {{}, true},
        {{0x03, 0x80, 0x57, 0x51}, false},
        {{0x03, 0x90, 0x4F, 0x4B}, false},
        {{0x03, 0x80, 0x57, 0x50, 0x00}, false},  // longer than the reply: not an answer
    };
    for (const auto& c : cases)
        EXPECT_EQ(isDiscoveryAnswer(c.bytes.data(), c.bytes.size()), c.answer) << c.bytes.size();
}

TEST(Endpoints, OrderedByLinkThenBoard) {
    std::vector<LinkEntry> links = {{"fe80::1", {"fe80::a", "fe80::b"}}, {"fe80::2", {"fe80::c"}}};
    auto eps = buildEndpoints(links);
    ASSERT_EQ(eps.size(), 3u);
    std::vector<std::pair<std::string, std::string>> got;
    for (auto& e : eps) {
        got.emplace_back(e.localAddress, e.boardAddress);
        EXPECT_EQ(e.socket, plat::kInvalidSocket);
        EXPECT_EQ(e.hostPort, 0);
    }
    EXPECT_EQ(got, (std::vector<std::pair<std::string, std::string>>{
                       {"fe80::1", "fe80::a"}, {"fe80::1", "fe80::b"}, {"fe80::2", "fe80::c"}}));
}

TEST(Endpoints, FilterKeepsExactMatchesInOrder) {
    std::vector<LinkEntry> links = {{"fe80::1", {"fe80::a", "fe80::b"}}, {"fe80::2", {"fe80::c"}}};
    struct Case {
        std::vector<std::string> targets;
        std::vector<std::string> kept;
    };
    const Case cases[] = {
        {{}, {"fe80::a", "fe80::b", "fe80::c"}},
        {{"fe80::c"}, {"fe80::c"}},
        {{"fe80::c", "fe80::a"}, {"fe80::a", "fe80::c"}},
        {{"FE80::C", "fe80:0::c", "fe80::c%2"}, {}},  // other spellings match nothing
        {{"fe80::dead"}, {}},
    };
    for (const auto& c : cases) {
        auto eps = buildEndpoints(links);
        filterEndpoints(eps, c.targets);
        std::vector<std::string> kept;
        for (auto& e : eps) kept.push_back(e.boardAddress);
        EXPECT_EQ(kept, c.kept);
    }
}

}  // namespace
}  // namespace vesk
