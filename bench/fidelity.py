#!/usr/bin/env python3
"""How faithfully the boards play real songs: plays an excerpt of each corpus
song with vesk_play to simulated boards holding its chips (natively, and the
Windows builds under Wine), then reads the simulator's record against the
file (decoded independently of the player, by tests/vesk_play/play_e2e.py).
Each platform plays the songs once per path (--paths): "timed", the player's
default, hands the library each write's file time a little ahead of the
music; "paced" (vesk_play --paced) calls the library at each write's moment.
A table is headed by the platform and the path its report says was taken
(a library without timed writes plays paced whatever was asked: "paced
(library has no timed writes)"), a row per song:
  writes   in the excerpt / at the board / lost / reordered
  timing   board time - file time of every write, after aligning the song's
           first write, |error| p50 / p99 / max in us; then its p99 about
           the median offset instead ("steady": the first write alone off)
  vs chip  board time against an ideal board's: each write at its file time
           or, when the chip is still busy with the writes before it (their
           own waits), as soon as it is free: |error| p99 / max in us
  dgram    largest datagram / the board's buffer, in bytes
  deadline when each datagram arrived against the file time of its first
           write, less the board's median of that (its latency): p99 in us
  pacing   the player's own figure, p99 us: how late its write calls were
           against when it meant to make them (paced: the write's file time;
           timed: its hand-over, that much ahead of the file time)
  cpu      vesk_play's process (all its threads; under Wine the Windows
           program's process, not wineserver) CPU time over wall time, from
           the song's first datagram to its last: % of one core
and a second table, how the boards took the datagrams:
  dropped  datagrams the song's boards dropped for want of buffer
  chained  the song's writes that came in chained datagrams (the board was
           still playing an earlier one when it arrived, so its own clock
           timed them), in %
  vs chip  the vs chip error above, of writes in chained datagrams and of
           those in anchored ones (timed by their arrival): p99 / max in us
  transport each write's board time against the time the player gave the
           library for it (timed: the time it handed over; paced: the
           call's) or, as for vs chip, as soon as the chip is free, plus the
           board's median of the difference: |error| p99 / max in us (the
           library and the network alone, the player's pacing left out)
At the end a summary, a line per platform and path: over its songs, the
median and the worst song of vs chip p99, vs chip max and cpu.
Figures, not pass/fail (exit 0 unless nothing could run).
  fidelity.py [--seconds S] [--platforms native,win64,win32] [--paths timed,paced]
              [--load N] [--buffer BYTES] [--jitter MS] [--ppm PPM]
              [--builds NAME=DIR,...] [SONG ...]"""
import argparse, contextlib, json, math, os, shutil, statistics, subprocess, sys, tempfile, time, tomllib
from collections import defaultdict, deque

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "vesk_play"))
sys.path.insert(0, os.path.join(REPO, "tests", "support"))
import play_e2e  # noqa: E402  (its decoder and record analysis)
from bed_results import read_record, sim_boards  # noqa: E402

PLATFORMS = {  # name -> (build dir, player, library, under Wine)
    "native": ("build/linux", "vesk_play", "libvesk.so", False),
    "win64": ("build/win64", "vesk_play.exe", "vesk.dll", True),
    "win32": ("build/win32", "vesk_play.exe", "vesk.dll", True),
}
# A platform's name is its kind, or its kind and a label ("native-before",
# from a tree given with --builds).
kind_of = lambda name: name.split("-", 1)[0]


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
    return figures(play_e2e.decode(song, seconds), entry, rec, boards, uses, cpu, calls)


def figures(decoded, entry, rec, boards, uses, cpu=None, calls=None):
    """One song's row: `decoded` is the file's writes per (chip, instance)
    as play_e2e.decode gives them, `entry` the player's report of the song.
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
        segments = play_e2e.slot_segments(rec, name, part["slot"], chip)
        want = play_e2e.expected_writes(chip, want_raw)
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
    library) as the slot records it (play_e2e.slot_segments' form)."""
    if chip == "SN76489":
        return ("p", 0, data)
    if chip == "K051649":
        return ("scc", address, data)
    return ("r", address >> 8 & 1 if chip in play_e2e.TWO_BANK else 0, address & 0xFF, data)


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
        take = play_e2e.slot_segments(rec, part["board"], part["slot"], part["part"].split(" ")[0])
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


