#!/usr/bin/env python3
"""vesk_play end to end: plays excerpts of corpus songs (one per chip family)
with the real player and library (native, or the Windows build under Wine)
to simulated boards in the network test bed, and checks against the
simulator's record that each slot received, in order and complete, the
writes the file holds for its chip in the excerpt (decoded here,
independently of the player), framed by the chip's silence before and
after; that parts on boards with different waits sound together; and that
Ctrl-C silences the chips, clears the host port and exits with 130.
Exit 77 when no test bed or corpus is there."""
import argparse, json, os, re, shlex, shutil, statistics, subprocess, sys, tempfile

from vesktools.bed import Checks, overflowed, read_record, sim_boards
from vesktools.decoder import PSG, decode, expected_writes
from vesktools.figures import figures
from vesktools.slots import missing_count, slot_segments

ON_TERMINAL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "on_terminal.py")

# One song per chip family; the YM2612 + SN76489 song spans the two boards.
FAMILY_SONGS = [
    "ym2151-desperate-confrontation.vgm",
    "ym2612-sn76489-s3k-icecap.vgm",
    "k051649-ay8910-nemesis2-journey.vgm",
    "ym2413-deva-boss.vgm",
    "ym3812-starport-bbs.vgm",
    "ymf262-cyberholix-at2.vgm",
    "y8950-xevious-title.vgm",
    "ym2203-ys-feena.vgz",
    "ym2608-4op-sine.vgm",
]


