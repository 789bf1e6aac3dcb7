"""What a slot of a simulated board received, from the simulator's record:
its writes in the form the decoder's expected_writes gives a file's, cut at
each time a file took the chip, and the board time each write spent on its
own waits."""
from collections import Counter

from .decoder import SCC, TWO_BANK


def slot_segments(rec, board, slot, chip):
    """What the slot received, cut at each clock command: segment 0 from the
    chip's creation, segment k from the k-th time a file took the chip (the
    chips of the test boards have variable clocks, so taking one sends its
    clock). Each segment: the writes in arrival order, as expected_writes
    gives them, with their replay times and whether the board played them
    the moment their datagram arrived (nothing queued ahead of them)."""
    arrival = {d["seq"]: d["arrival_ns"] for d in rec if d.get("type") == "datagram" and d.get("board") == board}
    at_once = lambda c: c["replay_ns"] - arrival.get(c["seq"], -10**18) < 2000
    segments = []
    cmds = [c for c in rec if c.get("type") == "command" and c.get("board") == board and c.get("slot") == slot
            and c["name"] in ("write_reg", "write_port", "set_clock")]
    i = 0
    while i < len(cmds):
        c = cmds[i]
        if c["name"] == "set_clock" or not segments:
            segments.append([])
            i += c["name"] == "set_clock"
        elif chip == SCC:
            trio = cmds[i:i + 3]
            if [x.get("port") for x in trio] == [13, 14, 15]:
                segments[-1].append((("scc", trio[0]["data"] << 8 | trio[1]["data"], trio[2]["data"]),
                                     trio[0]["replay_ns"], at_once(trio[0])))
                i += 3
            else:
                segments[-1].append((("scc?", c.get("port"), c.get("data")), c["replay_ns"], at_once(c)))
                i += 1
        else:
            segments[-1].append((slot_key(c, chip), c["replay_ns"], at_once(c)))
            i += 1
    return segments


def missing_count(got, want):
    """How many wanted writes are absent (as a multiset) from what arrived."""
    g, w = Counter(got), Counter(want)
    return sum((w - g).values())


def slot_key(command, chip):
    """A write command of the record as expected_writes gives the song's."""
    if command["name"] == "write_port":
        return ("p", 0, command["data"])
    bank = 1 if chip in TWO_BANK and command.get("port") == 2 else 0
    return ("r", bank, command["reg"] & 0xFF, command["data"])


def own_waits(writes):
    """{(board, slot, replay ns): own wait ns} of the record's write
    commands (the first of a slot at a time). An SCC write is three port
    writes (address high, low, data: ports 13, 14, 15) that slot_segments
    gives as one at the first's time: its wait is the three's."""
    own, trio = {}, {}   # trio: (board, slot) -> the key of its port-13 write, while the rest may follow
    for c in writes:
        key, slot = (c["board"], c.get("slot"), c["replay_ns"]), (c["board"], c.get("slot"))
        port = c.get("port") if c["name"] == "write_port" else None
        if port in (14, 15) and slot in trio:
            own[trio[slot]] += own_wait_ns(c)
            if port == 15:
                del trio[slot]
            continue
        trio.pop(slot, None)
        own.setdefault(key, own_wait_ns(c))
        if port == 13:
            trio[slot] = key
    return own


def own_wait_ns(command):
    """The board time a write spends on its own wait bytes (W1 + W2 of a
    register write, W of a port write), from the record's bytes."""
    b = bytes.fromhex(command.get("bytes", ""))
    if command["name"] == "write_reg" and len(b) >= 7:
        return (b[5] + b[6]) * 1000
    return b[4] * 1000 if command["name"] == "write_port" and len(b) >= 5 else 0