@contextlib.contextmanager
def busy(count):
    """`count` processes keeping a core each busy while the block runs, as
    other programs keep a user's PC busy."""
    procs = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(count)]
    try:
        yield
    finally:
        for p in procs:
            p.kill()
            p.wait()


def board_config(config, out, keys):
    """Writes to `out` the simulator configuration `config` with each of
    `keys` (name: number) set on every board, in place of its own."""
    lines, in_board = [], False
    with open(config) as f:
        for line in f:
            s = line.strip()
            if s.startswith("["):
                in_board = s.replace(" ", "") == "[[board]]"
                lines.append(line)
                lines += ["%s = %s\n" % (k, v) for k, v in keys.items()] if in_board else []
            elif not (in_board and s.split("=", 1)[0].strip() in keys):
                lines.append(line)
    with open(out, "w") as f:
        f.writelines(lines)
    boards = sim_boards(out)
    assert all(b.get(k) == v for b in boards for k, v in keys.items()), "%s: keys not set on every board" % out


def run(platform, songs, seconds, config, sim, build=None, load=0, paced=False):
    """Plays the songs in one bed run, the player and library from `build`
    (the platform's own tree when None) while `load` busy processes run,
    with vesk_play --paced when `paced` (a player from before timed writes
    has no such option and paces anyway); returns (report, record, cpu
    samples, write calls) or a reason. The write calls are
    read_write_times' per file index; None when the player cannot write
    them (a build from before --write-times)."""
    default, player, library, wine = PLATFORMS[kind_of(platform)]
    paths = [os.path.join(REPO, build or default, "bin", f) for f in (player, library)]
    if not all(os.path.exists(p) for p in paths):
        return "not built (%s)" % ", ".join(p for p in paths if not os.path.exists(p))
    with open(paths[0], "rb") as f:
        text = f.read()
    timed, knows_paced = b"--write-times" in text, b"--paced" in text
    work = tempfile.mkdtemp(prefix="vesk-fidelity-")
    try:
        for p in paths:
            shutil.copy(p, work)
        with open(os.path.join(work, "sampler.py"), "w") as f:
            f.write(SAMPLER)
        record, report, samples, times = (os.path.join(work, n) for n in
                                          ("record.jsonl", "report.json", "cpu.txt", "times.txt"))
        z = (lambda p: "Z:" + p.replace("/", "\\")) if wine else (lambda p: p)
        cmd = [os.path.join(REPO, "tools/testbed/testbed.sh"), "run", "--quiet", "--sim", sim, "--config", config,
               "--record", record, "--alongside", "python3 %s %s %s" % (os.path.join(work, "sampler.py"), record, samples)]
        cmd += (["--wine"] if wine else []) + ["--", os.path.join(work, player), "--quiet", "--seconds", str(seconds),
                                               "--report", z(report)]
        cmd += ["--paced"] if paced and knows_paced else []
        cmd += (["--write-times", z(times)] if timed else []) + [z(s) for s in songs]
        with busy(load):
            p = subprocess.run(cmd, capture_output=True, text=True, timeout=120 + len(songs) * (seconds + 10))
        if p.returncode == 77 or not os.path.exists(report):
            lines = p.stderr.strip().splitlines()
            return "did not run (exit %d: %s)" % (p.returncode, lines[-1] if lines else "")
        cpu = [tuple(map(int, l.split())) for l in open(samples)] if os.path.exists(samples) else []
        calls = read_write_times(times) if timed and os.path.exists(times) else None
        return json.load(open(report, encoding="utf-8")), read_record(record), cpu, calls
    finally:
        shutil.rmtree(work, ignore_errors=True)


