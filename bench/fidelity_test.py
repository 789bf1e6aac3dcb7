#!/usr/bin/env python3
"""make fidelity's figures (vesktools.figures) from a hand-made record: one
YM2612 part on board B, four file writes 10 ms apart. The first two come in
an anchored datagram on time, the third's datagram is dropped for want of
buffer, the fourth comes in a chained one 50 us late; the player called the
library 20 ms before each board time but 30 us less for the fourth. Then the
driver's own parts: the boards' configuration and the path's label."""
import os, tempfile, tomllib, unittest

import fidelity   # the driver beside this file: its options and labels
from vesktools import figures

MS = 1000000
BOARDS = [{"name": "B", "address": "fe80::b", "buffer_size": 1000}]
ENTRY = {"chips": [{"part": "YM2612", "model": "YM2612", "address": "fe80::b", "slot": 0}]}
# (sample, bank, reg, data): bank 1 is the chip's second register bank.
DECODED = {("YM2612", 0): [(0, 0, 0x30, 1), (441, 1, 0xB4, 2), (882, 0, 0x30, 3), (1323, 0, 0x30, 4)]}


def command(seq, name, at_ns, reg=0, data=0, port=0, wait_us=0, slot=0):
    """A command line; its bytes hold its own wait where the board keeps it."""
    raw = "0402%02x%02x%02x" % (port, data, wait_us) if name == "write_port" else "060100000000%02x" % wait_us
    return {"type": "command", "board": "B", "slot": slot, "seq": seq, "name": name, "replay_ns": at_ns,
            "reg": reg, "data": data, "port": port, "bytes": raw}


RECORD = [
    {"type": "datagram", "board": "B", "seq": 0, "arrival_ns": 0, "len": 900, "overflow": True},  # the file before's
    {"type": "datagram", "board": "B", "seq": 1, "arrival_ns": 10 * MS, "len": 9, "chained": False},
    command(1, "write_reg", 10 * MS, 0x28, 0),   # the chip's silence, sent when it was made
    command(2, "set_clock", 50 * MS),            # this file takes the chip
    {"type": "datagram", "board": "B", "seq": 3, "arrival_ns": 100 * MS, "len": 18, "chained": False},
    command(3, "write_reg", 100 * MS, 0x30, 1),
    command(3, "write_reg", 110 * MS, 0xB4, 2, port=2),
    {"type": "datagram", "board": "B", "seq": 4, "arrival_ns": 115 * MS, "len": 900, "overflow": True},
    {"type": "datagram", "board": "C", "seq": 4, "arrival_ns": 115 * MS, "len": 900, "overflow": True},
    {"type": "datagram", "board": "B", "seq": 5, "arrival_ns": 125 * MS, "len": 9, "chained": True},
    command(5, "write_reg", 130 * MS + 50000, 0x30, 4),
    {"type": "datagram", "board": "B", "seq": 6, "arrival_ns": 200 * MS, "len": 9, "chained": False},
    command(6, "write_reg", 200 * MS, 0x28, 0),  # the silence again at the file's end
]
# (ns, address, data) of each write call: the third's arrived nowhere.
CALLS = {"YM2612": [(80 * MS, 0x030, 1), (90 * MS, 0x1B4, 2), (100 * MS, 0x030, 3), (110 * MS + 20000, 0x030, 4)]}

# Today's record: no "chained", "overflow" nor "held" on datagram lines.
PLAIN = [{k: v for k, v in d.items() if k not in ("chained", "overflow")} for d in RECORD]

# A burst: five writes called at once, which the chip plays 29 us apart (their
# own waits), then two alone, each 20 ms after its call: no transport error.
BURST_DECODED = {("YM2612", 0): [(0, 0, 0x30, d) for d in range(5)] + [(441, 0, 0x31, 5), (882, 0, 0x31, 6)]}
BURST_TIMES = [20 * MS + 29000 * i for i in range(5)] + [30 * MS, 40 * MS]
BURST = RECORD[:4] + [
    {"type": "datagram", "board": "B", "seq": 3, "arrival_ns": 20 * MS, "len": 60}] + [
    command(3, "write_reg", t, w[2], w[3], wait_us=29 if t < 30 * MS else 0)
    for t, w in zip(BURST_TIMES, BURST_DECODED[("YM2612", 0)])]
BURST_CALLS = {"YM2612": [(0, 0x30, d) for d in range(5)] + [(10 * MS, 0x31, 5), (20 * MS, 0x31, 6)]}

