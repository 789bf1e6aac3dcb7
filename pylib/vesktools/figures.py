"""How a board's take of a song matched the file: a song's figures from the
simulator's record against the file's writes (the decoder's) and the
player's report, its write calls (vesk_play --write-times) and CPU samples
(SAMPLER, run beside the player). `make fidelity`'s tables, the player's
timeline check and `make demo` read them."""
import json
import math
import statistics
from collections import defaultdict, deque

from .bed import read_record
from .decoder import SCC, PSG, TWO_BANK, decode, expected_writes
from .slots import own_waits, slot_segments


def percentile(values, q):
    v = sorted(values)
    return v[min(len(v) - 1, int(len(v) * q))] if v else float("nan")


def match(got, want):
    """Pairs each received write with the file's write it is (the earliest
    unused equal one). Returns [(got index, want index)] and how many
    arrived before a write the file has earlier (reordered)."""
    queues = defaultdict(deque)
    for i, w in enumerate(want):
        queues[w].append(i)
    pairs, reordered, top = [], 0, -1
    for i, g in enumerate(got):
        if queues[g]:
            j = queues[g].popleft()
            pairs.append((i, j))
            reordered += j < top
            top = max(top, j)
    return pairs, reordered


def analyse(song, seconds, entry, rec, boards, uses, cpu=None, calls=None):
    """One song's row from the run's record (figures() of the file's writes
    in the excerpt)."""
    return figures(decode(song, seconds), entry, rec, boards, uses, cpu, calls)