def path_taken(asked, report):
    """The path the player's report says its files took, told as `asked`
    when it is that; else what it was, and why when it can tell. A player
    from before timed writes reports no pacing: it paced."""
    taken = {e.get("pacing", "paced") for e in report["files"] if e.get("ok")}
    if not taken or taken == {asked}:
        return asked
    if taken == {"paced"} and asked == "timed":
        told = any("pacing" in e for e in report["files"])
        return "paced (%s has no timed writes)" % ("library" if told else "player")
    return "%s (%s was asked)" % (" and ".join(sorted(taken)), asked)


def us(*values):
    """Figures in us joined by " / ", "-" for those there are none of."""
    return " / ".join("-" if v is None or math.isnan(v) else "%.0f" % v for v in values)


def table(title, seconds, songs, result, boards):
    print("\n" + title)
    head = ("song", "writes: excerpt / board / lost / reord", "timing |err| us: p50 / p99 / max / steady p99",
            "vs chip us: p99 / max", "dgram / buffer", "deadline p99 us", "pacing p99 us", "cpu")
    print("| " + " | ".join(head) + " |\n|" + "---|" * len(head))
    if isinstance(result, str):
        print("| (all) | %s | | | | | | |" % result)
        return []
    rep, rec, cpu, calls = result
    by_name = {os.path.basename(e["file"].replace("\\", "/")): (i, e) for i, e in enumerate(rep["files"])}
    uses, rows = {}, []
    for song in songs:
        name = os.path.basename(song)
        i, e = by_name.get(name, (None, None))
        if not e or not e["ok"]:
            print("| %s | not played: %s | | | | | | |" % (name, (e or {}).get("error", "no report")))
            continue
        r = analyse(song, seconds, e, rec, boards, uses, cpu, None if calls is None else calls.get(i, {}))
        rows.append((name, r))
        g = lambda k: r.get(k)
        print("| %s | %d / %d / %d / %d | %s | %s | %d / %d | %s | %d | %.1f%% |" % (
            name, r["excerpt"], r["at_board"], r["lost"], r["reordered"],
            us(g("p50"), g("p99"), g("max"), g("steady_p99")), us(g("chip_p99"), g("chip_max")), r["dgram"],
            r["buffer"], us(r["deadline_p99"]), e["pacing_us"]["p99"], 100 * r["cpu"]))
    if not rows:
        return rows
    print()
    head = ("song", "dropped (no buffer)", "chained", "vs chip, chained us: p99 / max",
            "vs chip, anchored us: p99 / max", "transport |err| us: p99 / max")
    print("| " + " | ".join(head) + " |\n|" + "---|" * len(head))
    for name, r in rows:
        g = lambda k: r.get(k)
        print("| %s | %d | %s | %s | %s | %s |" % (
            name, r["dropped"], "%.1f%%" % (100 * r["chained"] / r["at_board"]) if r["at_board"] else "-",
            us(g("chained_p99"), g("chained_max")), us(g("anchored_p99"), g("anchored_max")),
            us(g("transport_p99"), g("transport_max"))))
    if calls is None:
        print("(transport: this player does not write its call times)")
    return rows


def summary(runs):
    """A line per (platform and path, [(song, row)]) of `runs`: the median
    over its songs and the worst song of vs chip p99 and max, and of cpu."""
    print("\nSummary: median over the songs / the worst song")
    head = ("platform, path", "songs", "vs chip p99 us", "vs chip max us", "cpu")
    print("| " + " | ".join(head) + " |\n|" + "---|" * len(head))
    for label, rows in runs:
        cells = []
        for key, show in (("chip_p99", lambda v: "%.0f" % v), ("chip_max", lambda v: "%.0f" % v),
                          ("cpu", lambda v: "%.1f%%" % (100 * v))):
            got = [(r[key], name) for name, r in rows if r.get(key) is not None and not math.isnan(r[key])]
            if got:
                worst = max(got)
                cells.append("%s / %s (%s)" % (show(statistics.median(v for v, _ in got)), show(worst[0]), worst[1]))
            else:
                cells.append("-")
        print("| %s | %d | %s |" % (label, len(rows), " | ".join(cells)))


