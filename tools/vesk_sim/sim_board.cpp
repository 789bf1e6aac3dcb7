#include "sim_board.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <sstream>
#include <utility>

#include "sim_record.h"
#include "transport/protocol.h"

namespace vesk::sim {

namespace p = vesk::proto;

namespace {

std::string addrText(const std::array<std::uint8_t, 16>& a) {
    char buf[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, a.data(), buf, sizeof buf);
    return buf;
}

std::string hexItem(unsigned item) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02x", item & 0xFF);
    return buf;
}

// A command's name in the record, from the command table.
const char* commandName(std::uint8_t code) {
    const p::CommandInfo* c = p::findCommand(code);
    return c ? c->name : "unknown";
}

// Text values are cut to what a query reply holds by its encoder.
void appendText(std::vector<std::uint8_t>& r, const std::string& s) { r.insert(r.end(), s.begin(), s.end()); }

void appendLE(std::vector<std::uint8_t>& r, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) r.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace

void Board::SlotState::clear() {
    regs.fill(-1);
    lastByReg.fill(-1);
    ports.fill(-1);
}

Board::Board(const BoardConfig& cfg, std::size_t index, std::ostream* record)
    : cfg_(cfg), index_(index), record_(record), noiseState_(cfg.seed ? cfg.seed : 1), jitterState_(cfg.seed) {
    slots_.resize(cfg_.slots.size());
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        slots_[i].clear();
        slots_[i].clock = cfg_.slots[i].clock;
    }
    for (const auto& d : cfg_.i2c) devices_[d.address] = makeDevice(d);
    RecordLine(record_, "start")
        .str("board", cfg_.name)
        .str("link", cfg_.link)
        .str("address", cfg_.address)
        .num("slots", static_cast<std::int64_t>(cfg_.slots.size()))
        .num("buffer_size", cfg_.bufferSize);
}

int Board::reg(int slot, int port, int address) const {
    if (slot < 0 || slot >= static_cast<int>(slots_.size()) || port < 0 || port > 15 || address < 0 || address > 255)
        return -1;
    return slots_[slot].regs[port * 256 + address];
}

int Board::portValue(int slot, int port) const {
    if (slot < 0 || slot >= static_cast<int>(slots_.size()) || port < 0 || port > 15) return -1;
    return slots_[slot].ports[port];
}

std::uint32_t Board::slotClock(int slot) const {
    if (slot < 0 || slot >= static_cast<int>(slots_.size())) return 0;
    return slots_[slot].clock;
}

I2cDevice* Board::device(std::uint8_t address) const {
    auto it = devices_.find(address);
    return it == devices_.end() ? nullptr : it->second.get();
}

std::string Board::dumpRegisters() const {
    std::ostringstream s;
    s << "# board " << cfg_.name << " " << cfg_.address << ": slot port register value (hex)\n";
    for (std::size_t sl = 0; sl < slots_.size(); ++sl) {
        for (int i = 0; i < 16 * 256; ++i) {
            if (slots_[sl].regs[i] < 0) continue;
            char buf[48];
            std::snprintf(buf, sizeof buf, "%zu %x %02x %02x\n", sl, i / 256, i % 256, slots_[sl].regs[i]);
            s << buf;
        }
        for (int port = 0; port < 16; ++port) {
            if (slots_[sl].ports[port] < 0) continue;
            char buf[48];
            std::snprintf(buf, sizeof buf, "%zu %x port %02x\n", sl, port, slots_[sl].ports[port]);
            s << buf;
        }
    }
    return s.str();
}

std::uint32_t Board::noise() {
    // xorshift32: reproducible garbage for a given seed.
    std::uint32_t x = noiseState_;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return noiseState_ = x;
}

bool Board::matches(const std::vector<std::string>& tags, const std::string& selector) {
    if (selector == "*") return true;
    return std::find(tags.begin(), tags.end(), selector) != tags.end();
}

