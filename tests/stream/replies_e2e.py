#!/usr/bin/env python3
"""Late, duplicated and foreign replies: the replies host (native, or the
Windows build under Wine) asks a board questions whose answers are known from
replies.toml, while the simulator delays one kind of reply past the
library's wait, sends it twice, or precedes it with a copy from another
address of the link (last byte changed). Every exchange must get its own
answer; the exchanges whose reply was delayed may instead fail. Exit 77
when no test bed can be built here."""
import concurrent.futures

from vesktools.bed import Checks, bed_arguments, overflowed, run_in_bed

# What the host prints without faults, in order (each round asks the same).
ROUND = [("read.a.32", "17"), ("read.a.33", "34"), ("read.a.34", "51"), ("volume.0", "5"),
         ("read.b.32", "68"), ("read.b.33", "85"), ("probe.28", "1"), ("i2c_read.28", "87 05 49"),
         ("volume.1", "9"), ("probe.29", "0"), ("reset", "1")]
EXPECTED = ([("boards", "1"), ("board", "VESK-REPLIES wait 30 buffer 1500 slots 2"),
             ("chip", "YM2151 slot 0 clock 4000000"), ("chip", "YM2151 slot 1 clock 3579545")] + ROUND + ROUND)
# What an exchange gives when its reply never came in time.
FAILED = {"read": "0", "volume": "false", "i2c_read": "", "reset": "0", "probe": "0"}

# Case: the faults, and the exchanges (by key prefix) allowed to fail
# because their own reply is the late one. Host-port replies are waited for
# 200 ms, the others the board's wait + 500 ms: 300 and 800 ms are past them.
CASES = [
    ("none", "", ()),
    ("set late", 'delay_ms = { "set" = 300 }', ()),
    ("sync late", 'delay_ms = { "sync" = 800 }', ()),
    ("read late", 'delay_ms = { "read:0x21" = 800 }', ("read.a.33", "read.b.33")),  # 0x21 of both chips
    ("i2c read late", 'delay_ms = { "i2c_read:0x28" = 800 }', ("volume", "i2c_read")),
    ("probe late", 'delay_ms = { "board:0x0c" = 800 }', ("probe", "volume", "i2c_read")),  # these probe first
    ("reset late", 'delay_ms = { "reset" = 2000 }', ("reset",)),
    ("read twice", 'duplicate = ["read"]', ()),
    ("i2c read twice", 'duplicate = ["i2c_read"]', ()),
    ("reset twice", 'duplicate = ["reset"]', ()),
    ("foreign read", 'foreign_reply = ["read"]', ()),
    ("foreign i2c read", 'foreign_reply = ["i2c_read"]', ()),
    ("foreign queries", 'foreign_reply = ["query", "set"]', ()),
]


def run(args, faults):
    with open(args.config) as f:
        config = f.read()
    if faults:
        config += "\n  [board.faults]\n  %s\n" % faults
    return run_in_bed(args, "board.toml", args.host, copy=[args.library], write={"board.toml": config},
                      prefix="vesk-replies-")


def main():
    ap = bed_arguments("--config", "--host", "--library", "--dismisser", "--only")
    args = ap.parse_args()

    checks = Checks()
    check = checks.check

    # The cases run three at a time, each in its own bed (namespaces per run):
    # what they check is which answer each exchange got, with margins of
    # hundreds of ms, and under Wine most of a case's time is starting it.
    cases = [c for c in CASES if not args.only or c[0] == args.only]
    with concurrent.futures.ThreadPoolExecutor(max_workers=3) as pool:
        results = list(pool.map(lambda c: run(args, c[1]), cases))
    for (name, faults, may_fail), result in zip(cases, results):
        values, rec = result.values, result.record
        check(result.rc == 0, "%s: host exited with %d\n%s" % (name, result.rc, result.stderr[-2000:]))
        dropped = overflowed(rec)
        check(not dropped, "%s: %d datagram(s) dropped for want of buffer: %s" % (name, len(dropped), dropped[:3]))
        # The fault took effect: otherwise the case proves nothing.
        fates = [r for r in rec if r.get("type") == "reply"]
        acted = faults == "" or any(r.get("fate") == "delayed" or r.get("copies", 1) > 1 or r.get("foreign_from")
                                    for r in fates)
        check(acted, "%s: the simulator's fault never acted" % name)
        wrong, failed = [], []
        for i, (key, want) in enumerate(EXPECTED):
            label = "%02d.%s" % (i, key)
            got = values.get(label)
            if got == want:
                continue
            if key.startswith(may_fail) and may_fail and got == FAILED.get(key.split(".")[0]):
                failed.append(label)
                continue
            wrong.append("%s = %r (expected %r)" % (label, got, want))
        print("%-17s %2d exchanges, %d own answers, %d failed as allowed, %d wrong%s" % (
            name, len(EXPECTED), len(EXPECTED) - len(wrong) - len(failed), len(failed), len(wrong),
            (": " + "; ".join(wrong[:4]) + (" ..." if len(wrong) > 4 else "")) if wrong else ""))
        check(not wrong, "%s: %d exchanges got another answer than their own" % (name, len(wrong)))

    checks.finish()


if __name__ == "__main__":
    main()