def figures(decoded, entry, rec, boards, uses, cpu=None, calls=None):
    """One song's row: `decoded` is the file's writes per (chip, instance)
    as decoder.decode gives them, `entry` the player's report of the song.
    `uses` counts, per (board, slot), the files that took the chip before
    this one, and keeps per board name the last datagram the file before
    had there (both updated here); `cpu` is the player's [(monotonic ns,
    cpu ns)] samples, `calls` its write calls per part name
    ({part: [(ns, address, data)]}, read_write_times), or None."""
    by_addr = {b["address"]: b for b in boards}
    datagrams = [d for d in rec if d.get("type") == "datagram"]
    arrival = {(d["board"], d["seq"]): (d["arrival_ns"], d["len"]) for d in datagrams}
    chained_dgram = {(d["board"], d["seq"]) for d in datagrams if d.get("chained") is True}
    writes = [c for c in rec if c.get("type") == "command" and c.get("name") in ("write_reg", "write_port")]
    # A write at the board is known by its board, slot and time (a command
    # with no wait of its own shares its time with the next: the first is it).
    seq_of = {}
    for c in writes:
        seq_of.setdefault((c["board"], c.get("slot"), c["replay_ns"]), c["seq"])
    own_of = own_waits(writes)
    row = dict(excerpt=0, at_board=0, lost=0, reordered=0, dgram=0, buffer=0, chained=0, dropped=0)
    timed = []   # (file ns, board ns)
    on_board = defaultdict(list)   # board -> [(file ns, board ns, own wait ns, chained)]
    first_dgram = defaultdict(dict)   # board -> seq -> file ns of its first write
    last_seq = {}   # board -> the last datagram of the song's takes there
    transport = defaultdict(list)   # board -> [(call ns, board ns, own wait ns)]
    for part in entry["chips"]:
        chip, _, second = part["part"].partition(" ")
        want_raw = decoded.get((chip, 1 if second else 0), [])
        if part.get("model") is None:
            continue
        board = by_addr[part["address"]]
        name = board["name"]
        key = (name, part["slot"])
        uses[key] = uses.get(key, 0) + 1
        segments = slot_segments(rec, name, part["slot"], chip)
        want = expected_writes(chip, want_raw)
        row["excerpt"] += len(want)
        row["buffer"] = max(row["buffer"], board.get("buffer_size", 0))
        if len(segments) <= uses[key]:
            row["lost"] += len(want)
            continue
        silence = [w[0] for w in segments[0]]
        take = segments[uses[key]]
        got = [w[0] for w in take]
        body = len(got) - len(silence) if got[len(got) - len(silence):] == silence else len(got)
        pairs, reordered = match(got[:body], want)
        row["at_board"] += len(pairs)
        row["lost"] += len(want) - len(pairs)
        row["reordered"] += reordered
        at = lambda t: (name, part["slot"], t)
        seqs = [seq_of[at(t)] for _, t, _ in take if at(t) in seq_of]
        if seqs:
            last_seq[name] = max(last_seq.get(name, -1), max(seqs))
        for i, j in pairs:
            file_ns, board_ns = want_raw[j][0] * 1e9 / 44100, take[i][1]
            seq = seq_of.get(at(board_ns))
            chained = (name, seq) in chained_dgram
            row["chained"] += chained
            timed.append((file_ns, board_ns))
            on_board[name].append((file_ns, board_ns, own_of.get(at(board_ns), 0), chained))
            if seq is not None:
                known = first_dgram[name].get(seq)
                first_dgram[name][seq] = file_ns if known is None else min(known, file_ns)
        # The same pairing against the player's calls: each write at the
        # board with the earliest unused call that wrote it.
        made = (calls or {}).get(part["part"], [])
        call_pairs, _ = match(got[:body], [call_write(chip, a, d) for _, a, d in made])
        transport[name] += [(made[k][0], take[i][1], own_of.get(at(take[i][1]), 0)) for i, k in call_pairs]
    # Datagrams dropped for want of buffer on the song's boards: those after
    # the last datagram of the file before there, up to the song's own last.
    for name, hi in last_seq.items():
        lo = uses.get(name, -1)
        row["dropped"] += sum(1 for d in datagrams if d.get("overflow") and d["board"] == name and lo < d["seq"] <= hi)
        uses[name] = hi
    if timed:
        f0, b0 = min(timed)
        errors = [abs((b - b0) - (f - f0)) / 1000 for f, b in timed]
        row.update(p50=percentile(errors, 0.5), p99=percentile(errors, 0.99), max=max(errors))
        # The same about the median offset: how steady the timeline is when
        # the first write alone came early or late.
        mid = statistics.median(b - f for f, b in timed)
        row["steady_p99"] = percentile([abs(b - f - mid) / 1000 for f, b in timed], 0.99)
        # Against what the chip could have played: a board plays its writes
        # one after another, each no sooner than the one before plus that
        # one's own waits, so writes a file puts at one sample (a PCM upload,
        # a bank of registers at a song's start) are late on any board. The
        # ideal board plays each at its file time or as soon as it is free;
        # the difference from it is what vesk added.
        chip = {False: [], True: []}   # by chained
        for writes_of in on_board.values():
            free = float("-inf")
            for f, b, own, chained in sorted(writes_of):
                ideal = max(b0 + (f - f0), free)
                chip[chained].append(abs(b - ideal) / 1000)
                free = ideal + own
        both = chip[False] + chip[True]
        row.update(chip_p99=percentile(both, 0.99), chip_max=max(both))
        for chained, label in ((True, "chained"), (False, "anchored")):
            if chip[chained]:
                row.update({label + "_p99": percentile(chip[chained], 0.99), label + "_max": max(chip[chained])})
    # The transport's part: each write's board time against the player's
    # call for it or, as for vs chip, as soon as the chip is free of the
    # writes before, plus the board's median of the difference (its
    # latency; taken after the chip's pace, so that a song of bursts the
    # chip spreads out does not move it).
    spread = []
    for timeline in filter(None, transport.values()):
        free, offsets = float("-inf"), []
        for c, b, own in sorted(timeline):
            ideal = max(c, free)
            offsets.append(b - ideal)
            free = ideal + own
        mid = statistics.median(offsets)
        spread += [abs(o - mid) / 1000 for o in offsets]
    if spread:
        row.update(transport_p99=percentile(spread, 0.99), transport_max=max(spread))
    lateness, span = [], []
    for name, seqs in first_dgram.items():
        d = [arrival[(name, s)][0] - f for s, f in seqs.items() if (name, s) in arrival]
        mid = statistics.median(d) if d else 0
        lateness += [abs(x - mid) / 1000 for x in d]
        for s in seqs:
            if (name, s) in arrival:
                row["dgram"] = max(row["dgram"], arrival[(name, s)][1])
                span.append(arrival[(name, s)][0])
    row["deadline_p99"] = percentile(lateness, 0.99)
    row["cpu"] = cpu_share(cpu, min(span), max(span)) if cpu and span else float("nan")
    return row