std::int64_t Board::arrive(std::int64_t wireNs) {
    std::int64_t delay = 0;
    if (const std::int64_t span = std::llround(cfg_.jitterMs * 1e6)) {
        // splitmix64: a reproducible delay for a given seed, apart from the
        // garbage replies' noise so that either fault leaves the other as it was.
        std::uint64_t z = jitterState_ += 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        delay = static_cast<std::int64_t>(z % static_cast<std::uint64_t>(span + 1));
    }
    // The link keeps the order the datagrams were sent in.
    return lastArrivalNs_ = std::max(wireNs + delay, lastArrivalNs_);
}

void Board::advance(std::int64_t boardNs) {
    boardNs_ += boardNs;
    std::int64_t host = boardNs_;
    if (cfg_.clockPpm != 0) host = std::llround(static_cast<long double>(boardNs_) * 1e6L / (1e6L + cfg_.clockPpm));
    cursorNs_ = anchorNs_ + host;
}

void Board::receive(const std::uint8_t* data, std::size_t len, bool multicast, const Peer& from, std::int64_t wireNs,
                    std::uint64_t seq, std::vector<Reply>& out) {
    // Whatever the datagram held is in the record before its replies leave.
    struct Flush {
        std::ostream* out;
        ~Flush() {
            if (out) out->flush();
        }
    } flush{record_};
    const std::int64_t arrivalNs = arrive(wireNs);
    if (firstArrivalNs_ < 0) firstArrivalNs_ = arrivalNs;
    const FaultConfig& f = cfg_.faults;
    const std::int64_t clockFrom = f.silentFromSignal ? signalNs_ : firstArrivalNs_;
    const std::int64_t since = arrivalNs - clockFrom;
    bool silent = f.silentAfterMs >= 0 && clockFrom >= 0 && since > f.silentAfterMs * 1000000 &&
                  (f.silentForMs <= 0 || since <= (f.silentAfterMs + f.silentForMs) * 1000000);
    // A datagram is held from its arrival until the timeline has played it
    // to its end; one that does not fit beside those still held is lost.
    while (!held_.empty() && held_.front().first <= arrivalNs) {
        heldBytes_ -= held_.front().second;
        held_.pop_front();
    }
    const bool overflow = !silent && heldBytes_ + len > cfg_.bufferSize;
    const bool chained = cursorNs_ > arrivalNs;
    {
        RecordLine line(record_, "datagram");
        line.str("board", cfg_.name).num("seq", static_cast<std::int64_t>(seq)).num("arrival_ns", arrivalNs);
        if (cfg_.jitterMs > 0) line.num("wire_ns", wireNs);
        line.str("from", addrText(from.addr))
            .num("from_port", from.port)
            .flag("multicast", multicast)
            .num("len", static_cast<std::int64_t>(len))
            .hex("bytes", data, len)
            .num("held", static_cast<std::int64_t>(heldBytes_));
        if (silent) line.flag("silent", true);
        if (len > cfg_.bufferSize) line.flag("over_buffer", true);
        if (overflow) line.flag("overflow", true);
        if (!silent && !overflow) line.num("start_ns", chained ? cursorNs_ : arrivalNs).flag("chained", chained);
    }
    // A silent board has stopped: it neither plays nor answers.
    if (silent || overflow) return;

    // The board plays a datagram from its arrival, or after what it is
    // still playing; from idle its clock's count starts afresh.
    if (!chained) {
        anchorNs_ = cursorNs_ = arrivalNs;
        boardNs_ = 0;
    }
    Ctx ctx{&from, arrivalNs, seq, multicast, &out};
    std::size_t pos = 0, index = 0;
    while (pos < len) {
        std::size_t L = data[pos];
        if (pos + 1 + L > len) {
            // L > 0 here; the code byte itself may be missing too.
            const bool hasCode = pos + 1 < len;
            RecordLine(record_, "command")
                .str("board", cfg_.name)
                .num("seq", static_cast<std::int64_t>(seq))
                .num("index", static_cast<std::int64_t>(index))
                .str("name", hasCode ? commandName(data[pos + 1]) : "unknown")
                .num("code", hasCode ? data[pos + 1] : -1)
                .str("status", "truncated")
                .num("replay_ns", cursorNs_)
                .hex("bytes", data + pos, len - pos);
            break;  // the rest cannot be framed
        }
        execute(data + pos, L, index++, ctx);
        pos += 1 + L;
    }
    held_.emplace_back(cursorNs_, len);
    heldBytes_ += len;
}

