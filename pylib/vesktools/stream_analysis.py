"""What a streamed run looks like from the board's side: matches the writes a
stream host (tests/stream/stream_host.cpp) made against the simulator's record and gives,
per pattern, what arrived, in which order, in which datagrams and how late.
Shared by the end-to-end test (tests/stream/stream_e2e.py) and the benchmark
(bench/stream_bed.py)."""

FIRST_REG, REGS = 0x20, 0xE0


def write_index(reg, data):
    """k of the write the host made as register 0x20 + k % 0xE0, data k / 0xE0."""
    return None if reg < FIRST_REG else (data * REGS + reg - FIRST_REG)


def percentile(sorted_values, q):
    if not sorted_values:
        return float("nan")
    return sorted_values[min(len(sorted_values) - 1, int(round(q * (len(sorted_values) - 1))))]


def wine_clock_offset_ns():
    """Under Wine, steady_clock (QueryPerformanceCounter) runs on
    CLOCK_MONOTONIC_RAW, not on the record's CLOCK_MONOTONIC: measured here
    22-44 us behind a pipe's receipt against RAW, 61 ms off MONOTONIC. The
    two drift apart slowly (clock slewing), so the offset is taken at the
    time of the run and added to the host's times."""
    import time
    a = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
    r = time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW)
    b = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
    return (a + b) // 2 - r


def analyse(values, rec, pattern, board="VESK-STREAM", wait_ms=None, buffer_size=None, clock_offset_ns=0):
    """Figures of one pattern. Deadline of a datagram: the host's time of its
    first write plus the board's wait; error = arrival - deadline. The host's
    times plus clock_offset_ns are on the record's CLOCK_MONOTONIC (0
    natively; wine_clock_offset_ns() under Wine)."""
    first = int(values["%s.first" % pattern])
    count = int(values["%s.count" % pattern])
    at = [int(x) for x in values["%s.at_ns" % pattern].split(",") if x]
    wait_ms = int(values.get("board.wait_ms", 0)) if wait_ms is None else wait_ms
    buffer_size = int(values.get("board.buffer_size", 0)) if buffer_size is None else buffer_size
    datagrams = {d["seq"]: d for d in rec if d.get("type") == "datagram" and d.get("board") == board}
    got = []  # (k, seq) in arrival order
    for c in rec:
        if c.get("type") != "command" or c.get("board") != board or c.get("name") != "write_reg":
            continue
        k = write_index(c.get("reg", 0), c.get("data", 0))
        if k is not None and first <= k < first + count:
            got.append((k, c["seq"]))
    ks = [k for k, _ in got]
    received = set(ks)
    # Reordered: writes that arrived after a write the host made later.
    reordered, high = 0, -1
    for k in ks:
        if k < high:
            reordered += 1
        high = max(high, k)
    seqs = []
    for _, s in got:
        if not seqs or seqs[-1] != s:
            seqs.append(s)
    errors, sizes, early = [], [], []
    for s in dict.fromkeys(seqs):
        d = datagrams[s]
        sizes.append(d["len"])
        k0 = next(k for k, q in got if q == s)
        host_ns = at[k0 - first] + clock_offset_ns
        errors.append((d["arrival_ns"] - host_ns) / 1e6 - wait_ms)
        early.append((d["arrival_ns"] - host_ns) / 1e6)
    errs = sorted(errors)
    return {
        "pattern": pattern, "sent": count, "received": len(received), "lost": count - len(received),
        "duplicated": len(ks) - len(received), "reordered": reordered, "datagrams": len(sizes),
        "max_len": max(sizes) if sizes else 0, "buffer": buffer_size,
        "over_buffer": sum(1 for s in sizes if s > buffer_size),
        "err_p50": percentile(errs, 0.5), "err_p99": percentile(errs, 0.99),
        "err_max": errs[-1] if errs else float("nan"), "err_min": errs[0] if errs else float("nan"),
        "min_latency": min(early) if early else float("nan"), "wait_ms": wait_ms,
        "span_ms": (at[-1] - at[0]) / 1e6 if at else 0.0,
    }


def line(r):
    return ("%-18s sent %5d  recv %5d  lost %5d  reord %4d  dgrams %4d  max len %5d / %d (%d over)  "
            "deadline err ms p50 %7.2f p99 %7.2f max %7.2f (min %.2f)" % (
                r["pattern"], r["sent"], r["received"], r["lost"], r["reordered"], r["datagrams"], r["max_len"],
                r["buffer"], r["over_buffer"], r["err_p50"], r["err_p99"], r["err_max"], r["err_min"]))
