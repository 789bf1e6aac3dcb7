#!/usr/bin/env python3
"""The soak: two simulated boards, two songs playing over and over on them
from two threads of one host (the demo tune on the OPN2 and DCSG of one
board, a generated OPM and PSG song on the other), and a third thread that
sets and reads back each board's output volume and reads its attenuator over
I2C every 50 ms, for --seconds. Then, from the simulator's record and the
host's figures:
  - every slot received, from the moment its chip was taken, exactly the
    song's writes the host made (the song decoded here, independently of
    the host, repeated as often as it played), in order, then the chip's
    silence: nothing lost, doubled or reordered;
  - no request answered with anything but the level set, except the late
    answer of a request that timed out (time-outs are counted and shown: the
    simulator falls behind on a loaded machine, a sanitizer build's
    transport runs late);
  - the host's threads and handles back, once the manager is released, to
    their count before it existed (after a first manager's life: what the
    system keeps for a process that has used the network is not the
    library's);
  - the resident memory flat: its growth from a tenth into the run to its
    end within a bound (the figures are printed: start, warm, end, after
    release, and ten samples; in a sanitizer build shown, not checked: the
    sanitizer's own bookkeeping grows with every lock and thread event).
Exit 77 when no test bed can be built here."""
import collections, os, shutil, subprocess, sys, tempfile, json

from vesktools.bed import Checks, bed_arguments, overflowed, parse_values, sim_boards
from vesktools.decoder import decode, expected_writes
from vesktools.slots import slot_key

HERE = os.path.dirname(os.path.abspath(__file__))

# Resident memory may grow this much from the warm sample to the end: the
# allocator's and (under Wine) the loader's pages, not a leak. The library
# allocates nothing per write; a leak of a few bytes per write or request
# over 60 s (about 500,000 writes) is megabytes.
RSS_GROWTH_KB = 1024

# Under Wine, one run in two ended with two Event handles more than it
# started with (seen in the system's handle table, with their type), after
# the manager's threads had all gone; where they come from is not yet
# known. A leak per write or request would be thousands.
HANDLES_LEFT_UNDER_WINE = 2

# song -> board name; the board's address comes from the configuration.
SONGS = [("soak.vgm", "SOAK-A"), ("demo.vgm", "SOAK-B")]