def arguments():
    ap = argparse.ArgumentParser()
    ap.add_argument("--testbed", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--player", required=True)
    ap.add_argument("--library", required=True)
    ap.add_argument("--config", required=True)
    ap.add_argument("--corpus", default=os.environ.get("VESK_CORPUS"))
    ap.add_argument("--wine", action="store_true")
    ap.add_argument("--sanitized", action="store_true", help="ASan or TSan builds: wider cross-board limit")
    ap.add_argument("--seconds", type=float, default=5.0)
    ap.add_argument("--only", help="these scenarios, comma-separated: excerpts, interrupt, drift, timeline, start, "
                    "fade, keys, playlist")
    ap.add_argument("--files", nargs="*", help="corpus files to play instead of the family set")
    ap.add_argument("--all", action="store_true", help="play every song of the corpus")
    ap.add_argument("--table", help="write a Markdown table of the results per file here")
    return ap


class Scenarios:
    """The scenarios over one set of options: their failures (check) and, per
    (board, slot), how many files took the chip so far (uses)."""

    def __init__(self, args):
        self.args = args
        self.checks = Checks()
        self.check = self.checks.check
        self.uses = {}
        self.library_log = ""

    def run_bed(self, player_args, wrapper=None, board_lines="", library=None, env=None, wait_ms=None, log=False,
                through=None):
        """Runs the player in the bed (started through the words `through`, a
        terminal's driver, outside Wine under --wine), board_lines added to every board of the
        configuration (and every board's latency wait_ms when given), beside
        `library` (default: the one under test), with `env` added to its
        environment; with log, the library's log on, its text left in
        self.library_log. Returns (returncode, stdout, stderr, record, report)."""
        args = self.args
        work = tempfile.mkdtemp(prefix="vesk-play-")
        config = args.config
        try:
            if board_lines or wait_ms:
                config = os.path.join(work, "boards.toml")
                with open(args.config) as f, open(config, "w") as out:
                    text = f.read().replace("[[board]]\n", "[[board]]\n" + board_lines)
                    out.write(re.sub(r"(?m)^wait_ms = \d+$", "wait_ms = %d" % wait_ms, text) if wait_ms else text)
            for f in (args.player, library or args.library):
                shutil.copy(f, work)
            if log:
                with open(os.path.join(work, "vesk_config.toml"), "w") as f:
                    f.write("[log]\nenabled = true\n")
            player = os.path.join(work, os.path.basename(args.player))
            record = os.path.join(work, "record.jsonl")
            report = os.path.join(work, "report.json")
            report_arg = ("Z:" + report.replace("/", "\\")) if args.wine else report
            cmd = [args.testbed, "run", "--quiet", "--sim", args.sim, "--config", config, "--record", record]
            if args.wine:
                cmd += ["--wine"]
            if through:
                cmd += ["--through", " ".join(through)]
            full = [player, "--report", report_arg] + player_args
            cmd += ["--"] + (wrapper(full) if wrapper else full)
            p = subprocess.run(cmd, capture_output=True, text=True, timeout=900, env=dict(os.environ, **(env or {})))
            if p.returncode == 77:
                print("SKIP:", p.stderr.strip().splitlines()[-1] if p.stderr.strip() else "no test bed")
                sys.exit(77)
            rep = json.load(open(report, encoding="utf-8")) if os.path.exists(report) else {"files": []}
            rec = read_record(record)
            if log and os.path.exists(os.path.join(work, "vesk.log")):
                self.library_log = open(os.path.join(work, "vesk.log"), encoding="utf-8", errors="replace").read()
            dropped = overflowed(rec)
            self.check(not dropped, "%d datagram(s) dropped for want of buffer: %s" % (len(dropped), dropped[:3]))
            err = p.stderr
            if p.returncode != 0:
                # A player on a terminal writes its errors there: the report's
                # and the output's last words say why it failed.
                err += "".join("\nreport: %s" % f["error"] for f in rep["files"] if f.get("error"))
                err += "\noutput ends: %s" % p.stdout[-600:]
            return p.returncode, p.stdout, err, rec, rep
        finally:
            shutil.rmtree(work, ignore_errors=True)


    def board_names(self):
        return {b["address"]: b["name"] for b in sim_boards(self.args.config)}


    def check_file(self, name, entry, rec):
        """Checks one file's parts; returns what each part's slot received, as text."""
        args = self.args
        status = []
        path = os.path.join(args.corpus, name)
        decoded = decode(path, args.seconds)
        names = self.board_names()
        offsets = {}
        for part in entry["chips"]:
            chip, _, second = part["part"].partition(" ")
            inst = 1 if second else 0
            want_raw = decoded.get((chip, inst), [])
            if part.get("model") is None:
                self.check(not want_raw, "%s: %s has writes but no chip" % (name, part["part"]))
                status.append("%s silent" % part["part"])
                continue
            board = names[part["address"]]
            key = (board, part["slot"])
            self.uses[key] = self.uses.get(key, 0) + 1
            segments = slot_segments(rec, board, part["slot"], chip)
            want = expected_writes(chip, want_raw)
            self.check(part["writes"] == len(want_raw), "%s: %s: the player counted %d writes, the file holds %d" % (
                name, part["part"], part["writes"], len(want_raw)))
            if not self.check(len(segments) > self.uses[key],
                              "%s: %s: the slot was never taken" % (name, part["part"])):
                continue
            # The segment holds the file's writes, then the silence the chip
            # sent when created (its reset at the end of the file), nothing else.
            silence = [w[0] for w in segments[0]]
            got_t = segments[self.uses[key]]
            got = [w[0] for w in got_t]
            lost = missing_count(got, want + silence)
            ok = got == want + silence
            self.check(ok, "%s: %s on %s slot %d: %d writes then %d of silence expected, %d arrived, %d missing%s" % (
                name, part["part"], board, part["slot"], len(want), len(silence), len(got), lost,
                "" if lost else " (out of order or extra)"))
            status.append("%s: %d in order" % (part["part"], len(want)) if ok else
                          "%s: %d of %d missing" % (part["part"], lost, len(want) + len(silence)) if lost else
                          "%s: out of order" % part["part"])
            # Board time against file time, per board, from the writes its
            # board played the moment they arrived (none queued ahead): their
            # board time is the host's time of the write plus the board's wait,
            # so after the player's shift all boards should agree. Measured only
            # on complete parts: where writes were lost the board's queue is not
            # the file's.
            if ok:
                for (_, t, now), (s, _, _, _) in zip(got_t, want_raw):
                    if now:
                        o = t - s * 1e9 / 44100
                        offsets[board] = min(offsets.get(board, o), o)
            if ok:
                print("  %s: %s -> %s slot %d: %d writes in order, then the silence" % (
                    name, part["part"], board, part["slot"], len(want)))
        if len(offsets) > 1:
            vals = list(offsets.values())
            spread = (max(vals) - min(vals)) / 1000.0
            print("  %s: board timelines of %s agree within %.1f us" % (name, ", ".join(offsets), spread))
            # 50 us natively; under Wine the sender's wake-up is only as good as
            # Wine's timers (a few hundred us on a busy machine); a sanitizer
            # build's sender wakes as precisely but its calls take longer.
            limit = 250.0 if args.wine else 100.0 if args.sanitized else 50.0
            self.check(spread <= limit, "%s: the boards' timelines differ by %.1f us (limit %.0f us)" % (
                name, spread, limit))
            status.append("boards within %.0f us" % spread)
        return status


    def excerpts(self):
        args = self.args
        if args.all:
            files = sorted(f for f in os.listdir(args.corpus) if f.endswith((".vgm", ".vgz")))
        else:
            files = args.files or FAMILY_SONGS
        rc, out, err, rec, rep = self.run_bed(["--quiet", "--seconds", str(args.seconds)] +
                                              [os.path.join(args.corpus, f) for f in files])
        playable = [f for f in files if any(p.get("model") for e in rep["files"] if e["file"].endswith(f)
                                            for p in e["chips"])]
        self.check(rc == 0 or args.all, "excerpts: player exited with %d\n%s" % (rc, err[-2000:]))
        by_name = {os.path.basename(e["file"].replace("\\", "/")): e for e in rep["files"]}
        rows = []
        for f in files:
            entry = by_name.get(f)
            if not entry or not entry["ok"]:
                self.check(args.all and f not in playable, "%s: not played (%s)" % (f, entry and entry.get("error")))
                rows.append("| %s | not played: %s | | | | |" % (
                    f, entry.get("error", "").split(": ", 1)[-1] if entry else "?"))
                continue
            print("  %s: %d writes, pacing p50 %d us, p99 %d us" % (f, entry["writes"], entry["pacing_us"]["p50"],
                                                                     entry["pacing_us"]["p99"]))
            status = self.check_file(f, entry, rec)
            chips = ", ".join("%s→%s %s/%d" % (p["part"], p["model"], p["board"], p["slot"]) if p.get("model")
                              else "%s→none" % p["part"] for p in entry["chips"])
            skipped = ", ".join("%s: %d" % kv for kv in sorted(entry["skipped"].items())) or "0"
            rows.append("| %s | %s | %d | %s | %d / %d | %s |" % (f, chips, entry["writes"], skipped,
                                                                entry["pacing_us"]["p50"], entry["pacing_us"]["p99"],
                                                                "; ".join(status)))
        over = [d for d in rec if d.get("type") == "datagram" and d.get("over_buffer")]
        self.check(not over, "excerpts: %d datagrams larger than the board's buffer" % len(over))
        if args.table:
            with open(args.table, "w", encoding="utf-8") as t:
                t.write("| file | chips used | writes | skipped | pacing p50 / p99 (us) | at the board |\n")
                t.write("|---|---|---|---|---|---|\n")
                t.write("\n".join(rows) + "\n")
                t.write("\n%d datagram(s) larger than the board's buffer\n" % len(over))


    def interrupt(self):
        args = self.args
        song = os.path.join(args.corpus, "ym2612-battle-hanafuda-autumn.vgm")

        def wrapper(cmd):
            # Ctrl-C after 3 s of music; the time from it to the player's exit.
            line = " ".join(shlex.quote(c) for c in cmd)
            return ["sh", "-c", "%s --quiet %s & p=$!; sleep 3; t0=$(date +%%s%%N); kill -INT $p; wait $p; rc=$?; "
                                "echo \"exit = $rc\"; echo \"exit_ms = $(( ($(date +%%s%%N) - t0) / 1000000 ))\""
                    % (line, shlex.quote(song))]

        rc, out, err, rec, rep = self.run_bed([], wrapper)
        values = dict(l.split(" = ", 1) for l in out.splitlines() if " = " in l)
        self.check(values.get("exit") == "130", "interrupt: exit code %s, expected 130\n%s" % (
            values.get("exit"), err[-1500:]))
        ms = int(values.get("exit_ms", "99999"))
        print("  interrupt: exit %s, %d ms after Ctrl-C" % (values.get("exit"), ms))
        self.check(ms < 1000, "interrupt: the player took %d ms to end" % ms)
        entry = rep["files"][0] if rep["files"] else None
        self.check(entry and entry["interrupted"], "interrupt: the report does not say interrupted")
        if entry:
            names = self.board_names()
            part = entry["chips"][0]
            segments = slot_segments(rec, names[part["address"]], part["slot"], "YM2612")
            silence = [w[0] for w in segments[0]]
            got = [w[0] for w in segments[-1]]
            want = expected_writes("YM2612", decode(song, 3.5).get(("YM2612", 0), []))
            played = len(got) - len(silence)
            self.check(len(segments) == 2 and silence and got[played:] == silence and got[:played] == want[:played],
                  "interrupt: the YM2612 did not get the song's first writes then its silence")
            print("  interrupt: %d writes of the song, then the silence (%d writes)" % (played, len(silence)))
        for b in sim_boards(args.config):
            sets = [c for c in rec if c.get("type") == "command" and c.get("board") == b["name"] and c["name"] == "set"]
            self.check(sets and sets[-1].get("value") == 0, "interrupt: %s: host port not cleared" % b["name"])


    def drift(self):
        """Boards whose crystal runs 200 ppm slow behind a link that delays each
        datagram by up to 3 ms: 12 s of a dense FM song arrive whole, no datagram
        overflows, and the board's timeline stays on the file's (the drift alone
        would put the end 2.4 ms late; the jitter lands on chained datagrams,
        which the board times itself). A datagram that finds the board idle
        (the host stalled) re-times the board by its arrival, so the clock is
        judged over the longest stretch without one, 8 s at least (where the
        drift alone moves 1.6 ms); the excerpt is played once more when a
        stall left no such stretch."""
        for last_try in (False, True):
            if self.drift_once(last_try):
                return

    def drift_once(self, last_try):
        """One play of the drift scenario; False when it could not be judged."""
        args = self.args
        name = "ym2612-battle-hanafuda-autumn.vgm"
        rc, out, err, rec, rep = self.run_bed(["--quiet", "--seconds", "12", os.path.join(args.corpus, name)],
                                              board_lines="clock_ppm = -200\njitter_ms = 3\n", log=True)
        self.check(rc == 0, "drift: player exited with %d\n%s" % (rc, err[-2000:]))
        entry = next((e for e in rep["files"] if os.path.basename(e["file"].replace("\\", "/")) == name), None)
        if not self.check(entry and entry["ok"], "drift: %s not played" % name):
            return True
        want_raw = decode(os.path.join(args.corpus, name), 12).get(("YM2612", 0), [])
        part = next(p for p in entry["chips"] if p["part"] == "YM2612")
        board = self.board_names()[part["address"]]
        segments = slot_segments(rec, board, part["slot"], "YM2612")
        got = segments[1] if len(segments) > 1 else []
        want = expected_writes("YM2612", want_raw)
        if not self.check([w[0] for w in got[:len(want)]] == want,
                          "drift: the YM2612's writes did not all arrive in order"):
            return True
        # (file time s, board time less file time us), cut where a datagram
        # found the board idle mid-song.
        idle = sorted(d["arrival_ns"] for d in rec if d.get("type") == "datagram" and d.get("board") == board
                      and "start_ns" in d and not d.get("chained") and got[0][1] < d["arrival_ns"] < got[len(want) - 1][1])
        stretches = [[]]
        for (_, t, _), (s, _, _, _) in zip(got, want_raw):
            if idle and t >= idle[0]:
                idle.pop(0)
                stretches.append([])
            stretches[-1].append((s / 44100, (t - s * 1e9 / 44100) / 1000))
        off = max(stretches, key=lambda o: o[-1][0] - o[0][0] if o else 0)
        span = off[-1][0] - off[0][0]
        if span < 8 and not last_try:
            print("  drift: the host stalled, the board ran dry %d time(s); played again" % (len(stretches) - 1))
            return False
        if not self.check(span >= 8, "drift: the host stalled %d time(s); no 8 s to judge the clock by" %
                          (len(stretches) - 1)):
            return True
        # Its median over the first and the last 2 s (a burst the chip spreads
        # out moves single writes, not the median): the timeline moved by
        # their difference.
        first = statistics.median(o for x, o in off if x < off[0][0] + 2)
        last = statistics.median(o for x, o in off if x > off[-1][0] - 2)
        print("  drift: %d writes; the board's timeline moved %.0f us against the file's over %.1f s "
              "(of %d stretch(es) between stalls)" % (len(off), last - first, span, len(stretches)))
        if not self.check(abs(last - first) <= 1000,
                          "drift: the board's timeline moved %.0f us (limit 1000 us)" % (last - first)):
            # Where the board was, second by second, and what the library made
            # of its answers, for the report.
            print("    board less file, median per second (us):",
                  " ".join("%.0f" % statistics.median(o for x, o in off if k <= x - off[0][0] < k + 1)
                           for k in range(int(span))))
            for line in self.library_log.splitlines():
                if "timeline moved" in line or "clock is not measured" in line:
                    print("    library:", line)
        return True


    def timeline(self):
        """Timed writes keep the file's timeline: a dense and a frame-based song,
        the player's thread stalled 30 ms mid-song (its test seam) on boards of
        50 ms latency (the player runs that far ahead), play within the
        ideal-board rule (each write at its file time or as soon as the chip is
        free), the stall nowhere to be heard. The same player beside a library
        without timed writes falls back to pacing and plays the song whole."""
        args = self.args
        songs = ["ym2612-sn76489-s3k-icecap.vgm", "ym2151-desperate-confrontation.vgm"]
        seconds = 4.0
        rc, out, err, rec, rep = self.run_bed(["--quiet", "--seconds", str(seconds)] +
                                              [os.path.join(args.corpus, f) for f in songs],
                                              env={"VESK_PLAY_STALL": "2,30"}, wait_ms=50)
        self.check(rc == 0, "timeline: player exited with %d\n%s" % (rc, err[-2000:]))
        boards, uses = sim_boards(args.config), {}
        # A board stalled by the machine rather than the player may be late too:
        # the limit catches a stall that moved the music (30 ms), not jitter.
        limit = 5000 if args.wine or args.sanitized else 2000
        for name, entry in zip(songs, rep["files"]):
            row = figures(decode(os.path.join(args.corpus, name), seconds), entry, rec, boards, uses)
            print("  timeline: %s (%s): %d writes, %d lost, vs an ideal board p99 %.0f us, max %.0f us" % (
                name, entry.get("pacing"), row["excerpt"], row["lost"], row.get("chip_p99", -1),
                row.get("chip_max", -1)))
            self.check(entry.get("pacing") == "timed", "timeline: %s was not played timed" % name)
            self.check(row["lost"] == 0 and row["excerpt"] > 0, "timeline: %s: %d writes lost" % (name, row["lost"]))
            # A sanitized player and listener run several times slower than the
            # dense song's bursts (4,491 writes at its first sample): there only
            # its writes are judged, the timing in the release builds.
            if args.sanitized and name == songs[0]:
                continue
            self.check(row.get("chip_max", 1e9) <= limit,
                       "timeline: %s: a write %.0f us off the ideal board (limit %d us)" % (
                           name, row.get("chip_max", -1), limit))
        untimed = os.path.join(os.path.dirname(args.library), "untimed", os.path.basename(args.library))
        rc, out, err, rec, rep = self.run_bed(["--quiet", "--seconds", "1.5", os.path.join(args.corpus, songs[1])],
                                              library=untimed)
        entry = rep["files"][0] if rep["files"] else {}
        row = figures(decode(os.path.join(args.corpus, songs[1]), 1.5), entry, rec, boards, {}) if entry else {}
        print("  timeline: beside a library without timed writes: exit %d, %s, %d of %d writes" % (
            rc, entry.get("pacing"), row.get("at_board", 0), row.get("excerpt", 0)))
        self.check(rc == 0 and entry.get("pacing") == "paced" and row.get("lost", 1) == 0,
              "timeline: the player did not fall back to pacing beside an older library\n%s" % err[-1500:])

    def start(self):
        """--start 5: when the music goes on from 5 s, each chip's registers
        hold what an uninterrupted play leaves there (the DAC's data aside,
        the key register per channel), and from there on the writes are the
        file's."""
        name = "ym2612-sn76489-s3k-icecap.vgm"
        path = os.path.join(self.args.corpus, name)
        rc, out, err, rec, rep = self.run_bed(["--quiet", "--start", "5", "--seconds", "1", path])
        self.check(rc == 0, "start: player exited with %d\n%s" % (rc, err[-2000:]))
        entry = rep["files"][0] if rep["files"] else None
        if not self.check(entry and entry["ok"], "start: %s not played" % name):
            return
        raw = decode(path, 6)
        for part in entry["chips"]:
            chip = part["part"]
            segments = slot_segments(rec, self.board_names()[part["address"]], part["slot"], chip)
            # The slot's writes: the set-up, the music, then the silence it
            # got when it was made.
            silence = [w[0] for w in segments[0]]
            got = [w[0] for w in segments[-1]] if len(segments) > 1 else []
            played = got[:len(got) - len(silence)]
            writes = raw.get((chip, 0), [])
            tail = expected_writes(chip, [w for w in writes if w[0] >= 5 * 44100])
            set_up = played[:len(played) - len(tail)]
            print("  start: %s: %d writes set it up, then %d of the music" % (chip, len(set_up), len(tail)))
            self.check(got[len(played):] == silence and played[len(set_up):] == tail,
                       "start: %s: the music from 5 s and the silence did not follow" % chip)
            want = chip_state(chip, expected_writes(chip, [w for w in writes if w[0] < 5 * 44100]))
            have = chip_state(chip, set_up)
            self.check(have == want, "start: %s: registers at 5 s differ: %s" % (
                chip, sorted((k, have.get(k), want.get(k)) for k in set(have) | set(want) if have.get(k) != want.get(k))[:8]))

    def fade(self):
        """A looped song played to its end (--loops 0) fades over --fade 1.5 on
        the board with an attenuator: each level steps up (quieter) to silence
        over about 1.5 s from the end of the loop, then, after the chip's
        silence, comes back to where it was."""
        name = "ym2413-vgmparser-test.vgm"  # 2.2 s, all of it looped
        rc, out, err, rec, rep = self.run_bed(["--quiet", "--loops", "0", "--fade", "1.5",
                                               os.path.join(self.args.corpus, name)])
        self.check(rc == 0, "fade: player exited with %d\n%s" % (rc, err[-2000:]))
        entry = rep["files"][0] if rep["files"] else None
        if not self.check(entry and entry["ok"], "fade: %s not played" % name):
            return
        part = entry["chips"][0]
        board = self.board_names()[part["address"]]
        writes = [c for c in rec if c.get("type") == "command" and c.get("board") == board]
        levels = {0: [], 1: []}  # channel -> [(time, level)]
        for c in writes:
            if c["name"] == "i2c_write" and c.get("i2c_addr") == 0x28:
                for b in bytes.fromhex(c["bytes"])[4:]:
                    levels[b >> 6 & 1].append((c["replay_ns"], b & 0x3F))
        chip = [c["replay_ns"] for c in writes if c.get("slot") == part["slot"] and c["name"] == "write_reg"]
        start = {0: 4, 1: 6}  # the board's levels (boards.toml)
        for ch, steps in levels.items():
            fading, restore = steps[:-1], steps[-1:]
            ramp = [l for _, l in fading]
            span = (fading[-1][0] - fading[0][0]) / 1e9 if fading else 0
            print("  fade: channel %d: %d steps %s over %.2f s, then %s" % (
                ch, len(ramp), "%d..%d" % (ramp[0], ramp[-1]) if ramp else "-", span, [l for _, l in restore]))
            self.check(len(ramp) >= 10 and ramp == sorted(ramp) and ramp[0] > start[ch] and ramp[-1] == 63
                       and 1.0 <= span <= 1.6, "fade: channel %d did not step down to silence over 1.5 s" % ch)
            self.check(fading and fading[0][0] - chip[0] >= 2.0e9,
                       "fade: channel %d began before the loop's end" % ch)
            self.check(restore and restore[0][1] == start[ch] and restore[0][0] > chip[-1],
                       "fade: channel %d not restored after the chip's silence" % ch)

    def keys(self):
        """Keys at a terminal (a pseudo-terminal; Wine makes it the console): space 1.5 s
        into the song pauses it and space 1 s later resumes it: each chip gets
        its silence, nothing more until the resume, then the writes that set
        it up and the file's writes from where it stopped, and its registers
        then are those an uninterrupted play leaves there. In a list of two
        songs, n goes to the second and q ends the player as Ctrl-C does."""
        song = os.path.join(self.args.corpus, "ym2612-sn76489-s3k-icecap.vgm")
        # The keys' times count from the progress line's first showing.
        typing = lambda keys: ["python3", ON_TERMINAL, "--after", "writes/s", keys, "--"]
        rc, out, err, rec, rep = self.run_bed(["--seconds", "4", song], through=typing("1.5=space,2.5=space"))
        self.check(rc == 0, "keys: player exited with %d\n%s" % (rc, err[-2000:]))
        entry = rep["files"][0] if rep["files"] else None
        if not self.check(entry and entry["ok"], "keys: the song was not played"):
            return
        raw = decode(song, 4)
        for part in entry["chips"]:
            chip = part["part"]
            segments = slot_segments(rec, self.board_names()[part["address"]], part["slot"], chip)
            silence = [w[0] for w in segments[0]]
            seg = segments[-1]
            got = [w[0] for w in seg]
            want = expected_writes(chip, raw.get((chip, 0), []))
            samples = [w[0] for w in raw.get((chip, 0), [])]
            played = 0  # the writes before the pause
            while played < min(len(got), len(want)) and got[played] == want[played]:
                played += 1
            resumed = played + len(silence)
            rest = got[resumed:len(got) - len(silence)]  # the set-up, then the music from where it stopped
            at = None
            for j in range(len(want) + 1):
                if 0 < j < len(want) and samples[j] == samples[j - 1]:
                    continue
                tail = want[j:]
                if len(tail) <= len(rest) and rest[len(rest) - len(tail):] == tail and \
                        chip_state(chip, silence + got[:resumed] + rest[:len(rest) - len(tail)]) == \
                        chip_state(chip, silence + want[:j]):
                    at = j
                    break
            pause = (seg[resumed][1] - seg[resumed - 1][1]) / 1e9 if resumed < len(seg) else 0
            print("  keys: %s: %d writes, its silence, nothing for %.2f s, then on from %.2f s" % (
                chip, played, pause, samples[at] / 44100 if at is not None and at < len(samples) else -1))
            self.check(got[played:resumed] == silence and got[len(got) - len(silence):] == silence and pause >= 0.8,
                       "keys: %s: the pause was not its silence and nothing else" % chip)
            self.check(at is not None, "keys: %s: after the resume, the registers or the writes are not the "
                                       "file's from where it stopped" % chip)
        songs = [song, os.path.join(self.args.corpus, "ym2151-desperate-confrontation.vgm")]
        rc, out, err, rec, rep = self.run_bed(["--seconds", "4"] + songs, through=typing("1=n,2.5=q"))
        seconds = [round(e["seconds"], 1) for e in rep["files"]]
        print("  keys: n then q in a list of two: exit %d, played %s s" % (rc, seconds))
        # As Ctrl-C: 130, and under Wine STATUS_CONTROL_C_EXIT (0xC000013A) cut to its low byte.
        self.check(rc == (0x3A if self.args.wine else 130) and len(seconds) == 2 and 0 < seconds[0] < 3.5 and 0 < seconds[1] < 3.5,
                   "keys: n then q did not end the first song and then the player")

    def playlist(self):
        """A playlist of three songs, the second missing: the two others play
        in order, the missing one is named with its line, the exit is 1."""
        songs = ["ym2612-sn76489-s3k-icecap.vgm", "ymf262-cyberholix-at2.vgm"]
        where = tempfile.mkdtemp(prefix="vesk-playlist-")
        try:
            for name in songs:
                os.symlink(os.path.join(self.args.corpus, name), os.path.join(where, name))
            listed = os.path.join(where, "pack.m3u")
            with open(listed, "w", encoding="utf-8") as f:
                f.write("#EXTM3U\n%s\nmissing.vgz\n%s\n" % (songs[0], songs[1]))
            rc, out, err, rec, rep = self.run_bed(["--quiet", "--seconds", "1", "--gap", "0.2", listed])
        finally:
            shutil.rmtree(where, ignore_errors=True)
        played = [os.path.basename(e["file"].replace("\\", "/")) for e in rep["files"]]
        print("  playlist: exit %d, played %s" % (rc, ", ".join(played)))
        self.check(rc == 1, "playlist: exit %d with an entry missing, expected 1" % rc)
        self.check(played == songs and all(e["ok"] and e["writes"] > 0 for e in rep["files"]),
                   "playlist: played %s, expected %s" % (played, songs))
        self.check(re.search(r"pack\.m3u line 3: .*missing\.vgz: no such file", err),
                   "playlist: the missing entry was not named with its line\n%s" % err[-1500:])


def chip_state(chip, writes):
    """What writes (as the slot records them) leave in a chip: each register's
    last value; the OPN key register per channel, its DAC data left out; the
    SN76489's registers from its latch and data bytes."""
    state, latch = {}, 0
    for w in writes:
        if chip == PSG:
            if w[2] & 0x80:
                latch = w[2] >> 4 & 7
            state[(latch, w[2] >> 7)] = w[2]
            continue
        _, bank, reg, d = w
        if (bank, reg) != (0, 0x2A):
            state[(bank, reg, d & 7) if (bank, reg) == (0, 0x28) else (bank, reg)] = d
    return state


def main():
    args = arguments().parse_args()
    if not args.corpus or not os.path.isdir(args.corpus):
        print("SKIP: no corpus (--corpus or VESK_CORPUS)")
        sys.exit(77)
    s = Scenarios(args)
    names = ("excerpts", "interrupt", "drift", "timeline", "start", "fade", "keys", "playlist")
    only = args.only.split(",") if args.only else names
    unknown = [n for n in only if n not in names]
    if unknown:
        arguments().error("no scenario %s" % ", ".join(unknown))
    for name in names:
        if name not in only:
            continue
        if name == "interrupt" and args.wine:
            continue  # Ctrl-C reaches a native process only
        print("%s:" % name)
        getattr(s, name)()
    failures = s.checks.failures
    print("FAILED: %d check(s)" % len(failures) if failures else "all checks passed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