Board::Handler Board::handlerOf(const p::CommandInfo& info) {
    // By the command table's rows, in their order.
    static constexpr std::pair<std::uint8_t, Handler> kHandlers[] = {
        {p::kCmdWriteReg, &Board::handleWriteReg},
        {p::kCmdWait, &Board::handleWait},
        {p::kCmdWritePort, &Board::handleWritePort},
        {p::kCmdReadReg, &Board::handleReadReg},
        {p::kCmdSetClock, &Board::handleSetClock},
        {p::kCmdI2cRead, &Board::handleI2cRead},
        {p::kCmdI2cWrite, &Board::handleI2cWrite},
        {p::kCmdQuery, &Board::handleQuery},
        {p::kCmdSet, &Board::handleSet},
        {p::kCmdSync, &Board::handleSync},
        {p::kCmdReset, &Board::handleReset},
    };
    static_assert(std::size(kHandlers) == p::kCommandCount, "one handler per command");
    static_assert(
        [] {
            for (std::size_t i = 0; i < p::kCommandCount; ++i)
                if (kHandlers[i].first != p::kCommands[i].code) return false;
            return true;
        }(),
        "handlers out of the command table's order");
    return kHandlers[&info - p::kCommands].second;
}

void Board::execute(const std::uint8_t* cmd, std::size_t L, std::size_t index, Ctx& ctx) {
    const std::int64_t replayNs = cursorNs_;
    const p::CommandInfo* info = L ? p::findCommand(cmd[1]) : nullptr;
    std::vector<Answer> answers;
    std::vector<std::size_t> resets;
    {
        RecordLine line(record_, "command");
        line.str("board", cfg_.name)
            .num("seq", static_cast<std::int64_t>(ctx.seq))
            .num("index", static_cast<std::int64_t>(index))
            .str("name", L ? commandName(cmd[1]) : "keepalive")
            .num("code", L ? cmd[1] : -1)
            .num("replay_ns", cursorNs_)
            .hex("bytes", cmd, L + 1);
        if (L == 0) {  // keep-alive: nothing to do
            line.str("status", "ok");
            return;
        }
        if (!info) {
            line.str("status", "unknown_code");
            return;
        }
        if (!p::wellFormed(cmd, static_cast<std::uint32_t>(L + 1))) {
            line.str("status", "bad_length");
            return;
        }
        Command c{cmd, L, ctx.multicast, line, "ok", {}, {}};
        (this->*handlerOf(*info))(c);
        line.str("status", c.status);
        answers = std::move(c.answers);
        resets = std::move(c.resets);
    }
    // Slot resets and replies are recorded after the command's own line.
    for (std::size_t s : resets)
        RecordLine(record_, "command")
            .str("board", cfg_.name)
            .num("seq", static_cast<std::int64_t>(ctx.seq))
            .num("index", static_cast<std::int64_t>(index))
            .str("name", "slot_reset")
            .num("code", -1)
            .num("replay_ns", replayNs)
            .num("slot", static_cast<std::int64_t>(s))
            .str("status", "ok");
    for (auto& a : answers) reply(std::move(a.bytes), a.tags, replayNs, ctx);
}

Board::SlotState* Board::slotAt(int slot, RecordLine& line) {
    line.num("slot", slot);
    return slot < static_cast<int>(slots_.size()) ? &slots_[slot] : nullptr;
}

// 06 00 T A D W1 W2: the register of the slot and port in T; W1 + W2 us on.
void Board::handleWriteReg(Command& c) {
    const std::uint8_t* cmd = c.bytes;
    const int slot = cmd[2] >> 4, port = cmd[2] & 15;
    c.line.num("port", port).num("reg", cmd[3]).num("data", cmd[4]).num("wait_us", cmd[5] + cmd[6]);
    if (SlotState* s = slotAt(slot, c.line)) {
        s->regs[port * 256 + cmd[3]] = cmd[4];
        s->lastByReg[cmd[3]] = cmd[4];
    } else {
        c.status = "no_slot";
    }
    advance((cmd[5] + cmd[6]) * 1000ll);
}

