#!/usr/bin/env python3
"""How faithfully the boards play real songs: plays an excerpt of each corpus
song with vesk_play to simulated boards holding its chips (natively, and the
Windows builds under Wine), then reads the simulator's record against the
file (decoded independently of the player, by tests/vesk_play/play_e2e.py)
and prints one table per platform, a row per song:
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
  pacing   the player's own figure: its write calls against the file's clock, p99 us
  cpu      vesk_play's CPU time over the wall time of the song's writes
Figures, not pass/fail (exit 0 unless nothing could run).
  fidelity.py [--seconds S] [--platforms native,win64,win32] [SONG ...]"""
import argparse, json, os, shutil, statistics, subprocess, sys, tempfile, time
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


def analyse(song, seconds, entry, rec, boards, uses, cpu=None):
    """One song's row from the run's record. `uses` counts, per (board,
    slot), the files that took the chip before this one (updated here);
    `cpu` is the player's [(monotonic ns, cpu ns)] samples, or None."""
    decoded = play_e2e.decode(song, seconds)
    by_addr = {b["address"]: b for b in boards}
    arrival = {(d["board"], d["seq"]): (d["arrival_ns"], d["len"]) for d in rec if d.get("type") == "datagram"}
    writes = [c for c in rec if c.get("type") == "command" and c.get("name") in ("write_reg", "write_port")]
    seq_of = {(c["board"], c["replay_ns"]): c["seq"] for c in writes}
    own_of = {(c["board"], c["replay_ns"]): own_wait_ns(c) for c in writes}
    row = dict(excerpt=0, at_board=0, lost=0, reordered=0, dgram=0, buffer=0)
    timed = []   # (file ns, board ns)
    on_board = defaultdict(list)   # board -> [(file ns, board ns, own wait ns)]
    first_dgram = defaultdict(dict)   # board -> seq -> file ns of its first write
    for part in entry["chips"]:
        chip, _, second = part["part"].partition(" ")
        want_raw = decoded.get((chip, 1 if second else 0), [])
        if part.get("model") is None:
            continue
        board = by_addr[part["address"]]
        key = (board["name"], part["slot"])
        uses[key] = uses.get(key, 0) + 1
        segments = play_e2e.slot_segments(rec, board["name"], part["slot"], chip)
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
        for i, j in pairs:
            file_ns, board_ns = want_raw[j][0] * 1e9 / 44100, take[i][1]
            timed.append((file_ns, board_ns))
            on_board[board["name"]].append((file_ns, board_ns, own_of.get((board["name"], board_ns), 0)))
            seq = seq_of.get((board["name"], board_ns))
            if seq is not None:
                known = first_dgram[board["name"]].get(seq)
                first_dgram[board["name"]][seq] = file_ns if known is None else min(known, file_ns)
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
        chip = []
        for writes_of in on_board.values():
            free = float("-inf")
            for f, b, own in sorted(writes_of):
                ideal = max(b0 + (f - f0), free)
                chip.append(abs(b - ideal) / 1000)
                free = ideal + own
        row.update(chip_p99=percentile(chip, 0.99), chip_max=max(chip))
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


