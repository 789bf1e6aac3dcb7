#!/usr/bin/env python3
"""Dense streams over the network test bed, as figures: for each platform
(native, Wine x64, Wine x86: whichever builds exist) and each pattern (one
write every 125 us, every 1 ms, bursts of 50 every 20 ms; 2 s each), one bed
run of tests/stream's host against a board with a 1024-byte buffer and a
20 ms wait (tests/stream/stream.toml), over veth. Prints one table: writes
sent / received / lost / reordered, datagrams and the longest against the
board's buffer, datagrams the kernel refused for lack of send buffer
(Udp6SndbufErrors of the host's namespace; the library's own retry counter
is not reachable through the public interface the host uses), and the
deadline error (arrival - (first write + wait)) p50 / p99 / max in ms.

  sudo bench/stream_bed.py [--build-root build] [--platforms linux,win64,win32]
                           [--patterns period:125:2000,...] [--repeat N]
"""
import argparse, os, shutil, subprocess, sys, tempfile

from vesktools.bed import parse_values, read_record
from vesktools.stream_analysis import analyse, wine_clock_offset_ns

here = os.path.dirname(os.path.abspath(__file__))
repo = os.path.dirname(here)

PLATFORMS = {  # name: (build dir, host, library, under Wine)
    "linux": ("linux", "stream_host", "libvesk.so", False),
    "win64": ("win64", "stream_host.exe", "vesk.dll", True),
    "win32": ("win32", "stream_host.exe", "vesk.dll", True),
}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-root", default=os.path.join(repo, "build"))
    ap.add_argument("--platforms", default="linux,win64,win32")
    ap.add_argument("--patterns", default="period:125:2000,period:1000:2000,burst:50:20:2000")
    ap.add_argument("--repeat", type=int, default=1)
    args = ap.parse_args()

    sim = os.path.join(args.build_root, "linux", "bin", "vesk_sim")
    testbed = os.path.join(repo, "tools", "testbed", "testbed.sh")
    config = os.path.join(repo, "tests", "stream", "stream.toml")
    if subprocess.run([testbed, "check"], capture_output=True).returncode != 0:
        print("no test bed here (needs root and network namespaces)")
        sys.exit(77)

    rows = []
    for plat in args.platforms.split(","):
        bdir, host, lib, wine = PLATFORMS[plat]
        bin_dir = os.path.join(args.build_root, bdir, "bin")
        if not all(os.path.exists(os.path.join(bin_dir, f)) for f in (host, lib)) or not os.path.exists(sim):
            print("%s: not built (%s, %s in %s), skipped" % (plat, host, lib, bin_dir), file=sys.stderr)
            continue
        for pattern in args.patterns.split(","):
            for _ in range(args.repeat):
                work = tempfile.mkdtemp(prefix="vesk-streambench-")
                try:
                    for f in (host, lib):
                        shutil.copy(os.path.join(bin_dir, f), work)
                    record = os.path.join(work, "record.jsonl")
                    cmd = [testbed, "run", "--quiet", "--sim", sim, "--config", config, "--record", record]
                    cmd += (["--wine"] if wine else []) + ["--", os.path.join(work, host), pattern]
                    p = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
                    values, rec = parse_values(p.stdout), read_record(record)
                    offset = wine_clock_offset_ns() if wine else 0
                finally:
                    shutil.rmtree(work, ignore_errors=True)
                name = pattern.replace(":", "_")
                if p.returncode != 0 or name + ".count" not in values:
                    print("%s %s: run failed (%d)\n%s" % (plat, pattern, p.returncode, p.stderr[-1000:]),
                          file=sys.stderr)
                    continue
                r = analyse(values, rec, name, clock_offset_ns=offset)
                before, after = int(values.get("sndbuf_errors.before", -1)), int(values.get("sndbuf_errors.after", -1))
                r["sndbuf"] = str(after - before) if before >= 0 and after >= 0 else "n/a"
                r["platform"] = plat
                rows.append(r)

    head = ("platform", "pattern", "sent", "recv", "lost", "reord", "dgrams", "max len", "buffer", "over",
            "ENOBUFS", "retries", "err p50", "err p99", "err max")
    fmt = "%-8s %-18s %6s %6s %6s %6s %6s %7s %6s %5s %7s %7s %8s %8s %8s"
    print(fmt % head)
    for r in rows:
        print(fmt % (r["platform"], r["pattern"], r["sent"], r["received"], r["lost"], r["reordered"], r["datagrams"],
                     r["max_len"], r["buffer"], r["over_buffer"], r["sndbuf"], "n/a", "%.2f" % r["err_p50"],
                     "%.2f" % r["err_p99"], "%.2f" % r["err_max"]))
    print("deadline error in ms: arrival at the board - (host's first write of the datagram + the board's wait); "
          "ENOBUFS: sends the host's kernel refused (Udp6SndbufErrors; a send retried later counts too)")


if __name__ == "__main__":
    main()
