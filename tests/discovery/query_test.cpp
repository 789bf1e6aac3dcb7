// Board and slot reply parsing: fields by the reply's own item byte, numbers
// only from bytes that arrived, the text-field rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "discovery/query.h"

namespace vesk {
namespace {

std::vector<std::uint8_t> reply(std::uint8_t target, std::uint8_t item, std::vector<std::uint8_t> value) {
    std::vector<std::uint8_t> r = {static_cast<std::uint8_t>(3 + value.size()), 0x40, target, item};
    for (std::uint8_t v : value) r.push_back(v);
    return r;
}
std::vector<std::uint8_t> text(const std::string& s) { return {s.begin(), s.end()}; }

TEST(BoardReply, NumbersAtTheirPositions) {
    VeskBoardInfo b{};
    BoardSettings s{};
    auto apply = [&](const std::vector<std::uint8_t>& r) { return applyBoardReply(r.data(), r.size(), b, s); };
    EXPECT_TRUE(apply(reply(0, 0x00, {0x03, 0x09, 0x00})));
    EXPECT_EQ(b.firmwareVersion, 0x00090300u);
    EXPECT_TRUE(apply(reply(0, 0x01, {4})));
    EXPECT_EQ(b.slotCount, 4u);
    EXPECT_TRUE(apply(reply(0, 0x04, {0x14, 0x01})));
    EXPECT_EQ(b.waitMs, 0x0114);
    EXPECT_TRUE(apply(reply(0, 0x05, {0x00, 0x04, 0x00, 0x00})));
    EXPECT_EQ(b.bufferSize, 1024u);
    EXPECT_TRUE(apply(reply(0, 0x0B, {100})));
    EXPECT_EQ(s.idleMs, 100);
}

TEST(BoardReply, ItemByteOfTheReplyDecides) {
    VeskBoardInfo b{};
    BoardSettings s{};
    auto r = reply(0, 0x01, {7});  // asked for something else, got the slot count
    applyBoardReply(r.data(), r.size(), b, s);
    EXPECT_EQ(b.slotCount, 7u);
}

TEST(BoardReply, RejectedReplies) {
    struct Case {
        const char* why;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {"byte 1 not 0x40", {0x04, 0x41, 0x00, 0x01, 0x05}},
        {"byte 2 not the board", {0x04, 0x40, 0x01, 0x01, 0x05}},
        {"unknown item", {0x04, 0x40, 0x00, 0x0A, 0x05}},
        {"too short to hold an item", {0x04, 0x40}},
        {"empty", {}},
    };
    for (const auto& c : cases) {
        VeskBoardInfo b{};
        BoardSettings s{};
        EXPECT_FALSE(applyBoardReply(c.bytes.data(), c.bytes.size(), b, s)) << c.why;
        EXPECT_EQ(b.slotCount, 0u) << c.why;
    }
}

// The receive buffer is reused between requests: bytes beyond what arrived
// must never be read as part of the value.
TEST(BoardReply, ShortReplyNeverReadsLeftoverBytes) {
    std::uint8_t buf[128];
    std::memset(buf, 0xAA, sizeof buf);
    const std::uint8_t shortReply[] = {0x07, 0x40, 0x00, 0x05, 0x00};  // claims 4 value bytes, 1 arrived
    std::memcpy(buf, shortReply, sizeof shortReply);
    VeskBoardInfo b{};
    BoardSettings s{};
    EXPECT_FALSE(applyBoardReply(buf, sizeof shortReply, b, s));
    EXPECT_EQ(b.bufferSize, 0u);

    const std::uint8_t shortName[] = {0x0A, 0x40, 0x00, 0x06, 'A', 'B'};  // claims 7 text bytes
    std::memcpy(buf, shortName, sizeof shortName);
    EXPECT_TRUE(applyBoardReply(buf, sizeof shortName, b, s));
    EXPECT_EQ(std::string(b.name, strnlen(b.name, sizeof b.name)), "AB");
}

TEST(TextField, Rules) {
    struct Case {
        const char* why;
        std::string value;
        std::string stored;  // as read with at most 32 bytes
    };
    const Case cases[] = {
        {"short text ends at the first zero", "BOARD-1", "BOARD-1"},
        {"exactly 32 fills the field", std::string(32, 'N'), std::string(32, 'N')},
        {"33 bytes clears the field", std::string(33, 'N'), ""},
    };
    for (const auto& c : cases) {
        VeskBoardInfo b{};
        std::memset(b.name, 'x', sizeof b.name);
        BoardSettings s{};
        auto r = reply(0, 0x06, text(c.value));
        applyBoardReply(r.data(), r.size(), b, s);
        EXPECT_EQ(std::string(b.name, strnlen(b.name, sizeof b.name)), c.stored) << c.why;
        EXPECT_EQ(b.localIPv4[0], 0) << "wrote past name";
    }
    // A reply without text bytes leaves the field untouched.
    VeskBoardInfo b{};
    std::memcpy(b.boardIPv4, "keep", 5);
    BoardSettings s{};
    auto r = reply(0, 0x07, {});
    applyBoardReply(r.data(), r.size(), b, s);
    EXPECT_STREQ(b.boardIPv4, "keep");
}

TEST(SlotReply, FieldsAndRules) {
    SlotResult slot;
    auto apply = [&](const std::vector<std::uint8_t>& r) { return applySlotReply(r.data(), r.size(), slot); };
    EXPECT_TRUE(apply(reply(1, 0x00, {1})));
    EXPECT_TRUE(slot.present);
    EXPECT_TRUE(apply(reply(1, 0x01, {5})));
    EXPECT_EQ(slot.info.variableClock, 1);  // stored as 1 or 0
    EXPECT_TRUE(apply(reply(1, 0x02, {0})));
    EXPECT_EQ(slot.info.hardwareReset, 0);
    EXPECT_TRUE(apply(reply(1, 0x03, {0x00, 0x09, 0x3D, 0x00})));
    EXPECT_EQ(slot.info.clock, 4000000u);
    EXPECT_TRUE(apply(reply(3, 0x04, text("Y"))));  // another slot's byte: stored all the same
    EXPECT_STREQ(slot.info.name, "Y");
    EXPECT_TRUE(apply(reply(1, 0x05, text("PRE13=4000000"))));
    EXPECT_STREQ(slot.info.extInfo, "PRE13=4000000");
    EXPECT_FALSE(apply(reply(0, 0x00, {0})));  // a board reply is not a slot reply
    EXPECT_TRUE(slot.present);
    auto longName = reply(1, 0x04, text(std::string(17, 'Z')));
    EXPECT_TRUE(apply(longName));
    EXPECT_EQ(slot.info.name[0], 0);
}

}  // namespace
}  // namespace vesk
