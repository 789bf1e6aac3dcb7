#!/usr/bin/env python3
"""vesk_test end to end: runs the console test program (native, or the
Windows build under Wine) in the network test bed against simulated boards
and checks its whole listing against the simulator's configuration, and the
I2C exercise and chip opening against what the boards received. Exit 77 when
no test bed can be built here."""
import os, sys

from vesktools.bed import (Checks, Scenarios, bed_arguments, firmware, host_address, overflowed, run_in_bed,
                           sim_boards)

ap = bed_arguments("--configs", "--program", "--library", "--dismisser", "--only")
args = ap.parse_args()

if not args.sim or not os.path.exists(args.sim):
    print("SKIP: no native vesk_sim (configure the Windows build with -DVESK_NATIVE_SIM=...)")
    sys.exit(77)

SEP = "-" * 49
checks = Checks()
check = checks.check


def run(scenario, config, with_library=True, library=None):
    """Runs vesk_test once in the bed with Enter on its input, beside the
    library (args.library unless another is given); returns its BedRun, with
    lines (its output's) and library_path (the library's path as the program
    saw it)."""
    library = library or args.library
    r = run_in_bed(args, config, args.program, copy=[library] if with_library else [], stdin="\n",
                   prefix="vesk-test-e2e-")
    r.lines = r.stdout.replace("\r", "").split("\n")
    r.library_path = r.path_seen(os.path.basename(args.library))
    check(r.rc == 0, "%s: exit code %d\n%s" % (scenario, r.rc, r.stderr[-2000:]))
    dropped = overflowed(r.record)
    check(not dropped, "%s: %d datagram(s) dropped for want of buffer: %s" % (scenario, len(dropped), dropped[:3]))
    return r


# ------------------------------------------------------------ expectations


def boards_in_library_order(config):
    """By host address, then board address (byte order)."""
    return sorted(sim_boards(config), key=lambda b: (host_address(config, b).encode(), b["address"].encode()))


def chips_in_library_order(config):
    out = []
    for b in boards_in_library_order(config):
        for s, slot in enumerate(b.get("slot", [])):
            if slot.get("present", True):
                out.append((b, s, slot))
    return out


def expected_listing(config, library_path):
    boards, chips = boards_in_library_order(config), chips_in_library_order(config)
    lines = ["ライブラリパス = " + library_path, SEP, "[ボードの数 = %d]" % len(boards)]
    for i, b in enumerate(boards):
        lines += ["name = " + b.get("name", "VESK-SIM"), "local = " + host_address(config, b),
                  "board = " + b["address"], "ver = " + firmware(b.get("firmware", "1.0.0")),
                  "slot num = %d" % len(b.get("slot", [])), "protocol = 0", "listen port = 50003",
                  "send port = %d" % (50003 + i), "buffer size = %d" % b.get("buffer_size", 16384),
                  "wait = %d[ms]" % b.get("wait_ms", 50), SEP]
    lines.append("[チップの数 = %d]" % len(chips))
    for b, s, slot in chips:
        lines += ["name = " + slot["chip"], "address = " + b["address"], "slot no = %d" % s,
                  "clock = %d" % slot["clock"], "valiable clock = %d" % bool(slot.get("variable_clock")),
                  "hardware reset = %d" % bool(slot.get("hardware_reset")), "extinfo = " + slot.get("ext_info", ""), SEP]
    return lines


def chip_opened(config, model, clock=4000000):
    """The chip the library hands out: the first free one of that model with
    the clock asked for or a variable clock."""
    for b, s, slot in chips_in_library_order(config):
        if slot["chip"] == model and (slot["clock"] == clock or slot.get("variable_clock")):
            return b, s, slot
    return None


def commands(rec, board_name, *names):
    return [c for c in rec if c.get("type") == "command" and c.get("board") == board_name
            and (not names or c.get("name") in names)]


def replies(rec, board_name, tag):
    return [r for r in rec if r.get("type") == "reply" and r.get("board") == board_name and r.get("tag") == tag]


def display_pass(fill):
    out = []
    for p in range(8):
        out.append([0x00, 0x21, 0x00, 0x7F, 0x22, 0x00, 0x07, 0xB0 + p])
        out.append([0x40] + [fill] * 128)
    return out


def hexbytes(entry):
    return list(bytes.fromhex(entry["bytes"]))