// 04 01 unit value: the timeline moves on by value ms or us.
void Board::handleWait(Command& c) {
    const std::uint8_t* cmd = c.bytes;
    const std::uint32_t value = cmd[3] | (cmd[4] << 8);
    if (cmd[2] == p::kWaitUnitMs) {
        c.line.num("wait_us", value * 1000ll);
        advance(value * 1000000ll);
    } else if (cmd[2] == p::kWaitUnitUs) {
        c.line.num("wait_us", value);
        advance(value * 1000ll);
    } else {
        c.status = "bad_unit";
    }
}

// 04 02 T D W: the port of the slot in T; W us on.
void Board::handleWritePort(Command& c) {
    const std::uint8_t* cmd = c.bytes;
    const int slot = cmd[2] >> 4, port = cmd[2] & 15;
    c.line.num("port", port).num("data", cmd[3]).num("wait_us", cmd[4]);
    if (SlotState* s = slotAt(slot, c.line))
        s->ports[port] = cmd[3];
    else
        c.status = "no_slot";
    advance(cmd[4] * 1000ll);
}

// 04 04 T A W: answers the configured read value of the register, else what
// was last written to it on that port, else on any port, else 0 (also for a
// slot the board does not have); W us on.
void Board::handleReadReg(Command& c) {
    const std::uint8_t* cmd = c.bytes;
    const int slot = cmd[2] >> 4, port = cmd[2] & 15, a = cmd[3];
    int value = 0;
    if (SlotState* s = slotAt(slot, c.line)) {
        const auto& reads = cfg_.slots[slot].reads;
        auto exact = reads.find({port, a}), any = reads.find({-1, a});
        if (exact != reads.end())
            value = exact->second;
        else if (any != reads.end())
            value = any->second;
        else if (s->regs[port * 256 + a] >= 0)
            value = s->regs[port * 256 + a];
        else if (s->lastByReg[a] >= 0)
            value = s->lastByReg[a];
    } else {
        c.status = "no_slot";
    }
    c.line.num("port", port).num("reg", a).num("value", value).num("wait_us", cmd[4]);
    advance(cmd[4] * 1000ll);
    std::vector<std::uint8_t> r(p::commandInfo(p::kCmdReadReg).replySize);
    p::encodeReadRegReply(r.data(), cmd[2], cmd[3], static_cast<std::uint8_t>(value));
    c.answers.push_back({std::move(r), {"read", "read:" + hexItem(cmd[3])}});
}

// 06 08 S clock: the slot's clock, where the slot's clock is variable.
void Board::handleSetClock(Command& c) {
    const std::uint8_t* cmd = c.bytes;
    const int slot = cmd[2] & 0x7F;
    const std::uint32_t clock = cmd[3] | (cmd[4] << 8) | (cmd[5] << 16) | (static_cast<std::uint32_t>(cmd[6]) << 24);
    c.line.num("clock", clock).num("value", cmd[2] >> 7);
    if (SlotState* s = slotAt(slot, c.line)) {
        if (cfg_.slots[slot].variableClock)
            s->clock = clock;
        else
            c.status = "fixed_clock";
    } else {
        c.status = "no_slot";
    }
}

// (n+3) 20 addr count write[n]: the device takes the n bytes, then gives
// count; an absent device NACKs with a reply carrying no data.
void Board::handleI2cRead(Command& c) {
    const std::uint8_t* cmd = c.bytes;
    const std::uint8_t addr = cmd[2];
    const std::size_t count = std::min<std::size_t>(cmd[3], p::kI2cReadMaxCount);
    const std::size_t n = c.L - 3;
    c.line.num("i2c_addr", addr).num("count", static_cast<std::int64_t>(count));
    std::uint8_t data[p::kI2cReadMaxCount];
    std::size_t got = 0;
    if (I2cDevice* d = device(addr)) {
        if (n) d->write(cmd + 4, n);
        d->read(data, count);
        got = count;
    } else {
        c.status = "no_device";
    }
    std::vector<std::uint8_t> r(p::commandInfo(p::kCmdI2cRead).replySize + got);
    p::encodeI2cReadReply(r.data(), data, static_cast<std::uint32_t>(got));
    c.answers.push_back({std::move(r), {"i2c_read", "i2c_read:" + hexItem(addr)}});
}

