// Command encoders against the wire templates, and reply readers that must
// stay inside the bytes actually received.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

#include "transport/protocol.h"

namespace vesk::proto {
namespace {

using Bytes = std::vector<std::uint8_t>;

template <typename F>
Bytes encode(F f) {
    std::uint8_t buf[300];
    std::memset(buf, 0xCC, sizeof buf);
    unsigned n = f(buf);
    EXPECT_EQ(buf[n], 0xCC) << "encoder wrote past its length";
    return Bytes(buf, buf + n);
}

TEST(Encoders, MatchWireTemplates) {
    const std::uint8_t w2[] = {0x00, 0x40};
    struct Case {
        const char* name;
        Bytes got, want;
    } cases[] = {
        {"write reg",
         encode([](auto* o) { return encodeWriteReg(o, 0x21, 0x28, 0x7F, 3, 9); }),
         {0x06, 0x00, 0x21, 0x28, 0x7F, 0x03, 0x09}},
        {"write port",
         encode([](auto* o) { return encodeWritePort(o, 0x13, 0x9F, 4); }),
         {0x04, 0x02, 0x13, 0x9F, 0x04}},
        {"read reg", encode([](auto* o) { return encodeReadReg(o, 0x10, 0x0E, 2); }), {0x04, 0x04, 0x10, 0x0E, 0x02}},
        {"set clock",
         encode([](auto* o) { return encodeSetClock(o, 0x82, 3579545); }),
         {0x06, 0x08, 0x82, 0x99, 0x9E, 0x36, 0x00}},
        {"wait 3 ms", encode([](auto* o) { return encodeWaitMs(o, 3); }), {0x04, 0x01, 0x01, 0x03, 0x00}},
        {"wait 250 us", encode([](auto* o) { return encodeWaitUs(o, 250); }), {0x04, 0x01, 0x00, 0xFA, 0x00}},
        {"set host port",
         encode([](auto* o) { return encodeSetHostPort(o, 50003); }),
         {0x05, 0x50, 0x00, 0x0A, 0x53, 0xC3}},
        {"withdraw host port",
         encode([](auto* o) { return encodeSetHostPort(o, 0); }),
         {0x05, 0x50, 0x00, 0x0A, 0x00, 0x00}},
        {"i2c probe",
         encode([](auto* o) { return encodeQueryArg(o, 0, kBoardItemI2cProbe, 0x28); }),
         {0x04, 0x40, 0x00, 0x0C, 0x28}},
        {"query", encode([](auto* o) { return encodeQuery(o, 3, kSlotItemClock); }), {0x03, 0x40, 0x03, 0x03}},
        {"sync", encode([](auto* o) { return encodeSync(o); }), {0x01, 0x80}},
        {"reset all", encode([](auto* o) { return encodeReset(o, 0xFF); }), {0x02, 0x90, 0xFF}},
        {"reset slot 2", encode([](auto* o) { return encodeReset(o, 0x04); }), {0x02, 0x90, 0x04}},
        {"i2c write", encode([&](auto* o) { return encodeI2cWrite(o, 0x28, w2, 2); }), {0x04, 0x30, 0x28, 0x00, 0x40}},
        {"i2c read", encode([](auto* o) { return encodeI2cRead(o, 0x28, 3, nullptr, 0); }), {0x03, 0x20, 0x28, 0x03}},
        {"keep-alive", encode([](auto* o) { return encodeKeepAlive(o); }), {0x00}},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.name;
}

// Callers size their buffers by the command table: an encoder longer than
// its row (or a variable one past its limits) would write past them.
TEST(Encoders, SizesMatchTheCommandTable) {
    std::uint8_t data[300] = {};
    enum Bound { Least, Most };
    const struct {
        Bytes got;
        std::uint8_t code;
        bool reply;
        Bound bound;
    } cases[] = {
        {encode([](auto* o) { return encodeWriteReg(o, 0, 0, 0, 0, 0); }), kCmdWriteReg, false, Most},
        {encode([](auto* o) { return encodeWaitUs(o, 0); }), kCmdWait, false, Most},
        {encode([](auto* o) { return encodeWritePort(o, 0, 0, 0); }), kCmdWritePort, false, Most},
        {encode([](auto* o) { return encodeReadReg(o, 0, 0, 0); }), kCmdReadReg, false, Most},
        {encode([](auto* o) { return encodeSetClock(o, 0, 0); }), kCmdSetClock, false, Most},
        {encode([](auto* o) { return encodeI2cRead(o, 0, 0, nullptr, 0); }), kCmdI2cRead, false, Least},
        {encode([&](auto* o) { return encodeI2cRead(o, 0, 0, data, 300); }), kCmdI2cRead, false, Most},
        {encode([&](auto* o) { return encodeI2cWrite(o, 0, data, 0); }), kCmdI2cWrite, false, Least},
        {encode([&](auto* o) { return encodeI2cWrite(o, 0, data, 300); }), kCmdI2cWrite, false, Most},
        {encode([](auto* o) { return encodeQuery(o, 0, 0); }), kCmdQuery, false, Least},
        {encode([](auto* o) { return encodeQueryArg(o, 0, 0, 0); }), kCmdQuery, false, Most},
        {encode([](auto* o) { return encodeSetHostPort(o, 0); }), kCmdSet, false, Most},
        {encode([](auto* o) { return encodeSync(o); }), kCmdSync, false, Most},
        {encode([](auto* o) { return encodeReset(o, 0); }), kCmdReset, false, Most},
        {encode([](auto* o) { return encodeReadRegReply(o, 0, 0, 0); }), kCmdReadReg, true, Most},
        {encode([](auto* o) { return encodeI2cReadReply(o, nullptr, 0); }), kCmdI2cRead, true, Least},
        {encode([&](auto* o) { return encodeI2cReadReply(o, data, 300); }), kCmdI2cRead, true, Most},
        {encode([](auto* o) { return encodeQueryReply(o, 0, 0, nullptr, 0); }), kCmdQuery, true, Least},
        {encode([&](auto* o) { return encodeQueryReply(o, 0, 0, data, 300); }), kCmdQuery, true, Most},
    };
    for (const auto& c : cases) {
        const CommandInfo& row = commandInfo(c.code);
        const unsigned want = c.reply ? (c.bound == Least ? row.replySize : row.replyMaxSize)
                                      : (c.bound == Least ? row.size : row.maxSize);
        ASSERT_GE(c.got.size(), 2u) << row.name;
        EXPECT_EQ(c.got[1], c.code) << row.name;
        EXPECT_EQ(c.got[0] + 1u, c.got.size()) << row.name << ": L disagrees with the length";
        EXPECT_EQ(c.got.size(), want) << row.name << (c.reply ? " reply" : "")
                                      << (c.bound == Least ? " least" : " most");
    }
}

TEST(Encoders, VariableLengthLimits) {
    std::uint8_t data[300];
    for (int i = 0; i < 300; ++i) data[i] = static_cast<std::uint8_t>(i);

    Bytes r = encode([&](auto* o) { return encodeI2cRead(o, 0x28, 3, data, 252); });
    ASSERT_EQ(r.size(), 256u);
    EXPECT_EQ(r[0], 255);
    EXPECT_EQ(r[255], 251);
    // Longer write data is cut to 252 bytes, counts above 254 to 254.
    r = encode([&](auto* o) { return encodeI2cRead(o, 0x28, 255, data, 260); });
    EXPECT_EQ(r.size(), 256u);
    EXPECT_EQ(r[3], 254);
    // A null write pointer sends zeros.
    r = encode([&](auto* o) { return encodeI2cRead(o, 0x50, 1, nullptr, 2); });
    EXPECT_EQ(r, (Bytes{0x05, 0x20, 0x50, 0x01, 0x00, 0x00}));

    Bytes w = encode([&](auto* o) { return encodeI2cWrite(o, 0x28, data, 255); });
    ASSERT_EQ(w.size(), 256u);
    EXPECT_EQ(w[0], 255);
    EXPECT_EQ(w[255], 252);
}

TEST(Readers, FixedReplies) {
    const std::uint8_t sync[] = {0x03, 0x80, 'W', 'P'};
    const std::uint8_t ok[] = {0x03, 0x90, 'O', 'K'};
    const std::uint8_t bad[] = {0x03, 0x90, 'N', 'G'};
    EXPECT_TRUE(isSyncReply(sync, 4));
    EXPECT_FALSE(isSyncReply(sync, 3));
    EXPECT_TRUE(isResetAck(ok, 4));
    EXPECT_TRUE(isResetAck(ok, 16));  // the datagram may be longer than its envelope
    EXPECT_FALSE(isResetAck(ok, 3));  // the 'K' was left from an earlier reply
    EXPECT_FALSE(isResetAck(ok, 0));
    EXPECT_FALSE(isResetAck(bad, 4));
    EXPECT_FALSE(isResetAck(sync, 4));
}

// Which reply is taken as a request's answer: a sync's or a reset's only
// whole (one cut to its code says nothing), the others by what they echo.
TEST(Readers, RepliesAnswerTheirRequest) {
    const struct {
        Bytes request, reply;
        bool answers;
    } cases[] = {
        {{0x01, 0x80}, {0x03, 0x80, 'W', 'P'}, true},
        {{0x01, 0x80}, {0x03, 0x80}, false},
        {{0x01, 0x80}, {0x03, 0x80, 'W'}, false},
        {{0x01, 0x80}, {0x03, 0x90, 'O', 'K'}, false},
        {{0x02, 0x90, 0x0F}, {0x03, 0x90, 'O', 'K'}, true},
        {{0x02, 0x90, 0x0F}, {0x03, 0x90, 'N', 'G'}, true},  // a whole answer: the reset failed
        {{0x02, 0x90, 0x0F}, {0x03, 0x90}, false},
        {{0x03, 0x40, 0x00, 0x06}, {0x05, 0x40, 0x00, 0x06, 'V', 'K'}, true},
        {{0x03, 0x40, 0x00, 0x06}, {0x05, 0x40, 0x00, 0x07, 'V', 'K'}, false},
        {{0x04, 0x04, 0x10, 0x0E, 0x00}, {0x04, 0x04, 0x10, 0x0F, 0x9A}, false},
        {{0x05, 0x50, 0x00, 0x0A, 0xC3, 0x53}, {0x03, 0x50, 0x00, 0x0A}, true},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(answers(c.request.data(), static_cast<std::uint32_t>(c.request.size()), c.reply.data(),
                          static_cast<std::uint32_t>(c.reply.size())),
                  c.answers)
            << "row " << i;
    }
}

TEST(Readers, LastByteOnlyWhenReceived) {
    std::uint8_t v = 0x55;
    const std::uint8_t reg[] = {0x04, 0x04, 0x10, 0x0E, 0x9A};
    EXPECT_TRUE(readLastByte(reg, 5, v));
    EXPECT_EQ(v, 0x9A);
    v = 0x55;
    EXPECT_FALSE(readLastByte(reg, 4, v));  // byte 4 is stale
    EXPECT_FALSE(readLastByte(reg, 0, v));
    const std::uint8_t empty[] = {0x00, 0x77};
    EXPECT_FALSE(readLastByte(empty, 2, v));
    EXPECT_EQ(v, 0x55);
}

TEST(Readers, I2cData) {
    std::uint8_t out[8];
    const std::uint8_t reply[] = {0x04, 0x20, 0x05, 0x47, 0x81, 0xEE};
    EXPECT_EQ(readI2cData(reply, 5, out, 8), 3u);
    EXPECT_EQ(out[0], 0x05);
    EXPECT_EQ(out[2], 0x81);
    EXPECT_EQ(readI2cData(reply, 6, out, 8), 3u);  // trailing byte outside the envelope ignored
    EXPECT_EQ(readI2cData(reply, 4, out, 8), 0u);  // cut short
    EXPECT_EQ(readI2cData(reply, 5, out, 2), 0u);  // more data than room
    EXPECT_EQ(readI2cData(reply, 5, nullptr, 8), 0u);
    const std::uint8_t sync[] = {0x03, 0x80, 'W', 'P'};
    EXPECT_EQ(readI2cData(sync, 4, out, 8), 0u);  // not an I2C reply
    const std::uint8_t none[] = {0x01, 0x20};
    EXPECT_EQ(readI2cData(none, 2, out, 8), 0u);
}

TEST(Readers, QueryValuesNeverComeFromStaleBytes) {
    // A 128-byte receive buffer that held a 4-byte buffer-size reply before.
    std::uint8_t buf[128] = {0x07, 0x40, 0x00, 0x05, 0x00, 0x04, 0x00, 0x00};
    QueryReply q;
    ASSERT_TRUE(readQuery(buf, 8, q));
    std::uint32_t v = 0;
    ASSERT_TRUE(queryValue(q, 0, 4, v));
    EXPECT_EQ(v, 1024u);

    // Now a short reply (L = 4, 5 bytes) lands in the same buffer.
    const std::uint8_t shortReply[] = {0x04, 0x40, 0x00, 0x05, 0x10};
    std::memcpy(buf, shortReply, sizeof shortReply);
    ASSERT_TRUE(readQuery(buf, 5, q));
    EXPECT_EQ(q.item, kBoardItemBufferSize);
    EXPECT_EQ(q.valueLength, 1u);
    v = 0xDEAD;
    EXPECT_FALSE(queryValue(q, 0, 4, v));
    EXPECT_EQ(v, 0xDEADu);
    ASSERT_TRUE(queryValue(q, 0, 1, v));
    EXPECT_EQ(v, 0x10u);

    // L says 7 but only 6 bytes came: the value is what came, no more.
    const std::uint8_t cut[] = {0x07, 0x40, 0x01, 0x03, 0x99, 0x9E};
    ASSERT_TRUE(readQuery(cut, 6, q));
    EXPECT_EQ(q.target, 1);
    EXPECT_EQ(q.valueLength, 2u);
    EXPECT_FALSE(queryValue(q, 0, 4, v));
    ASSERT_TRUE(queryValue(q, 0, 2, v));
    EXPECT_EQ(v, 0x9E99u);

    const std::uint8_t notQuery[] = {0x03, 0x80, 'W', 'P'};
    EXPECT_FALSE(readQuery(notQuery, 4, q));
    EXPECT_FALSE(readQuery(buf, 3, q));
}

TEST(BoardSide, RepliesReadBackByTheLibrarysReaders) {
    const std::uint8_t data[] = {0x05, 0x47, 0x81};
    std::uint8_t v = 0;
    Bytes reg = encode([](auto* o) { return encodeReadRegReply(o, 0x10, 0x0E, 0x9A); });
    EXPECT_EQ(reg, (Bytes{0x04, 0x04, 0x10, 0x0E, 0x9A}));
    ASSERT_TRUE(readLastByte(reg.data(), static_cast<std::uint32_t>(reg.size()), v));
    EXPECT_EQ(v, 0x9A);
    std::uint8_t reqBytes[commandSize(kCmdReadReg)];
    encodeReadReg(reqBytes, 0x10, 0x0E, 0);
    EXPECT_TRUE(answers(reqBytes, commandSize(kCmdReadReg), reg.data(), static_cast<std::uint32_t>(reg.size())));

    std::uint8_t got[8];
    Bytes i2c = encode([&](auto* o) { return encodeI2cReadReply(o, data, 3); });
    ASSERT_EQ(readI2cData(i2c.data(), static_cast<std::uint32_t>(i2c.size()), got, 8), 3u);
    EXPECT_EQ(Bytes(got, got + 3), Bytes(data, data + 3));
    EXPECT_EQ(encode([](auto* o) { return encodeI2cReadReply(o, nullptr, 0); }), (Bytes{0x01, 0x20}));  // NACK

    Bytes q = encode([&](auto* o) { return encodeQueryReply(o, 2, kSlotItemClock, data, 3); });
    QueryReply r;
    ASSERT_TRUE(readQuery(q.data(), static_cast<std::uint32_t>(q.size()), r));
    EXPECT_EQ(r.target, 2);
    EXPECT_EQ(r.item, kSlotItemClock);
    EXPECT_EQ(Bytes(r.value, r.value + r.valueLength), Bytes(data, data + 3));
}

TEST(BoardSide, ReplyEncodersClampToOneLengthByte) {
    std::uint8_t big[300] = {};
    Bytes i2c = encode([&](auto* o) { return encodeI2cReadReply(o, big, 300); });
    EXPECT_EQ(i2c.size(), 256u);
    EXPECT_EQ(i2c[0], 255);
    Bytes q = encode([&](auto* o) { return encodeQueryReply(o, 0, kBoardItemName, big, 300); });
    EXPECT_EQ(q.size(), 256u);
    EXPECT_EQ(q[0], 255);
}

TEST(BoardSide, WellFormedByCommandCode) {
    struct Case {
        Bytes command;
        bool ok;
    } cases[] = {
        {{0x06, kCmdWriteReg, 0, 0, 0, 0, 0}, true},
        {{0x05, kCmdWriteReg, 0, 0, 0, 0}, false},
        {{0x04, kCmdWait, 0, 0, 0}, true},
        {{0x05, kCmdWait, 0, 0, 0, 0}, false},
        {{0x04, kCmdWritePort, 0, 0, 0}, true},
        {{0x03, kCmdWritePort, 0, 0}, false},
        {{0x04, kCmdReadReg, 0, 0, 0}, true},
        {{0x06, kCmdReadReg, 0, 0, 0, 0, 0}, false},
        {{0x06, kCmdSetClock, 0, 0, 0, 0, 0}, true},
        {{0x04, kCmdSetClock, 0, 0, 0}, false},
        {{0x03, kCmdI2cRead, 0x28, 1}, true},
        {{0x05, kCmdI2cRead, 0x28, 1, 0, 0}, true},
        {{0x02, kCmdI2cRead, 0x28}, false},
        {{0x02, kCmdI2cWrite, 0x28}, true},
        {{0x01, kCmdI2cWrite}, false},
        {{0x03, kCmdQuery, 0, 0}, true},
        {{0x04, kCmdQuery, 0, 0x0C, 0x28}, true},
        {{0x05, kCmdQuery, 0, 0, 0, 0}, false},
        {{0x05, kCmdSet, 0, 0x0A, 0, 0}, true},
        {{0x04, kCmdSet, 0, 0x0A, 0}, false},
        {{0x01, kCmdSync}, true},
        {{0x02, kCmdSync, 0}, false},
        {{0x02, kCmdReset, 0xFF}, true},
        {{0x01, kCmdReset}, false},
        {{0x01, 0x41}, false},  // unknown code
        {{0x00}, false},        // the empty command
    };
    for (const auto& c : cases)
        EXPECT_EQ(wellFormed(c.command.data(), static_cast<std::uint32_t>(c.command.size())), c.ok)
            << "code " << int(c.command.size() > 1 ? c.command[1] : -1) << " size " << c.command.size();
}

TEST(Batches, CursorWalksCommandsAndStopsAtTruncation) {
    const std::uint8_t d[] = {0x06, 0x00, 1, 2, 3, 4, 5, 0x04, 0x01, 0x00, 0x64, 0x00, 0x00, 0x01, 0x80, 0x06, 0x00};
    CommandCursor c(d, sizeof d);
    const std::uint8_t* cmd;
    std::uint32_t n;
    std::vector<std::uint32_t> sizes;
    while (c.next(cmd, n)) sizes.push_back(n);
    EXPECT_EQ(sizes, (std::vector<std::uint32_t>{7, 5, 1, 2}));
    EXPECT_TRUE(c.truncated());
}

}  // namespace
}  // namespace vesk::proto
