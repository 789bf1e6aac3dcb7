#!/usr/bin/env python3
"""Dense streams over the test bed: the stream host (native, or the Windows
build under Wine) writes a YM2151 every 125 us, every 1 ms and in bursts of
50 every 20 ms, 2 s each, to a board with a 1024-byte buffer and a 20 ms
wait, over veth (not loopback). From the simulator's record: every write
arrived once and in order, no datagram exceeded the board's buffer, and each
datagram arrived by its deadline (its first write's time + the wait) within
a tolerance for a busy 2-core machine: 99% within 5 ms natively, 20 ms under
Wine, every one within four times that (a sender preempted by other
processes' builds for 8 ms was seen; in sanitizer builds, --sanitized, the
deadlines are shown and only a datagram 5 s late fails)
(whose steady clock is CLOCK_MONOTONIC_RAW: the driver adds the offset).
Exit 77 when no test bed can be built here."""
from vesktools.bed import Checks, bed_arguments, overflowed, run_in_bed
from vesktools.stream_analysis import analyse, line, wine_clock_offset_ns

PATTERNS = ["period:125:2000", "period:1000:2000", "burst:50:20:2000"]

def main():
    ap = bed_arguments("--config", "--host", "--library")
    args = ap.parse_args()

    checks = Checks()
    check = checks.check

    r = run_in_bed(args, args.config, args.host, PATTERNS, copy=[args.library], prefix="vesk-stream-")
    offset = wine_clock_offset_ns() if args.wine else 0
    check(r.rc == 0, "host exited with %d\n%s" % (r.rc, r.stderr[-2000:]))
    values, rec = r.values, r.record

    check(values.get("boards") == "1" and values.get("chip") == "YM2151",
          "board and chip: %s, %s" % (values.get("boards"), values.get("chip")))
    check(values.get("board.wait_ms") == "20" and values.get("board.buffer_size") == "1024",
          "board reported wait %s ms, buffer %s" % (values.get("board.wait_ms"), values.get("board.buffer_size")))
    before, after = int(values.get("sndbuf_errors.before", -1)), int(values.get("sndbuf_errors.after", -1))
    if before >= 0 and after >= 0:
        # Shown, not checked: a send the kernel refused and the transport then
        # retried counts here too; what was lost shows in the record.
        print("kernel Udp6SndbufErrors during the run: %d" % (after - before))

    tolerance = 20.0 if args.wine else 5.0
    # A sanitizer build's transport does not keep up with 8,000 writes a second
    # on two busy cores (TSan: datagrams 0.7-1.3 s behind their deadlines, none
    # lost): there the deadlines are shown, and only a sender stuck for seconds
    # fails. Loss, order and the buffer bound are checked the same everywhere.
    stuck_ms = 5000.0
    for name in (p.replace(":", "_") for p in PATTERNS):
        if not check(name + ".count" in values, "%s: the host printed nothing" % name):
            continue
        r = analyse(values, rec, name, clock_offset_ns=offset)
        print(line(r))
        check(r["lost"] == 0, "%s: %d of %d writes lost" % (name, r["lost"], r["sent"]))
        check(r["duplicated"] == 0, "%s: %d writes arrived twice" % (name, r["duplicated"]))
        check(r["reordered"] == 0, "%s: %d writes out of order" % (name, r["reordered"]))
        check(r["over_buffer"] == 0, "%s: %d datagrams longer than the board's %d-byte buffer (longest %d)" % (
            name, r["over_buffer"], r["buffer"], r["max_len"]))
        if args.sanitized:
            check(r["err_max"] <= stuck_ms,
                  "%s: a datagram arrived %.2f ms after its deadline (sanitizer build: %.0f ms)" % (
                      name, r["err_max"], stuck_ms))
        else:
            check(r["err_p99"] <= tolerance, "%s: 1%% of datagrams arrived over %.2f ms after their deadline "
                  "(tolerance %.0f ms)" % (name, r["err_p99"], tolerance))
            check(r["err_max"] <= 4 * tolerance, "%s: a datagram arrived %.2f ms after its deadline (tolerance %.0f ms)"
                  % (name, r["err_max"], 4 * tolerance))
        # Nothing arrives before its write was made: holds only if the host's
        # clock is the record's.
        check(r["min_latency"] >= 0, "%s: a datagram arrived %.2f ms before its first write (clocks differ?)" % (
            name, r["min_latency"]))
    flagged = sum(1 for d in rec if d.get("type") == "datagram" and d.get("over_buffer"))
    check(flagged == 0, "the simulator flagged %d datagrams over the board's buffer" % flagged)
    dropped = overflowed(rec)
    check(not dropped, "%d datagram(s) dropped for want of buffer: %s" % (len(dropped), dropped[:3]))

    checks.finish()


if __name__ == "__main__":
    main()