// (n+2) 30 addr data[n]
void Board::handleI2cWrite(Command& c) {
    const std::uint8_t addr = c.bytes[2];
    c.line.num("i2c_addr", addr).num("count", static_cast<std::int64_t>(c.L - 2));
    if (I2cDevice* d = device(addr))
        d->write(c.bytes + 3, c.L - 2);
    else
        c.status = "no_device";
}

// 03 40 target item [arg]: unanswered when the item is unknown.
void Board::handleQuery(Command& c) {
    const std::uint8_t target = c.bytes[2], item = c.bytes[3];
    c.line.num("target", target).num("item", item);
    std::vector<std::uint8_t> value;
    std::vector<std::string> tags{"query"};
    if (!queryValue(c.bytes, c.L, value, tags)) {
        c.status = "unknown_item";
        return;
    }
    std::vector<std::uint8_t> r(p::commandInfo(p::kCmdQuery).replySize +
                                std::min<std::size_t>(value.size(), p::kQueryReplyMaxValue));
    p::encodeQueryReply(r.data(), target, item, value.data(), static_cast<std::uint32_t>(value.size()));
    c.answers.push_back({std::move(r), std::move(tags)});
}

// 05 50 target item value: only the board's host port is settable; the
// command comes back as its own answer either way.
void Board::handleSet(Command& c) {
    const std::uint8_t* cmd = c.bytes;
    const std::uint16_t value = static_cast<std::uint16_t>(cmd[4] | (cmd[5] << 8));
    c.line.num("target", cmd[2]).num("item", cmd[3]).num("value", value);
    if (cmd[2] == 0 && cmd[3] == p::kSetItemHostPort)
        hostPort_ = value;
    else
        c.status = "unknown_item";
    c.answers.push_back({std::vector<std::uint8_t>(cmd, cmd + p::commandInfo(p::kCmdSet).replySize), {"set"}});
}

// 01 80: to the all-nodes group it is discovery, else a sync.
void Board::handleSync(Command& c) {
    c.answers.push_back({std::vector<std::uint8_t>(std::begin(p::kSyncReply), std::end(p::kSyncReply)),
                         {c.multicast ? "discovery" : "sync"}});
}

// 02 90 mask: clears the slots whose bits are set (the first eight).
void Board::handleReset(Command& c) {
    const std::uint8_t mask = c.bytes[2];
    c.line.num("mask", mask);
    for (std::size_t s = 0; s < slots_.size() && s < 8; ++s) {
        if (!(mask & (1u << s))) continue;
        slots_[s].clear();
        c.resets.push_back(s);
    }
    c.answers.push_back({std::vector<std::uint8_t>(std::begin(p::kResetReply), std::end(p::kResetReply)), {"reset"}});
}

bool Board::queryValue(const std::uint8_t* cmd, std::size_t L, std::vector<std::uint8_t>& r,
                       std::vector<std::string>& tags) const {
    const std::uint8_t target = cmd[2], item = cmd[3];
    if (target == 0) {
        tags.push_back("board:" + hexItem(item));
        switch (item) {
        case p::kBoardItemFirmware:
            r.push_back(cfg_.firmware[2]);
            r.push_back(cfg_.firmware[1]);
            r.push_back(cfg_.firmware[0]);
            break;
        case p::kBoardItemSlotCount: r.push_back(static_cast<std::uint8_t>(cfg_.slots.size())); break;
        case p::kBoardItemWait: appendLE(r, cfg_.waitMs, 2); break;
        case p::kBoardItemBufferSize: appendLE(r, cfg_.bufferSize, 4); break;
        case p::kBoardItemName: appendText(r, cfg_.name); break;
        case p::kBoardItemIPv4: appendText(r, cfg_.ipv4); break;
        case p::kBoardItemIdle: r.push_back(cfg_.idleMs); break;
        case p::kBoardItemI2cProbe:
            // Without its argument byte the probe names no device.
            r.push_back(L == 4 && device(cmd[4]) ? 1 : 0);
            break;
        default: return false;
        }
        return true;
    }
    tags.push_back("slot:" + hexItem(item));
    const std::size_t s = target - 1u;
    // A slot the board does not have reads as an empty one.
    static const SlotConfig kEmpty = [] {
        SlotConfig c;
        c.present = false;
        return c;
    }();
    const SlotConfig& sc = s < cfg_.slots.size() ? cfg_.slots[s] : kEmpty;
    switch (item) {
    case p::kSlotItemPresent: r.push_back(sc.present ? 1 : 0); break;
    case p::kSlotItemVariableClock: r.push_back(sc.variableClock ? 1 : 0); break;
    case p::kSlotItemHardwareReset: r.push_back(sc.hardwareReset ? 1 : 0); break;
    case p::kSlotItemClock: appendLE(r, s < slots_.size() ? slots_[s].clock : 0, 4); break;
    case p::kSlotItemName: appendText(r, sc.chip); break;
    case p::kSlotItemExtInfo: appendText(r, sc.extInfo); break;
    default: return false;
    }
    return true;
}