def run(args, check):
    work = tempfile.mkdtemp(prefix="vesk-soak-")
    try:
        for f in (args.host, args.library):
            shutil.copy(f, work)
        subprocess.run([sys.executable, os.path.join(HERE, "make_soak_song.py"), os.path.join(work, "soak.vgm")],
                       check=True)
        subprocess.run([sys.executable, os.path.join(HERE, "..", "..", "scripts", "make_demo_tune.py"),
                        os.path.join(work, "demo.vgm")], check=True, stdout=subprocess.DEVNULL)
        seen = (lambda p: "Z:" + p.replace("/", "\\")) if args.wine else (lambda p: p)
        address = {b["name"]: b["address"] for b in sim_boards(args.config)}
        host_args = ["--seconds", str(args.seconds), "--request-ms", str(args.request_ms)]
        for song, board in SONGS:
            host_args += ["--song", seen(os.path.join(work, song)), address[board]]
        record = os.path.join(work, "record.jsonl")
        cmd = [args.testbed, "run", "--quiet", "--sim", args.sim, "--config", args.config, "--record", record]
        if args.wine:
            cmd += ["--wine"]
        cmd += ["--", os.path.join(work, os.path.basename(args.host))] + host_args
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=args.seconds + 300)
        if p.returncode == 77:
            print("SKIP:", p.stderr.strip().splitlines()[-1] if p.stderr.strip() else "no test bed")
            sys.exit(77)
        values = parse_values(p.stdout)
        check(p.returncode == 0 and values.get("result") == "ok",
              "host exited with %d, result %s\n%s" % (p.returncode, values.get("result"), p.stderr[-2000:]))
        # What the host and the library said (time-out boxes natively go
        # to standard error as "caption: text").
        said = [l for l in p.stderr.splitlines() if not l.startswith("testbed")]
        for l in said[:20]:
            print("  host:", l)
        if len(said) > 20:
            print("  host: ... %d more lines" % (len(said) - 20))
        dropped = overflowed(record)
        check(not dropped, "%d datagram(s) dropped for want of buffer: %s" % (len(dropped), dropped[:3]))
        if p.returncode == 0:
            analyse(args, check, values, record, work)
    finally:
        if args.keep:
            print("kept", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


def analyse(args, check, values, record, work):
    check(values.get("boards") == "2", "the host found %s board(s), 2 expected" % values.get("boards"))
    parts = {}   # (board, slot) -> part
    for i, (song, board) in enumerate(SONGS):
        decoded = decode(os.path.join(work, song), 1e6, loops=0)
        j = 0
        while "song%d.part%d.chip" % (i, j) in values:
            k = "song%d.part%d." % (i, j)
            chip = values[k + "chip"]
            one_pass = expected_writes(chip, decoded.get((chip, 0), []))
            parts[(board, int(values[k + "slot"]))] = dict(
                label="%s %s on %s slot %s" % (song, chip, board, values[k + "slot"]), chip=chip, one_pass=one_pass,
                made=int(values[k + "writes"]), segments=0, silence=[], prefix=[], got=0, wrong=0,
                first_wrong=None, counts=collections.Counter(), tail=[])
            j += 1
        check(j > 0, "%s: the host played no part of it" % song)
        print("%s on %s: %s whole pass(es)" % (song, board, values.get("song%d.passes" % i)))

    # One pass over the record. A slot's writes come in segments, each
    # opened by a clock command: a manager's creation of the chip (its
    # clock, a reset, the silence), once for the host's first manager and
    # once for the one that plays, then the take by the soak. The last
    # segment is compared with the song as it goes (and each earlier one, in
    # case it is the last); the one before it gives the chip's silence.
    over_buffer = datagrams = 0
    with open(record) as f:
        for line in f:
            if '"type":"datagram"' in line:
                d = json.loads(line)
                datagrams += d.get("board") in ("SOAK-A", "SOAK-B")
                over_buffer += bool(d.get("over_buffer"))
                continue
            if '"type":"command"' not in line or not any(
                    n in line for n in ('"write_reg"', '"write_port"', '"set_clock"')):
                continue
            c = json.loads(line)
            part = parts.get((c.get("board"), c.get("slot")))
            if part is None:
                continue
            if c["name"] == "set_clock" or part["segments"] == 0:
                part["segments"] += 1
                part.update(silence=part["prefix"], prefix=[], got=0, wrong=0, first_wrong=None,
                            counts=collections.Counter(), tail=[])
                if c["name"] == "set_clock":
                    continue
            w = slot_key(c, part["chip"])
            n, one_pass = part["got"], part["one_pass"]
            part["got"] += 1
            part["counts"][w] += 1
            if len(part["prefix"]) < 5000:
                part["prefix"].append(w)
            if n < part["made"]:
                if w != one_pass[n % len(one_pass)]:
                    part["wrong"] += 1
                    part["first_wrong"] = part["first_wrong"] or (n, w, one_pass[n % len(one_pass)])
            else:
                part["tail"].append(w)

    print("%d datagrams to the boards, %d larger than the board's buffer" % (datagrams, over_buffer))
    check(over_buffer == 0, "%d datagrams larger than the board's buffer" % over_buffer)
    for part in parts.values():
        made, one_pass = part["made"], part["one_pass"]
        want = collections.Counter()
        for w, c in collections.Counter(one_pass).items():
            want[w] += c * (made // len(one_pass))
        want.update(one_pass[:made % len(one_pass)])
        want.update(part["silence"])
        lost = sum((want - part["counts"]).values())
        extra = sum((part["counts"] - want).values())
        in_order = part["wrong"] == 0 and part["tail"] == part["silence"]
        print("  %s: %d writes made, %d arrived (with %d of silence), lost %d, extra %d, %s" % (
            part["label"], made, part["got"], len(part["silence"]), lost, extra,
            "in order" if in_order else "%d out of place" % part["wrong"]))
        check(made > 0, "%s: the host made no write" % part["label"])
        check(part["segments"] >= 2 and part["silence"], "%s: %d segments at the slot, no silence before the song" % (
            part["label"], part["segments"]))
        check(lost == 0 and extra == 0, "%s: %d writes lost, %d extra" % (part["label"], lost, extra))
        check(in_order, "%s: out of order; first at write %s" % (part["label"], part["first_wrong"]))

    rounds = {k: int(values.get("requests." + k, -1)) for k in ("ok", "timed_out", "stale", "wrong")}
    print("request rounds (set, read back, I2C read): %(ok)d answered with the level set, %(timed_out)d timed out, "
          "%(stale)d answered with the level before right after a time-out, %(wrong)d wrong" % rounds +
          "; slowest round %s ms" % values.get("requests.max_ms"))
    # A time-out is the library's answer to a board that answers late (the
    # simulator falls behind on a loaded machine, a sanitizer build's
    # transport runs late): shown, not failed. A wrong answer fails anywhere.
    check(rounds["ok"] > 0 and rounds["wrong"] == 0, "requests: %(wrong)d wrong answers, %(ok)d right" % rounds)

    for what in ("threads", "handles"):
        start, after = int(values.get(what + ".start", -1)), int(values.get(what + ".after_release", -2))
        print("%s: %s with the library loaded, %d after a first manager's life, %s warm, %s at the end, "
              "%d after release" % (what, values.get(what + ".load"), start, values.get(what + ".warm"),
                                    values.get(what + ".end"), after))
        check(start >= 0 and after <= start + (HANDLES_LEFT_UNDER_WINE if what == "handles" and args.wine else 0),
              "%s: %d after release, %d before the manager" % (what, after, start))
    rss = {k: int(values.get("rss_kb." + k, 0)) for k in ("start", "warm", "end", "after_release")}
    print("resident memory (KiB): start %(start)d, warm %(warm)d, end %(end)d, after release %(after_release)d" % rss)
    print("resident memory samples (KiB): %s" % values.get("rss_kb.samples"))
    check(rss["warm"] > 0 and (rss["end"] - rss["warm"] <= RSS_GROWTH_KB or args.sanitized),
          "resident memory grew by %d KiB from the warm sample to the end (bound %d KiB)" % (
              rss["end"] - rss["warm"], RSS_GROWTH_KB))


def main():
    ap = bed_arguments("--config", "--host", "--library")
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--request-ms", type=int, default=50)
    ap.add_argument("--keep", action="store_true", help="keep the run's folder (record, songs) and name it")
    args = ap.parse_args()
    checks = Checks()
    print("soak: %.0f s, requests every %d ms" % (args.seconds, args.request_ms))
    run(args, checks.check)
    checks.finish()


if __name__ == "__main__":
    main()