def run(platform, songs, seconds, config, sim):
    """Plays the songs in one bed run; returns (report, record, cpu samples) or a reason."""
    build, player, library, wine = PLATFORMS[platform]
    paths = [os.path.join(REPO, build, "bin", f) for f in (player, library)]
    if not all(os.path.exists(p) for p in paths):
        return "not built (%s)" % ", ".join(p for p in paths if not os.path.exists(p))
    work = tempfile.mkdtemp(prefix="vesk-fidelity-")
    try:
        for p in paths:
            shutil.copy(p, work)
        with open(os.path.join(work, "sampler.py"), "w") as f:
            f.write(SAMPLER)
        record, report, samples = (os.path.join(work, n) for n in ("record.jsonl", "report.json", "cpu.txt"))
        z = (lambda p: "Z:" + p.replace("/", "\\")) if wine else (lambda p: p)
        cmd = [os.path.join(REPO, "tools/testbed/testbed.sh"), "run", "--quiet", "--sim", sim, "--config", config,
               "--record", record, "--alongside", "python3 %s %s %s" % (os.path.join(work, "sampler.py"), record, samples)]
        cmd += (["--wine"] if wine else []) + ["--", os.path.join(work, player), "--quiet", "--seconds", str(seconds),
                                               "--report", z(report)] + [z(s) for s in songs]
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=120 + len(songs) * (seconds + 10))
        if p.returncode == 77 or not os.path.exists(report):
            lines = p.stderr.strip().splitlines()
            return "did not run (exit %d: %s)" % (p.returncode, lines[-1] if lines else "")
        cpu = [tuple(map(int, l.split())) for l in open(samples)] if os.path.exists(samples) else []
        return json.load(open(report, encoding="utf-8")), read_record(record), cpu
    finally:
        shutil.rmtree(work, ignore_errors=True)


def table(platform, seconds, songs, result, boards):
    print("\n%s, %g s excerpts" % (platform, seconds))
    head = ("song", "writes: excerpt / board / lost / reord", "timing |err| us: p50 / p99 / max / steady p99",
            "vs chip us: p99 / max", "dgram / buffer", "deadline p99 us", "pacing p99 us", "cpu")
    print("| " + " | ".join(head) + " |\n|" + "---|" * len(head))
    if isinstance(result, str):
        print("| (all) | %s | | | | | | |" % result)
        return
    rep, rec, cpu = result
    by_name = {os.path.basename(e["file"].replace("\\", "/")): e for e in rep["files"]}
    uses = {}
    for song in songs:
        name = os.path.basename(song)
        e = by_name.get(name)
        if not e or not e["ok"]:
            print("| %s | not played: %s | | | | | | |" % (name, (e or {}).get("error", "no report")))
            continue
        r = analyse(song, seconds, e, rec, boards, uses, cpu)
        nan = float("nan")
        print("| %s | %d / %d / %d / %d | %.0f / %.0f / %.0f / %.0f | %.0f / %.0f | %d / %d | %.0f | %d | %.1f%% |" % (
            name, r["excerpt"], r["at_board"], r["lost"], r["reordered"], r.get("p50", nan), r.get("p99", nan),
            r.get("max", nan), r.get("steady_p99", nan), r.get("chip_p99", nan), r.get("chip_max", nan),
            r["dgram"], r["buffer"],
            r["deadline_p99"], e["pacing_us"]["p99"], 100 * r["cpu"]))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("songs", nargs="*", help="corpus files (default: every song)")
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--platforms", default="native,win64,win32")
    ap.add_argument("--corpus", default=os.environ.get("VESK_CORPUS", os.path.join(REPO, "..", "shared", "corpus")))
    ap.add_argument("--config", default=os.path.join(REPO, "tests/vesk_play/all_chips.toml"))
    ap.add_argument("--sim", default=os.path.join(REPO, "build/linux/bin/vesk_sim"))
    a = ap.parse_args()
    if not os.path.isdir(a.corpus):
        sys.exit("no corpus at %s (--corpus or VESK_CORPUS)" % a.corpus)
    names = a.songs or sorted(f for f in os.listdir(a.corpus) if f.endswith((".vgm", ".vgz")))
    songs = [os.path.join(a.corpus, n) for n in names]
    boards = sim_boards(a.config)
    ran = 0
    for platform in a.platforms.split(","):
        t = time.time()
        result = run(platform, songs, a.seconds, a.config, a.sim)
        ran += not isinstance(result, str)
        table(platform, a.seconds, songs, result, boards)
        print("(%.0f s)" % (time.time() - t))
    return 0 if ran else 1


if __name__ == "__main__":
    sys.exit(main())