void Board::reply(std::vector<std::uint8_t> bytes, const std::vector<std::string>& tags, std::int64_t replayNs,
                  Ctx& ctx) {
    const FaultConfig& f = cfg_.faults;
    std::string fate = "sent";
    bool send = true;
    for (const auto& sel : f.noReply)
        if (matches(tags, sel)) {
            fate = "suppressed";
            send = false;
        }
    if (send && f.dropEvery && matches(tags, f.dropMatch) && ++dropCounter_ % f.dropEvery == 0) {
        fate = "dropped";
        send = false;
    }
    if (send) {
        for (const auto& sel : f.garbage)
            if (matches(tags, sel)) {
                // Noise of the same length that differs from the real reply.
                for (auto& b : bytes) {
                    std::uint8_t n = static_cast<std::uint8_t>(noise());
                    b = n == b ? static_cast<std::uint8_t>(~n) : n;
                }
                fate = "garbage";
                break;
            }
        for (const auto& kv : f.truncate)
            if (matches(tags, kv.first)) {
                if (bytes.size() > kv.second) bytes.resize(kv.second);
                fate = "truncated";
                break;
            }
    }
    // A sync answers when the timeline reaches it: the host's flow control
    // counts on that. Discovery answers at once.
    const bool reached = cfg_.paceReplies || tags[0] == "sync";
    std::int64_t sendAt = reached ? std::max(ctx.arrivalNs, replayNs) : ctx.arrivalNs;
    std::uint32_t delay = 0;
    for (const auto& kv : f.delayMs)
        if (matches(tags, kv.first)) delay = std::max(delay, kv.second);
    if (send && delay && fate == "sent") fate = "delayed";
    sendAt += delay * 1000000ll;

    int copies = 0;
    if (send) {
        copies = 1;
        if (tags[0] == "discovery" && f.duplicateDiscovery) copies = 2;
        for (const auto& sel : f.duplicate)
            if (matches(tags, sel)) copies = 2;
    }
    bool foreign = false;
    for (const auto& sel : f.foreignReply)
        if (send && matches(tags, sel)) foreign = true;
    if (foreign) {
        // Another node's reply leaves just before the board's: same code and
        // target, the last byte differs, so a host that takes it shows it.
        std::vector<std::uint8_t> copy = bytes;
        if (!copy.empty()) copy.back() = static_cast<std::uint8_t>(~copy.back());
        Reply r{copy, sendAt, *ctx.from, index_};
        r.foreign = true;
        ctx.out->push_back(std::move(r));
    }
    RecordLine line(record_, "reply");
    line.str("board", cfg_.name)
        .num("seq", static_cast<std::int64_t>(ctx.seq))
        .str("tag", tags[0] == "query" ? tags.back() : tags[0])  // a query by its item, the rest by kind
        .str("fate", fate)
        .num("send_ns", sendAt)
        .str("to", addrText(ctx.from->addr))
        .num("to_port", ctx.from->port)
        .num("copies", copies)
        .hex("bytes", bytes.data(), bytes.size());
    if (foreign) line.str("foreign_from", f.foreignAddress);
    for (int i = 0; i < copies; ++i) ctx.out->push_back(Reply{bytes, sendAt, *ctx.from, index_});
}

}  // namespace vesk::sim