def heading(platform, path, seconds, build, a):
    """The table's heading: the platform, the path, and what differs from a
    plain run."""
    parts = ["%s, %s, %g s excerpts" % (platform, path, seconds)]
    if build:
        parts.append("from %s" % build)
    if a.load:
        parts.append("%d busy process%s beside" % (a.load, "es" if a.load > 1 else ""))
    for value, text in ((a.buffer, "board buffers %d bytes"), (a.jitter, "network jitter 0-%g ms"),
                        (a.ppm, "board clocks %+g ppm")):
        if value is not None:
            parts.append(text % value)
    return ", ".join(parts)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("songs", nargs="*", help="corpus files (default: every song)")
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--platforms", default="native,win64,win32")
    ap.add_argument("--paths", default="timed,paced", help="timed, paced or both (timed,paced): each platform "
                    "plays the songs once per path, timed as the player does by default, paced with --paced")
    ap.add_argument("--corpus", default=os.environ.get("VESK_CORPUS", os.path.join(REPO, "..", "shared", "corpus")))
    ap.add_argument("--config", default=os.path.join(REPO, "tests/vesk_play/all_chips.toml"))
    ap.add_argument("--sim", default=os.path.join(REPO, "build/linux/bin/vesk_sim"))
    ap.add_argument("--load", type=int, default=0, help="busy processes running while each platform plays")
    ap.add_argument("--buffer", type=int, help="every board's buffer_size, bytes")
    ap.add_argument("--jitter", type=float, help="every board's jitter_ms: each datagram 0 to MS late")
    ap.add_argument("--ppm", type=float, help="every board's clock_ppm: its clock this far off")
    ap.add_argument("--builds", default="", help="NAME=DIR,...: play platform NAME (native, win64, win32, or one "
                    "of them with a label: native-before) from the build tree DIR (relative to the repository); "
                    "names not in --platforms are played after them")
    a = ap.parse_args()
    if not os.path.isdir(a.corpus):
        sys.exit("no corpus at %s (--corpus or VESK_CORPUS)" % a.corpus)
    builds = dict(b.split("=", 1) for b in a.builds.split(",") if b)
    platforms = a.platforms.split(",")
    platforms += [b for b in builds if b not in platforms]
    for name in platforms:
        if kind_of(name) not in PLATFORMS:
            sys.exit("unknown platform %s (native, win64, win32, or one of them-LABEL)" % name)
    paths = [p for p in a.paths.split(",") if p]
    if not paths or any(p not in ("timed", "paced") for p in paths):
        sys.exit("--paths: timed, paced or timed,paced")
    names = a.songs or sorted(f for f in os.listdir(a.corpus) if f.endswith((".vgm", ".vgz")))
    songs = [os.path.join(a.corpus, n) for n in names]
    keys = {k: v for k, v in (("buffer_size", a.buffer), ("jitter_ms", a.jitter), ("clock_ppm", a.ppm))
            if v is not None}
    ran, runs = 0, []
    with tempfile.TemporaryDirectory(prefix="vesk-fidelity-config-") as tmp:
        config = a.config
        if keys:
            config = os.path.join(tmp, os.path.basename(a.config))
            board_config(a.config, config, keys)
        boards = sim_boards(config)
        for platform in platforms:
            for path in paths:
                t = time.time()
                result = run(platform, songs, a.seconds, config, a.sim, builds.get(platform), a.load,
                             paced=path == "paced")
                ran += not isinstance(result, str)
                taken = path if isinstance(result, str) else path_taken(path, result[0])
                rows = table(heading(platform, taken, a.seconds, builds.get(platform), a), a.seconds, songs,
                             result, boards)
                runs.append(("%s, %s" % (platform, taken), rows))
                print("(%.0f s)" % (time.time() - t))
    summary(runs)
    return 0 if ran else 1


if __name__ == "__main__":
    sys.exit(main())
