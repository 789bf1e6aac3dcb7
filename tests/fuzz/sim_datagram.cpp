// Fuzz target: the simulator's datagram parser. A board with two slots and
// the three kinds of I2C device receives the input's datagrams, each one a
// little-endian 16-bit length and its bytes (bit 0 of the first byte: sent to
// the all-nodes group). Its replies must be well framed and its record
// readable, holding every datagram as it came.
#include <sstream>

#include "fuzz_check.h"
#include "sim_board.h"
#include "sim_config.h"
#include "sim_record.h"

namespace {

using namespace vesk::sim;

const char* const kConfig = R"(
[[board]]
name = "FUZZ \"A\"\\"
link = "vb0"
address = "fe80::1"
buffer_size = 1024

  [[board.slot]]
  chip = "YM2151"
  clock = 4000000
  variable_clock = true
  hardware_reset = true

  [[board.slot]]
  chip = "YM2608"
  clock = 7987200
  ext_info = "PRE13=4000000"

  [[board.i2c]]
  address = 0x28
  type = "attenuator"

  [[board.i2c]]
  address = 0x3C
  type = "display"

  [[board.i2c]]
  address = 0x50
  type = "memory"
)";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const SimConfig config = parseConfig(kConfig, "fuzz.toml");
    vesk::fuzz::Input in(data, size);
    const bool multicast = in.byte() & 1;
    std::ostringstream record;
    Board board(config.boards[0], 0, &record);
    Peer from;
    from.addr[0] = 0xFE;
    from.addr[1] = 0x80;
    from.addr[15] = 2;
    from.port = 50003;

    std::vector<vesk::fuzz::Bytes> sent;
    std::int64_t arrival = 1000000;
    for (std::uint64_t seq = 0; !in.empty(); ++seq) {
        sent.push_back(in.take(in.u16()));
        const vesk::fuzz::Bytes& datagram = sent.back();
        std::vector<Reply> replies;
        board.receive(datagram.data(), datagram.size(), multicast, from, arrival, seq, replies);
        for (const Reply& r : replies) {
            // No faults are configured: every reply is one whole command.
            FUZZ_CHECK(!r.bytes.empty() && r.bytes.size() == r.bytes[0] + 1u);
            FUZZ_CHECK(r.to.addr == from.addr && r.to.port == from.port && r.sendAtNs >= arrival);
        }
        arrival += 1000000;
    }

    std::istringstream back(record.str());
    std::vector<RecordEntry> entries;
    std::string error;
    FUZZ_CHECK(readRecord(back, entries, &error));
    std::size_t datagrams = 0;
    for (const RecordEntry& e : entries) {
        if (e.type() != "datagram") continue;
        FUZZ_CHECK(datagrams < sent.size());
        const vesk::fuzz::Bytes& d = sent[datagrams++];
        FUZZ_CHECK(e.bytes("bytes") == std::vector<std::uint8_t>(d.data(), d.data() + d.size()));
    }
    FUZZ_CHECK(datagrams == sent.size());
    (void)summarize(entries);
    return 0;
}