# Two SCC writes called at once: three port writes each (address high, low,
# data), 50 us apart; the second plays 150 us after the first, as it should.
SCC_ENTRY = {"chips": [{"part": "K051649", "model": "SCC", "address": "fe80::b", "slot": 1}]}
SCC_DECODED = {("K051649", 0): [(0, 0, 0x10, 7), (0, 0, 0x11, 8)]}
SCC = [command(2, "set_clock", 0, slot=1), command(2, "set_clock", 0, slot=1),
       {"type": "datagram", "board": "B", "seq": 3, "arrival_ns": 20 * MS, "len": 30}] + [
    command(3, "write_port", 20 * MS + 50000 * i, port=13 + i % 3, data=(0x98, 0x10 + i // 3, 7 + i // 3)[i % 3],
            wait_us=50, slot=1) for i in range(6)]
SCC_CALLS = {"K051649": [(0, 0x9810, 7), (0, 0x9811, 8)]}

CASES = [  # name, entry, decoded, record, calls, expected figures (None: not in the row)
    ("chained, dropped, transport", ENTRY, DECODED, RECORD, CALLS,
     dict(excerpt=4, at_board=3, lost=1, chained=1, dropped=1, chip_max=50, chained_max=50, anchored_max=0,
          transport_p99=30, transport_max=30)),
    ("a record without the fields", ENTRY, DECODED, PLAIN, CALLS,
     dict(at_board=3, chained=0, dropped=0, chip_max=50, chained_max=None, anchored_max=50, transport_max=30)),
    ("a player without call times", ENTRY, DECODED, RECORD, None, dict(at_board=3, transport_p99=None, transport_max=None)),
    ("a burst the chip spreads out", ENTRY, BURST_DECODED, BURST, BURST_CALLS, dict(at_board=7, transport_max=0)),
    ("SCC writes, three commands each", SCC_ENTRY, SCC_DECODED, SCC, SCC_CALLS,
     dict(at_board=2, chip_max=0, transport_max=0)),
]


class Figures(unittest.TestCase):
    def test_cases(self):
        for name, entry, decoded, record, calls, want in CASES:
            with self.subTest(name):
                row = figures.figures(decoded, entry, record, BOARDS, {"B": 0}, calls=calls)
                for key, value in want.items():
                    if value is None:
                        self.assertNotIn(key, row, key)
                    else:
                        self.assertAlmostEqual(row[key], value, places=3, msg=key)

    def test_write_times_file(self):
        text = "file 0 a.vgm\npart 0 YM2612\npart 1 SN76489 #2\n0 1000 2a 80\n1 250 0 9f\n0 5 1b4 c0\n" \
               "file 1 b.vgm\npart 0 YM2151\n0 7000 8 0\n"
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
            f.write(text)
        try:
            self.assertEqual(figures.read_write_times(f.name), {
                0: {"YM2612": [(1000, 0x2A, 0x80), (1255, 0x1B4, 0xC0)], "SN76489 #2": [(1250, 0, 0x9F)]},
                1: {"YM2151": [(7000, 8, 0)]}})
        finally:
            os.unlink(f.name)

    def test_board_config_sets_every_board(self):
        text = ("# boards\n[[board]]\nname = \"A\"\nbuffer_size = 16384 # own\n\n  [[board.slot]]\n  chip = \"YM2612\"\n"
                "\n[[board]]\nname = \"B\"\nwait_ms = 20\n")
        with tempfile.TemporaryDirectory() as d:
            with open(os.path.join(d, "in.toml"), "w") as f:
                f.write(text)
            fidelity.board_config(f.name, os.path.join(d, "out.toml"), {"buffer_size": 1024, "jitter_ms": 5.0})
            with open(os.path.join(d, "out.toml"), "rb") as f:
                boards = tomllib.load(f)["board"]
        self.assertEqual([(b["name"], b["buffer_size"], b["jitter_ms"]) for b in boards],
                         [("A", 1024, 5.0), ("B", 1024, 5.0)])
        self.assertEqual(boards[0]["slot"], [{"chip": "YM2612"}])
        self.assertEqual(boards[1]["wait_ms"], 20)


class PathTaken(unittest.TestCase):
    def test_label_follows_the_report(self):
        ok = lambda **e: dict(ok=True, **e)
        cases = [  # (asked, report's files, label)
            ("timed", [ok(pacing="timed"), ok(pacing="timed")], "timed"),
            ("paced", [ok(pacing="paced")], "paced"),
            ("timed", [ok(pacing="paced")], "paced (library has no timed writes)"),
            ("timed", [ok()], "paced (player has no timed writes)"),
            ("paced", [ok(pacing="timed")], "timed (paced was asked)"),
            ("timed", [ok(pacing="timed"), ok(pacing="paced")], "paced and timed (timed was asked)"),
            ("timed", [dict(ok=False)], "timed"),   # nothing played: nothing to tell
        ]
        for asked, files, label in cases:
            with self.subTest(label=label):
                self.assertEqual(fidelity.path_taken(asked, {"files": files}), label)


if __name__ == "__main__":
    unittest.main()
