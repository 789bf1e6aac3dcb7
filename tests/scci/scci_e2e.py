#!/usr/bin/env python3
"""The SCCI adapter end to end: runs the plain C host (native, or the Windows
build under Wine) with scci2vesk, vesk, the stand-in D2XX library and an INI
file of alternative clocks in one folder, against the simulated board of
scci_board.toml, then checks what the board received. Exit 77 when no test
bed can be built here."""
import os, sys

from vesktools.bed import Checks, bed_arguments, overflowed, run_in_bed

INI = ("[YM2151]\r\nCLOCK=3579545\r\nCLOCK=4000000\r\n"
       "[YM2203]\r\nCLOCK=4000000\r\n"
       "[YM2610+H]\r\nCLOCK=7987200\r\nCLOCK=abc\r\nCLOCK=99999999999\r\n")


def main():
    ap = bed_arguments("--config", "--host")
    ap.add_argument("--files", nargs="+", required=True, help="adapter, library, stand-in D2XX library")
    args = ap.parse_args()
    checks = Checks(indent="")
    check = checks.check

    fake = args.files[-1]
    r = run_in_bed(args, args.config, args.host, copy=args.files, write={"scci2vesk.ini": INI}, prefix="vesk-scci-",
                   # The library loads the vendor's D2XX library by its bare name.
                   copy_as=None if args.wine else {"libftd2xx.so": fake},
                   env=None if args.wine else {"LD_LIBRARY_PATH": "{work}"},
                   keep=bool(os.environ.get("SCCI_KEEP")))
    print(r.stdout)
    check(r.rc == 0, "host exited with %d\n%s" % (r.rc, r.stderr[-3000:]))
    check("d2xx_upload = 4099" in r.stdout, "no sample upload of 0x1003 bytes")

    dropped = overflowed(r.record)
    check(not dropped, "%d datagram(s) dropped for want of buffer: %s" % (len(dropped), dropped[:3]))
    cmds = [c for c in r.record if c.get("type") == "command"]


    def find(name, **fields):
        return [i for i, c in enumerate(cmds) if c.get("name") == name
                and all(c.get(k) == v for k, v in fields.items())]


    # Register writes arrive with the chip's waits.
    w = find("write_reg", slot=0, reg=0x20, data=0xC7)
    check(len(w) == 1 and cmds[w[0]]["wait_us"] > 0, "YM2151 write 20=C7 with its wait: %s" % [cmds[i] for i in w])
    check(len(find("read_reg", slot=0, reg=0x20)) == 2, "two reads of YM2151 register 20")
    check(len(find("write_reg", slot=3, reg=0x07, data=0x38)) == 1, "YM2203 write 07=38")
    # initChip on the variant switches the clock, on the primary back.
    clocks = [cmds[i]["clock"] for i in find("set_clock", slot=0)]
    check(clocks[-2:] == [3579545, 4000000], "YM2151 clocks set: %s" % clocks)
    v = find("write_reg", slot=0, reg=0x28, data=0x3E)
    sets = find("set_clock", slot=0)
    check(len(v) == 1 and len(sets) >= 2 and sets[-2] < v[0] < sets[-1],
          "write 28=3E between the two clock changes")
    # The SN76489 entry writes the data port, whatever the address.
    opn = find("write_reg", slot=3, reg=0x07, data=0x38)
    ports = [cmds[i]["data"] for i in find("write_port", slot=1) if opn and i > opn[0]]
    check(ports[:2] == [0x9F, 0xBF], "SN76489 port writes after the YM2203 write: %s" % ports)
    check(len(find("write_reg", slot=2, reg=0x22, data=0x08)) == 1, "YM2610B+H write after the upload")
    check(not [c for c in cmds if c.get("slot") == 2 and c.get("name") == "write_reg" and c.get("reg", 0) >= 0x200],
          "no pseudo-register reached the board")

    print("scci_e2e: %s" % ("ok" if not checks.failures else "%d failures" % len(checks.failures)))
    sys.exit(1 if checks.failures else 0)


if __name__ == "__main__":
    main()