def i2c_data(c):
    """Data bytes of an I2C write command as recorded: L, code, device, data."""
    return hexbytes(c)[3:]


def split_output(scenario, r, n_expected):
    """The lines before the pause prompt, and checks that only the prompt follows."""
    body = r.lines[:n_expected]
    rest = [l for l in r.lines[n_expected:] if l.strip()]
    check(len(rest) <= 1 and all("continue" in l for l in rest),
          "%s: unexpected output after the listing: %r" % (scenario, rest))
    return body


def compare(scenario, got, want):
    for i, (g, w) in enumerate(zip(got, want)):
        if not check(g == w, "%s: line %d is %r, expected %r" % (scenario, i + 1, g, w)):
            return
    check(len(got) == len(want), "%s: %d lines, expected %d" % (scenario, len(got), len(want)))


# ------------------------------------------------------------ scenarios

scenarios = Scenarios()
scenario = scenarios.add


@scenario
def bench_boards():
    """Three boards on two links: listing, I2C exercise on the first board
    only, and the two chips opened."""
    config = os.path.join(args.configs, "bench.toml")
    r = run("bench", config)
    boards = boards_in_library_order(config)
    first = boards[0]
    listing = expected_listing(config, r.library_path)

    # The I2C lines: probes by the configured devices; each read shows the
    # bytes the simulated attenuator replied with.
    devices = {d["address"]: d for d in first.get("i2c", [])}
    att_replies = [hexbytes(x)[2:] for x in replies(r.record, first["name"], "i2c_read")]
    # The Windows library's tray reads each board's output volume once while
    # init starts it (one 3-byte read of the attenuator, before vesk_test runs).
    tray_reads = args.wine and 0x28 in devices
    if tray_reads:
        check(att_replies[:1] == [[0x87, devices[0x28].get("levels", [0, 0])[0], 0x40 | devices[0x28].get("levels", [0, 0])[1]]],
              "bench: the tray's volume read at start: %s" % att_replies[:1])
        att_replies = att_replies[1:]
    check(len(att_replies) == 3, "bench: %d I2C read replies from the first board, expected 3" % len(att_replies))
    i2c_lines = ["i2c 0x3c = %d" % (0x3C in devices), "i2c 0x28 = %d" % (0x28 in devices)]
    for data in att_replies:
        i2c_lines.append("i2c 0x28 = [%d] " % len(data) + "".join("%x, " % b for b in data))
    # The attenuator itself: start levels, then the control byte, then both channels at 0.
    levels = devices[0x28].get("levels", [0, 0])
    check(att_replies == [[0x87, levels[0], 0x40 | levels[1]], [0x87, levels[0], 0x40 | levels[1]], [0x87, 0x00, 0x40]],
          "bench: attenuator reads %s" % att_replies)

    chip_lines = []
    for n, model in enumerate(("YM2151", "YM2149")):
        got = chip_opened(config, model)
        chip_lines.append("chip%d name = %s, clock = 4000000" % (n, model) if got else "%s は見つからなかった" % model)
    want = listing + i2c_lines + chip_lines
    compare("bench", split_output("bench", r, len(want)), want)

    # What the first board's bus saw, in order.
    i2c = commands(r.record, first["name"], "i2c_read", "i2c_write")
    seq = [(c["name"], c.get("i2c_addr"), i2c_data(c) if c["name"] == "i2c_write" else c.get("count")) for c in i2c]
    if tray_reads:
        check(seq[:1] == [("i2c_read", 0x28, 3)], "bench: the tray's volume read at start: %s" % seq[:1])
        seq, i2c = seq[1:], i2c[1:]
    want_seq = [("i2c_read", 0x28, 3), ("i2c_write", 0x28, [0x87]), ("i2c_read", 0x28, 3),
                ("i2c_write", 0x28, [0x00, 0x40]), ("i2c_read", 0x28, 3)]
    for fill in (0x00, 0xFF, 0x00):
        want_seq += [("i2c_write", 0x3C, d) for d in display_pass(fill)]
    check(len(seq) == len(want_seq), "bench: %d I2C commands on the first board, expected %d" % (len(seq), len(want_seq)))
    for i, (g, w) in enumerate(zip(seq, want_seq)):
        if not check(g == w, "bench: I2C command %d is %s, expected %s" % (i, str(g)[:80], str(w)[:80])):
            break
    check(all(c["status"] == "ok" for c in i2c), "bench: I2C statuses %s" % sorted({c["status"] for c in i2c}))
    # The passes are a second apart.
    disp = [c for c in i2c if c.get("i2c_addr") == 0x3C]
    if len(disp) == 48:
        for k in (16, 32):
            gap = (disp[k]["replay_ns"] - disp[k - 1]["replay_ns"]) / 1e6
            check(gap >= 950, "bench: %.0f ms between display passes, expected about 1000" % gap)
    probes = [c for c in commands(r.record, first["name"], "query") if c.get("item") == 0x0C]
    check(sorted({hexbytes(c)[-1] for c in probes}) == [0x28, 0x3C], "bench: probes for %s" % [c["bytes"] for c in probes])
    for b in boards[1:]:
        used = [(c["name"], c.get("i2c_addr"), c.get("count")) for c in commands(r.record, b["name"], "i2c_read", "i2c_write")]
        tray = [("i2c_read", 0x28, 3)] if args.wine and any(d["address"] == 0x28 for d in b.get("i2c", [])) else []
        check(used == tray, "bench: %s's I2C bus was used: %s" % (b["name"], used))

    # The chips opened: a variable-clock chip asked for at another clock is sent 4 MHz.
    for model in ("YM2151", "YM2149"):
        b, s, slot = chip_opened(config, model)
        clocks = [c["clock"] for c in commands(r.record, b["name"], "set_clock") if c.get("slot") == s]
        if slot["clock"] != 4000000:
            check(4000000 in clocks, "bench: %s in %s slot %d was sent clocks %s" % (model, b["name"], s, clocks))
    check(not r.boxes, "bench: message boxes %s" % r.boxes)


