#!/usr/bin/env python3
"""Prints the outputs of scripts/bench.sh as one table: benchmark, platform,
figures. Reads <dir>/<platform>.<program>.txt (plain outputs: an unindented
line names a measurement, the indented lines under it are its figures) and
<dir>/<platform>.push_bench.json (Google Benchmark's JSON)."""
import glob
import json
import os
import re
import sys

PLATFORMS = ["linux-x64", "win64-wine", "win32-wine"]


def plain(path):
    rows, name, figures = [], None, []
    for line in open(path, errors="replace"):
        line = line.rstrip().replace("\r", "")
        if not line:
            continue
        if line[0].isspace() and name is not None:
            figures.append(re.sub(r"\s+", " ", line.strip()))
            continue
        if name is not None:
            rows.append((name, "; ".join(figures)))
        name, figures = line, []
        if line.startswith(("skipped:", "exit ")):
            rows.append(("", line))
            name = None
    if name is not None:
        rows.append((name, "; ".join(figures)))
    return rows


def push_json(path):
    data = json.load(open(path))
    build = data.get("context", {}).get("vesk_build", "?")
    rows = []
    for b in data.get("benchmarks", []):
        if b.get("run_type") != "aggregate" or b.get("aggregate_name") not in ("median", "stddev"):
            continue
        unit = b.get("time_unit", "ns")
        rows.append(("push %s" % b["aggregate_name"],
                     "real %.1f %s, cpu %.1f %s, allocs/push %g (vesk built %s)"
                     % (b["real_time"], unit, b["cpu_time"], unit, b.get("allocs_per_push", float("nan")), build)))
    return rows


def main():
    d = sys.argv[1]
    table = []
    for path in sorted(glob.glob(os.path.join(d, "*.txt"))):
        platform, program = os.path.basename(path)[:-4].split(".", 1)
        js = path[:-4] + ".json"
        rows = push_json(js) if os.path.exists(js) else []
        rows = rows or plain(path)
        for n, (name, figures) in enumerate(rows):
            table.append(("%s %s" % (program, name) if name else program, platform, figures, program, n))
    # The n-th measurement of a program, platforms side by side (their
    # headers may differ in counts, e.g. batches sent in the time given).
    order = {p: i for i, p in enumerate(PLATFORMS)}
    table.sort(key=lambda r: (r[3], r[4], order.get(r[1], 99)))
    w0 = max([len("benchmark")] + [len(r[0]) for r in table])
    w1 = max([len("platform")] + [len(r[1]) for r in table])
    print("%-*s  %-*s  %s" % (w0, "benchmark", w1, "platform", "figures"))
    for bench, platform, figures, _, _ in table:
        print("%-*s  %-*s  %s" % (w0, bench, w1, platform, figures))


if __name__ == "__main__":
    main()
