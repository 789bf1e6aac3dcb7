#!/usr/bin/env python3
"""How faithfully the boards play real songs: plays an excerpt of each corpus
song with vesk_play to simulated boards holding its chips (natively, and the
Windows builds under Wine), then reads the simulator's record against the
file (decoded independently of the player: vesktools.decoder).
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
import argparse, contextlib, json, math, os, shutil, statistics, subprocess, sys, tempfile, time

from vesktools.bed import read_record, sim_boards
from vesktools.figures import SAMPLER, analyse, read_write_times, us

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

PLATFORMS = {  # name -> (build dir, player, library, under Wine)
    "native": ("build/linux", "vesk_play", "libvesk.so", False),
    "win64": ("build/win64", "vesk_play.exe", "vesk.dll", True),
    "win32": ("build/win32", "vesk_play.exe", "vesk.dll", True),
}
# A platform's name is its kind, or its kind and a label ("native-before",
# from a tree given with --builds).
kind_of = lambda name: name.split("-", 1)[0]


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