@scenario
def no_attenuator():
    """Probe 0 and reads of 0 bytes for a device the board lacks; the display is still written."""
    config = os.path.join(args.configs, "display-only.toml")
    r = run("no attenuator", config)
    want = expected_listing(config, r.library_path) + ["i2c 0x3c = 1", "i2c 0x28 = 0"] + ["i2c 0x28 = [0] "] * 3 + \
        ["chip0 name = YM2151, clock = 4000000", "YM2149 は見つからなかった"]
    compare("no attenuator", split_output("no attenuator", r, len(want)), want)
    board = sim_boards(config)[0]["name"]
    disp = [i2c_data(c) for c in commands(r.record, board, "i2c_write") if c.get("i2c_addr") == 0x3C]
    check(disp == display_pass(0x00) + display_pass(0xFF) + display_pass(0x00), "no attenuator: display writes differ")


@scenario
def no_board():
    """The listing says why no board was found; a library older than the
    init report (the stand-in in untimed/) is listed as before."""
    config = os.path.join(args.configs, "nobody.toml")
    older = os.path.join(os.path.dirname(args.library), "untimed", os.path.basename(args.library))
    report = ["[init report]", "Looked for boards on 1 network connection, but no board answered. Check that the boards"
              " are switched on and connected to the same network as this computer, and that no firewall blocks UDP"
              " port 50003.", SEP]
    for name, library, reasons in (("no board", args.library, report), ("no board, older library", older, [])):
        if not check(os.path.exists(library), "%s: no %s (build vesk_untimed)" % (name, library)):
            continue
        r = run(name, config, library=library)
        want = ["ライブラリパス = " + r.library_path, SEP, "[ボードの数 = 0]", "[チップの数 = 0]"] + reasons + \
            ["YM2151 は見つからなかった", "YM2149 は見つからなかった"]
        compare(name, split_output(name, r, len(want)), want)
        check(not [c for c in r.record if c.get("type") == "command" and c.get("name", "").startswith("i2c")],
              "%s: an I2C command was sent" % name)
        check(not r.boxes, "%s: message boxes %s" % (name, r.boxes))


@scenario
def library_missing():
    r = run("no library", os.path.join(args.configs, "nobody.toml"), with_library=False)
    check(r.boxes == [("DLL loading error", "DLL load error")], "no library: boxes %s" % r.boxes)
    check(not [l for l in r.lines if l.strip()], "no library: printed %r" % r.lines[:5])


scenarios.run(args.only)
checks.finish()
