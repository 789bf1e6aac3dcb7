#!/usr/bin/env python3
"""Helpers of `make demo` that turn the programs' and the simulator's files into text:
  demo_show.py listing < VESK_TEST_OUTPUT       the boards and chips vesk_test listed, a line each
  demo_show.py fidelity RECORD REPORT VGM CONFIG [TIMES [CPU]]  how the board's timing matched the
                                                file (TIMES: vesk_play's --write-times file), and
                                                the player's CPU share (CPU: the sampler's file)
  demo_show.py cut RECORD REPORT OUT            the record from the tune's first write on
  demo_show.py sampler                          the CPU sampler make fidelity runs beside the
                                                player (python3 SAMPLER RECORD OUT)"""
import json, math, os, sys

from vesktools import figures as f
from vesktools.bed import read_record, sim_boards


def listing():
    """vesk_test prints "key = value" blocks between dashed lines: one per
    board, then one per chip, then its I2C probes."""
    blocks, cur, i2c = [], {}, []
    for line in sys.stdin.read().splitlines():
        if line.startswith("---"):
            if cur:
                blocks.append(cur)
            cur = {}
        elif line.startswith("i2c ") and " = " in line and "[" not in line:
            i2c.append(line.split(" = ")[0][4:])
        elif " = " in line:
            k, v = line.split(" = ", 1)
            cur[k.strip()] = v.strip()
    boards = [b for b in blocks if "board" in b]
    chips = [c for c in blocks if "slot no" in c]
    for b in boards:
        mine = ["%s (slot %s, %.4g MHz)" % (c["name"], c["slot no"], int(c["clock"]) / 1e6)
                for c in chips if c.get("address") == b["board"]]
        print("  %-12s %-14s firmware %s, buffer %s bytes, wait %s: %s" % (
            b["name"], b["board"], b["ver"], b["buffer size"], b["wait"], ", ".join(mine)))
    if i2c:
        print("  %-12s %-14s I2C devices answering: %s" % ("", boards[0]["board"] if boards else "", ", ".join(i2c)))


def fidelity(record, report, vgm, config, times=None, cpu=None):
    rep = json.load(open(report, encoding="utf-8"))
    entry = rep["files"][0]
    for p in entry["chips"]:
        if p.get("model"):
            print("  %s -> %s slot %d (%d writes)" % (p["part"], p["board"], p["slot"], p["writes"]))
    calls = f.read_write_times(times).get(0, {}) if times and os.path.exists(times) else None
    samples = [tuple(map(int, l.split())) for l in open(cpu)] if cpu and os.path.exists(cpu) else None
    r = f.analyse(vgm, entry["seconds"] + 1, entry, read_record(record), sim_boards(config), {}, samples, calls)
    print("  writes: %d in the file, %d at the board, %d lost, %d out of order" % (
        r["excerpt"], r["at_board"], r["lost"], r["reordered"]))
    print("  board time - file time: p50 %.0f us, p99 %.0f us, max %.0f us (one VGM sample is 23 us);" % (
        r["p50"], r["p99"], r["max"]))
    print("  about its median instead of the first write: p99 %.0f us" % r["steady_p99"])
    print("  largest datagram %d bytes of the board's %d; datagrams' arrival against their first"
          " write's deadline: p99 %.0f us" % (r["dgram"], r["buffer"], r["deadline_p99"]))
    if entry.get("pacing") == "timed":
        print("  the player handed the library each write's file time, ahead of the music; its own pacing"
              " (hand-overs against when it meant them): p50 %d us, p99 %d us" % (
                  entry["pacing_us"]["p50"], entry["pacing_us"]["p99"]))
    else:
        print("  the player called the library at each write's moment; its own pacing (write calls against"
              " the file's clock): p50 %d us, p99 %d us" % (entry["pacing_us"]["p50"], entry["pacing_us"]["p99"]))
    print("  against what the chip could have played (each write at its file time, or once the chip is free):"
          " p99 %s us, max %s us" % (f.us(r.get("chip_p99")), f.us(r.get("chip_max"))))
    for label, what in (("chained", "came while the board still played an earlier one: its own clock timed them"),
                        ("anchored", "timed by their arrival")):
        n = r["chained"] if label == "chained" else r["at_board"] - r["chained"]
        print("    writes in %s datagrams (%s): %.1f%%%s" % (
            label, what, 100 * n / r["at_board"] if r["at_board"] else 0,
            ", p99 %s us, max %s us" % (f.us(r[label + "_p99"]), f.us(r[label + "_max"])) if n else ""))
    print("  datagrams the board dropped for want of buffer: %d" % r["dropped"])
    if calls is not None:
        print("  the transport's part (board time against the time the player gave each write, plus the board's"
              " latency): p99 %s us, max %s us" % (f.us(r.get("transport_p99")), f.us(r.get("transport_max"))))
    if samples is not None:
        # The sampler's user + system time of vesk_play.exe's process (its
        # threads, Wine's code in it included; not wineserver) over the wall
        # time from the tune's first datagram to its last.
        share = r["cpu"]
        print("  vesk_play.exe's CPU share while the tune played: %s of one core" % (
            "-" if math.isnan(share) else "%.1f%%" % (100 * share)))


def main():
    cmd = sys.argv[1] if len(sys.argv) > 1 else ""
    if cmd == "listing":
        listing()
    elif cmd == "fidelity":
        fidelity(*sys.argv[2:8])
    elif cmd == "sampler":
        sys.stdout.write(f.SAMPLER)
    elif cmd == "cut":
        f.cut_record(sys.argv[2], sys.argv[4], json.load(open(sys.argv[3], encoding="utf-8"))["files"][0])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