def call_write(chip, address, data):
    """A write call of the player (address and data as it gave them to the
    library) as the slot records it (slots.slot_segments' form)."""
    if chip == PSG:
        return ("p", 0, data)
    if chip == SCC:
        return ("scc", address, data)
    return ("r", address >> 8 & 1 if chip in TWO_BANK else 0, address & 0xFF, data)


def read_write_times(path):
    """vesk_play --write-times: {file index: {part name: [(ns, address, data)]}}."""
    files, parts, names, t = {}, {}, {}, 0
    with open(path) as f:
        for line in f:
            w = line.split()
            if w[0] == "file":
                parts, names, t = files.setdefault(int(w[1]), {}), {}, 0
            elif w[0] == "part":
                names[int(w[1])] = " ".join(w[2:])
                parts[names[int(w[1])]] = []
            else:
                t += int(w[1])
                parts[names[int(w[0])]].append((t, int(w[2], 16), int(w[3], 16)))
    return files


def cut_record(record, out, entry, uses=None):
    """Writes `record` to `out` with, on the boards of `entry`'s parts, only
    the commands from the file's first write to the next file's taking of
    the chips (the library's start-up writes and other files' cut), so that
    the simulator's VGM of it starts where the file does. `uses` counts the
    files before this one per (board, slot) as analyse() does (updated)."""
    uses = {} if uses is None else uses
    rec = read_record(record)
    span = {}
    for part in entry["chips"]:
        if not part.get("model"):
            continue
        key = (part["board"], part["slot"])
        uses[key] = uses.get(key, 0) + 1
        take = slot_segments(rec, part["board"], part["slot"], part["part"].split(" ")[0])
        if len(take) <= uses[key] or not take[uses[key]]:
            continue
        start = take[uses[key]][0][1]
        clocks = [c["replay_ns"] for c in rec if c.get("type") == "command" and c.get("board") == part["board"]
                  and c.get("slot") == part["slot"] and c["name"] == "set_clock" and c["replay_ns"] > start]
        end = clocks[0] if clocks else float("inf")
        s0, e0 = span.get(part["board"], (start, end))
        span[part["board"]] = (min(s0, start), min(e0, end))
    with open(out, "w") as f:
        for e in rec:
            if e.get("type") == "command" and e.get("board") in span:
                s0, e0 = span[e["board"]]
                if not s0 <= e["replay_ns"] < e0:
                    continue
            f.write(json.dumps(e) + "\n")
    return span


def cpu_share(samples, t0, t1):
    """CPU time over wall time between the samples nearest t0 and t1."""
    inside = [s for s in samples if t0 <= s[0] <= t1]
    if len(inside) < 2:
        return float("nan")
    (a, ca), (b, cb) = inside[0], inside[-1]
    return (cb - ca) / (b - a) if b > a else float("nan")


SAMPLER = r'''
import os, sys, time
record, out = sys.argv[1], sys.argv[2]
tick = 1e9 / os.sysconf("SC_CLK_TCK")
pid = None
with open(out, "w") as f:
    while True:
        if pid is None:
            for p in filter(str.isdigit, os.listdir("/proc")):
                try:
                    comm = open("/proc/%s/comm" % p).read().strip()
                    env = open("/proc/%s/environ" % p, "rb").read().split(b"\0")
                except OSError:
                    continue
                if comm.startswith("vesk_play") and ("VESK_SIM_RECORD=" + record).encode() in env:
                    pid = p
                    break
        else:
            try:
                st = open("/proc/%s/stat" % pid).read().rsplit(")", 1)[1].split()
            except OSError:
                break
            f.write("%d %d\n" % (time.clock_gettime_ns(time.CLOCK_MONOTONIC), (int(st[11]) + int(st[12])) * tick))
            f.flush()
        time.sleep(0.05)
'''


def us(*values):
    """Figures in us joined by " / ", "-" for those there are none of."""
    return " / ".join("-" if v is None or math.isnan(v) else "%.0f" % v for v in values)
