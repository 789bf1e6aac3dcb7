#!/usr/bin/env python3
"""Copies a plain VGM file with every write made explicit (DAC writes from
data blocks and DAC streams become YM2612 register 0x2A writes, as a
board's recording has them), optionally damaged, for the audio check's failing cases. Writes keep
their order, as on a board: one moved later holds back those after it.

usage: vgm_edit.py IN.vgm OUT.vgm [--shift MS FROM TO] [--drop-dac-at S]
                                  [--jitter SAMPLES FRACTION SEED]
  --shift MS FROM TO   writes between FROM and TO seconds come MS later
  --drop-dac-at S      the first DAC write at or after S seconds that would
                       change the DAC's value is left out
  --jitter N F SEED    a fraction F of the writes move by up to N samples
"""
import random
import struct
import sys

from vesktools import vgm
from vesktools.vgm import RATE

STREAM_LENGTHS = {0x90: 5, 0x91: 5, 0x92: 6, 0x93: 11, 0x94: 2, 0x95: 5}


class Streams:
    """The DAC stream commands (0x90-0x95) played out as the writes they
    stand for. Write k of a stream started at sample t0 with frequency f
    falls on sample t0 + floor(k * 44100 / f)."""

    def __init__(self, banks, blocks):
        self.banks, self.blocks = banks, blocks   # by data type: bytes; [(start, length)]
        self.s = {}

    def command(self, c, data, p, t):
        sid = data[p + 1]
        st = self.s.setdefault(sid, {"active": False, "chip": None, "bank": 0, "step": 1, "base": 0, "freq": 0})
        if c == 0x90:
            st["chip"] = (data[p + 2], data[p + 3], data[p + 4])
        elif c == 0x91:
            st["bank"], st["step"], st["base"] = data[p + 2], data[p + 3], data[p + 4]
        elif c == 0x92:
            st["freq"] = struct.unpack_from("<I", data, p + 2)[0]
        elif c == 0x93:
            start, mode, length = struct.unpack_from("<IBI", data, p + 2)
            if start != 0xFFFFFFFF:
                st["start"] = start
            bank = self.banks.get(st["bank"], b"")
            if mode & 3 == 1:
                count = length
            elif mode & 3 == 2:
                count = length * st["freq"] // 1000
            elif mode & 3 == 3:
                count = (len(bank) - st.get("start", 0) - st["base"]) // max(1, st["step"])
            else:
                count = st.get("count", 0)
            self.begin(st, t, count, bool(mode & 0x80), bool(mode & 0x10))
        elif c == 0x94:
            for x in (self.s.values() if sid == 0xFF else [st]):
                x["active"] = False
        elif c == 0x95:
            block, flags = struct.unpack_from("<HB", data, p + 2)
            start, length = self.blocks.get(st["bank"], [])[block]
            st["start"] = start
            self.begin(st, t, length // max(1, st["step"]), bool(flags & 1), bool(flags & 0x10))

    def begin(self, st, t, count, loop, reverse):
        if reverse:
            raise SystemExit("reversed DAC streams are not supported")
        st.update(active=True, t0=t, k=0, count=count, loop=loop)

    def until(self, t):
        """The stream writes before sample t, in time order."""
        out = []
        for st in self.s.values():
            while st["active"] and st["freq"]:
                when = st["t0"] + st["k"] * RATE // st["freq"]
                if when >= t:
                    break
                i = st["k"] % st["count"] if st["loop"] and st["count"] else st["k"]
                if i >= st["count"]:
                    st["active"] = False
                    break
                bank = self.banks.get(st["bank"], b"")
                pos = st.get("start", 0) + st["base"] + i * st["step"]
                if pos >= len(bank):
                    st["active"] = False
                    break
                chip, port, reg = st["chip"]
                if chip & 0x7F == 0x02:
                    cmd = bytes([(0x52 if not chip & 0x80 else 0xA2) + port, reg, bank[pos]])
                elif chip & 0x7F == 0x00:
                    cmd = bytes([0x50 if not chip & 0x80 else 0x30, bank[pos]])
                else:
                    raise SystemExit("DAC streams to chip type 0x%02x are not supported" % chip)
                out.append((when, cmd))
                st["k"] += 1
        return sorted(out, key=lambda e: e[0])


def read_events(data):
    """(sample, command bytes) of every chip write, and the end sample."""
    if data[:4] != b"Vgm ":
        raise SystemExit("not a plain VGM file")
    start = vgm.data_start(data)
    banks, blocks = {}, {}
    streams = Streams(banks, blocks)
    p, t, pos, events = start, 0, 0, []

    def advance(n):
        nonlocal t
        events.extend(streams.until(t + n))
        t += n

    while p < len(data):
        c = data[p]
        if c == 0x66:
            break
        if c == 0x61:
            advance(struct.unpack_from("<H", data, p + 1)[0])
            p += 3
        elif c in (0x62, 0x63):
            advance(735 if c == 0x62 else 882)
            p += 1
        elif 0x70 <= c <= 0x7F:
            advance(c - 0x6F)
            p += 1
        elif c == 0x67:
            kind = data[p + 2]
            size = struct.unpack_from("<I", data, p + 3)[0] & 0x7FFFFFFF
            if kind < 0x40:             # uncompressed stream data
                bank = banks.setdefault(kind, bytearray())
                blocks.setdefault(kind, []).append((len(bank), size))
                bank += data[p + 7:p + 7 + size]
            p += 7 + size
        elif 0x80 <= c <= 0x8F:
            events.append((t, bytes([0x52, 0x2A, banks.get(0, b"\x80")[pos] if pos < len(banks.get(0, b"")) else 0x80])))
            pos += 1
            p += 1
            advance(c - 0x80)
        elif c == 0xE0:
            pos = struct.unpack_from("<I", data, p + 1)[0]
            p += 5
        elif c in STREAM_LENGTHS:
            streams.command(c, data, p, t)
            p += STREAM_LENGTHS[c]
        else:
            n = 2 if (0x30 <= c <= 0x3F or c in (0x4F, 0x50)) else \
                3 if (0x40 <= c <= 0x5F or 0xA0 <= c <= 0xBF) else \
                4 if 0xC0 <= c <= 0xDF else 5 if 0xE1 <= c else None
            if n is None:
                raise SystemExit("unknown command 0x%02x at 0x%x" % (c, p))
            events.append((t, bytes(data[p:p + n])))
            p += n
    return start, events, t


def write_vgm(path, original, header_end, events, end):
    """Writes the events in their order; a board plays in order, so a write
    moved later holds back the ones after it."""
    body = bytearray()
    now = 0
    for t, cmd in events:
        body += vgm.wait(t - now)
        now = max(now, t)
        body += cmd
    if end > now:
        body += bytes([0x61]) + struct.pack("<H", min(end - now, 0xFFFF))
    body.append(0x66)
    header = bytearray(original[:header_end])
    struct.pack_into("<I", header, 0x14, 0)                 # no tag
    struct.pack_into("<I", header, 0x18, end)
    struct.pack_into("<I", header, 0x1C, 0)                 # no loop
    struct.pack_into("<I", header, 0x20, 0)
    if len(header) > 0x38:
        struct.pack_into("<I", header, 0x34, header_end - 0x34)
    out = header + body
    struct.pack_into("<I", out, 0x04, len(out) - 4)
    with open(path, "wb") as f:
        f.write(out)


def main(argv):
    if len(argv) < 2:
        sys.stderr.write(__doc__)
        return 2
    src, dst, opts = argv[0], argv[1], argv[2:]
    with open(src, "rb") as f:
        data = f.read()
    header_end, events, end = read_events(data)
    i = 0
    while i < len(opts):
        if opts[i] == "--shift":
            ms, lo, hi = (float(x) for x in opts[i + 1:i + 4])
            d = round(ms * RATE / 1000)
            events = [(t + d if lo * RATE <= t < hi * RATE else t, c) for t, c in events]
            i += 4
        elif opts[i] == "--drop-dac-at":
            at = float(opts[i + 1]) * RATE
            value = None
            for k, (t, c) in enumerate(events):
                if c[0] == 0x52 and c[1] == 0x2A:
                    if t >= at and value is not None and c[2] != value:
                        print("dropped DAC write %02x (after %02x) at %.4f s" % (c[2], value, t / RATE))
                        del events[k]
                        break
                    value = c[2]
            i += 2
        elif opts[i] == "--jitter":
            n, fraction, seed = int(opts[i + 1]), float(opts[i + 2]), int(opts[i + 3])
            rng = random.Random(seed)
            events = [(max(0, t + rng.randint(-n, n)) if rng.random() < fraction else t, c) for t, c in events]
            i += 4
        else:
            sys.stderr.write(__doc__)
            return 2
    write_vgm(dst, data, header_end, events, end)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
