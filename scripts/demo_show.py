#!/usr/bin/env python3
"""Helpers of `make demo` that turn the simulator's files into text:
  demo_show.py boards CONFIG             one line per simulated board
  demo_show.py display LABEL PBM ...     128 x 64 panels side by side, 32 x 8 characters each
  demo_show.py passes RECORD BOARD ADDR  the display passes a board received
  demo_show.py attenuator RECORD BOARD FILE  attenuator writes and final levels"""
import json, sys, tomllib


def boards(config):
    with open(config, "rb") as f:
        for b in tomllib.load(f)["board"]:
            chips = ", ".join("%s (slot %d, %.4g MHz)" % (s["chip"], i, s["clock"] / 1e6)
                              for i, s in enumerate(b.get("slot", [])) if s.get("present", True))
            bus = ", ".join("%s at 0x%02X" % (d["type"], d["address"]) for d in b.get("i2c", []))
            print("  %-12s %-14s %s" % (b.get("name", "VESK-SIM"), b["address"], chips))
            if bus:
                print("  %-12s %-14s I2C bus: %s" % ("", "", bus))


def panel(path, cw, ch):
    """A PBM as rows of characters, each covering cw x ch pixels, and its
    lit-pixel count and on/off state."""
    text = open(path).read()
    lines = text.splitlines()
    tokens = " ".join(l for l in lines if not l.startswith("#")).split()
    assert tokens[0] == "P1"
    w, h = int(tokens[1]), int(tokens[2])
    bits = "".join(tokens[3:])
    rows = []
    for cy in range(h // ch):
        row = ""
        for cx in range(w // cw):
            lit = sum(bits[(cy * ch + j) * w + cx * cw + i] == "1" for i in range(cw) for j in range(ch))
            row += "█" if lit > cw * ch // 2 else ("▒" if lit else "·")
        rows.append(row)
    on = not any(l.startswith("#") and l.endswith("off") for l in lines)
    return rows, bits.count("1"), w * h, on


def display(*items):
    """Panels side by side: display LABEL PBM [LABEL PBM ...], 4 x 8 pixels a character."""
    panels = [(items[i], panel(items[i + 1], 4, 8)) for i in range(0, len(items), 2)]
    width = len(panels[0][1][0][0])
    gap = "    "
    print("  " + gap.join(label.ljust(width + 2) for label, _ in panels))
    print("  " + gap.join("┌" + "─" * width + "┐" for _ in panels))
    for r in range(len(panels[0][1][0])):
        print("  " + gap.join("│" + p[0][r] + "│" for _, p in panels))
    print("  " + gap.join("└" + "─" * width + "┘" for _ in panels))
    print("  " + gap.join(("%d of %d pixels lit" % (p[1], p[2])).ljust(width + 2) for _, p in panels))
    if not all(p[3] for _, p in panels):
        print("  (the panel's memory: vesk_test never sends the display-on command)")


def commands(record, board, name, addr):
    out = []
    for line in open(record):
        e = json.loads(line)
        if e.get("type") == "command" and e.get("board") == board and e.get("name") == name \
                and e.get("i2c_addr") == addr:
            out.append(e)
    return out


def passes(record, board, addr):
    data = [c for c in commands(record, board, "i2c_write", int(addr, 0)) if bytes.fromhex(c["bytes"])[3] == 0x40]
    if not data:
        print("  no display data received")
        return
    t0 = data[0]["replay_ns"]
    groups = []
    for c in data:
        fills = set(bytes.fromhex(c["bytes"])[4:])
        fill = "0x%02X" % fills.pop() if len(fills) == 1 else "mixed"
        if groups and groups[-1][0] == fill and c["replay_ns"] - groups[-1][2] < 500e6:
            groups[-1][1] += 1
            groups[-1][2] = c["replay_ns"]
        else:
            groups.append([fill, 1, c["replay_ns"], c["replay_ns"]])
    for n, (fill, pages, _, start) in enumerate(groups, 1):
        print("  pass %d at +%5.2f s: %d pages of 128 bytes filled with %s" % (n, (start - t0) / 1e9, pages, fill))


def attenuator(record, board, dump):
    for c in commands(record, board, "i2c_write", 0x28):
        print("  write " + " ".join("%02x" % b for b in bytes.fromhex(c["bytes"])[3:]))
    vals = dict(l.split() for l in open(dump) if l.strip())
    print("  final: control byte 0x%02x, channel 0 level %s, channel 1 level %s (0 = no attenuation)"
          % (int(vals["control"]), vals["level0"], vals["level1"]))


cmd = sys.argv[1]
if cmd == "boards":
    boards(sys.argv[2])
elif cmd == "display":
    display(*sys.argv[2:])
elif cmd == "passes":
    passes(*sys.argv[2:5])
elif cmd == "attenuator":
    attenuator(*sys.argv[2:5])
