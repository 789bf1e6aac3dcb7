#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora (tests/fuzz/<target>/seed-*): small
inputs made here, one per kind of message each reader meets, well formed or
cut short. Run it again after changing it; inputs that once crashed or
stalled a target are kept beside the seeds (crash-*, slow-*) and never
rewritten.

    scripts/py tests/fuzz/make_seeds.py
"""
import gzip
import os
import struct

from vesktools.vgm import vgm_file

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(bytes(data))


def cmd(code, *payload):
    """One command: L, code, payload."""
    body = bytes([code]) + b"".join(p if isinstance(p, bytes) else bytes([p]) for p in payload)
    return bytes([len(body)]) + body


# ---------------------------------------------------------------- replies
# reader byte, parameter byte, then the board's reply.
def replies():
    q = lambda target, item, value=b"": cmd(0x40, target, item, value)
    rows = {
        "board-firmware": (0, 0, q(0, 0x00, b"\x03\x02\x01")),
        "board-slots": (0, 0, q(0, 0x01, b"\x04")),
        "board-wait": (0, 0, q(0, 0x04, b"\x32\x00")),
        "board-buffer": (0, 0, q(0, 0x05, struct.pack("<I", 16384))),
        "board-buffer-cut": (0, 0, q(0, 0x05, struct.pack("<I", 16384))[:6]),
        "board-name": (0, 0, q(0, 0x06, b"VESK-A")),
        "board-ipv4": (0, 0, q(0, 0x07, b"192.168.0.10")),
        "board-idle": (0, 0, q(0, 0x0B, b"\x64")),
        "slot-present": (1, 0, q(1, 0x00, b"\x01")),
        "slot-clock": (1, 0, q(1, 0x03, struct.pack("<I", 4000000))),
        "slot-name": (1, 0, q(2, 0x04, b"YM2151")),
        "slot-ext": (1, 0, q(1, 0x05, b"PRE13=4000000")),
        "discovery": (2, 0, b"\x03\x80WP"),
        "discovery-cut": (2, 0, b"\x03\x80"),
        "reset-ok": (3, 0, b"\x03\x90OK"),
        "reset-cut": (3, 0, b"\x03\x90O"),
        "read-reg": (4, 0x08, cmd(0x04, 0x00, 0x08, 0x5A)),
        "read-reg-cut": (4, 0x08, cmd(0x04, 0x00, 0x08, 0x5A)[:4]),
        "i2c-read": (5, 3, cmd(0x20, b"\x87\x12\x52")),
        "i2c-read-over": (5, 2, cmd(0x20, b"\x87\x12\x52")),
        "i2c-read-nack": (5, 16, cmd(0x20)),
        "probe": (6, 0, q(0, 0x0C, b"\x01")),
        "probe-absent": (6, 0, q(0, 0x0C, b"\x00")),
        "volume": (7, 1, cmd(0x20, b"\x87\x12\x52")),
        "sync": (8, 0x12, b"\x03\x80WP"),
        "answers-query": (9, 4, q(0, 0x06) + q(0, 0x06, b"VESK-A")),
        "answers-read": (9, 5, cmd(0x04, 0x10, 0x08, 0x00) + cmd(0x04, 0x10, 0x08, 0x5A)),
        "answers-set": (9, 6, cmd(0x50, 0, 0x0A, b"\x53\xC3") + cmd(0x50, 0, 0x0A, b"\x53\xC3")),
        "datagram": (9, 0, cmd(0x00, 0x00, 0x28, 0xF0, 2, 3) + cmd(0x01, 1, b"\x10\x00") +
                     cmd(0x02, 0x11, 0x9F, 4) + b"\x00"),
    }
    for name, (reader, param, reply) in rows.items():
        write("replies", name, bytes([reader, param]) + reply)


# ---------------------------------------------------------------- settings
def settings():
    rows = {
        "toml": (0, '[target_address]\nipv6 = ["fe80::1234:56ff:fe78:9abc", "fe80::2"]\n'),
        "toml-syntax": (0, '[target_address\nipv6 = ["fe80::1"\n'),
        "toml-type": (0, '[target_address]\nipv6 = "fe80::1"\n'),
        "toml-other": (0, 'title = "x"\n[a.b]\nc = [[1, 2], [3.5], {d = true}]\n[target_address]\nipv6 = []\n'),
        "ini": (1, "[YM2151]\nCLOCK=3579545\nCLOCK = 4000000\n; a note\n[ym2608]\nCLOCK=-1\nCLOCK=2147483648\n"),
        "ini-odd": (1, " [ YM2413 ] x\n=5\nCLOCK\nCLOCK=  +12abc\n[]\n[SCC]]\nkey=\n\t[SCC+]\r\nCLOCK=\t42\r\n"),
        "ini-long": (1, "[" + "N" * 1100 + "]\nCLOCK=1\n[YM2151]\n" + "CLOCK=4000000\n" * 80),
        "pre13": (2, "MODE=2 PRE13= 3993600 HZ"),
        "pre13-full": (2, "PRE13=" + "9" * 26),
        "pre13-sign": (2, "PRE13=\t-2147483648"),
    }
    for name, (reader, text) in rows.items():
        write("settings", name, bytes([reader]) + text.encode())


# ---------------------------------------------------------------- scci_upload
# Writes of three bytes: address (little-endian 16 bits), data.
def scci_upload():
    w = lambda a, d: struct.pack("<HB", a, d)
    start = lambda addr: w(0x200, addr & 0xFF) + w(0x201, addr >> 8 & 0xFF) + w(0x202, addr >> 16)
    rows = {
        "bank0": start(0) + w(0x203, 0) + b"".join(w(0x204, i) for i in range(8)) + w(0x010, 0x01),
        "two-banks": start(0x100) + w(0x203, 1) + w(0x204, 0xAA) + w(0x204, 0xBB) + start(0x20) + w(0x203, 0) +
                     w(0x204, 0xCC) + w(0x203, 0) + w(0x204, 0xDD) + w(0x128, 0x0F),
        "image-end": start(0xFFFFFE) + w(0x203, 0) + w(0x204, 1) + w(0x204, 2) + w(0x204, 3) + w(0x203, 1),
        "no-upload": w(0x028, 0xF0) + w(0x128, 0x0F) + w(0x203, 2) + w(0x204, 5) + w(0x205, 1),
    }
    for name, data in rows.items():
        write("scci_upload", name, data)


# ---------------------------------------------------------------- vgm
def vgm():
    opn2_psg = {0x0C: 3579545, 0x2C: 7670454, 0x28: 0x00100009}
    notes = (b"\x52\x28\x00\x52\x30\x71\x52\xA4\x22\x52\xA0\x69\x52\x28\xF0\x50\x8F\x50\x3F"
             b"\x61\x44\x01\x62\x63\x70\x52\x28\x00\x50\x9F")
    pcm = b"\x67\x66\x00" + struct.pack("<I", 6) + b"\x80\x90\xA0\xB0\xC0\xD0"
    dac = (pcm + b"\xE0\x00\x00\x00\x00\x81\x82\x83"
           b"\x90\x00\x02\x00\x2A\x91\x00\x00\x01\x00\x92\x00" + struct.pack("<I", 8000) +
           b"\x93\x00\x00\x00\x00\x00\x01\x04\x00\x00\x00\x61\x00\x02"
           b"\x95\x00\x00\x00\x01\x61\x00\x01\x94\xFF")
    song = vgm_file(0x151, notes + dac + b"\x66", opn2_psg, loop_at=len(notes) - 6,
                    tag=["Seed", "", "Fuzz", "", "", "", "vesk", "", "2026", "vesk", ""])
    write("vgm", "opn2-psg", b"\x00" + song)
    write("vgm", "opn2-psg-zipped", b"\x01" + song)
    write("vgm", "gzip-file", b"\x00" + gzip.compress(song, mtime=0))
    write("vgm", "gzip-cut", b"\x00" + gzip.compress(song, mtime=0)[:-12])
    opnb = {0x4C: 8000000 | 0x80000000}
    block = b"\x67\x66\x82" + struct.pack("<III", 8 + 4, 0x100000, 0) + b"\x01\x02\x03\x04"
    write("vgm", "ym2610-block", b"\x00" + vgm_file(0x151, block + b"\x58\x10\x01\x59\x00\xBF\x62\x66", opnb))
    old = vgm_file(0x100, b"\x50\x9F\x51\x0E\x20\x62\x66", {0x0C: 3579545, 0x10: 3579545}, header_size=0x40)
    write("vgm", "v100", b"\x00" + old)
    dual = {0x30: 3579545 | 0x40000000, 0x74: 1789772, 0x78: 0x10, 0x9C: 1500000}
    write("vgm", "dual-opm-ay-scc",
          b"\x00" + vgm_file(0x171, b"\x54\x08\x00\xA4\x08\x78\xA0\x07\x38\xA0\x87\x3F\xD2\x00\x00\x10\x66",
                             dual, header_size=0x100))
    write("vgm", "cut", b"\x00" + song[:0x90])


# ---------------------------------------------------------------- sim_datagram
# Flags byte (bit 0: multicast), then datagrams as length (LE16) and bytes.
def sim_datagram():
    def datagrams(*items, multicast=False):
        return bytes([1 if multicast else 0]) + b"".join(struct.pack("<H", len(d)) + d for d in items)

    q = lambda target, item, *arg: cmd(0x40, target, item, *arg)
    rows = {
        "discovery": datagrams(cmd(0x80), multicast=True),
        "queries": datagrams(b"".join(q(0, i) for i in (0, 1, 4, 5, 6, 7, 0x0B)), q(0, 0x0C, 0x28),
                             b"".join(q(s, i) for s in (1, 2, 3) for i in range(6))),
        "writes": datagrams(cmd(0x50, 0, 0x0A, b"\x53\xC3") + cmd(0x08, 0x80, struct.pack("<I", 3579545)) +
                            cmd(0x00, 0x00, 0x28, 0xF0, 2, 3) + cmd(0x01, 1, b"\x02\x00") + cmd(0x01, 0, b"\x10\x00") +
                            cmd(0x02, 0x11, 0x9F, 4) + cmd(0x04, 0x00, 0x28, 1) + b"\x00",
                            cmd(0x90, 0x03) + cmd(0x80)),
        "i2c": datagrams(cmd(0x30, 0x28, b"\x87\x12\x52") + cmd(0x20, 0x28, 3),
                         cmd(0x30, 0x3C, b"\x00\xAE\x20\x00\x21\x00\x7F\x22\x00\x07\xA1\xC8\xAF") +
                         cmd(0x30, 0x3C, b"\x40\xFF\x81\x7E") + cmd(0x20, 0x3C, 2),
                         cmd(0x30, 0x50, b"\x10\x01\x02\x03") + cmd(0x20, 0x50, 4, b"\x10") + cmd(0x20, 0x51, 1)),
        "malformed": datagrams(cmd(0x00, 0x00, 0x28) + cmd(0x77, 1, 2) + cmd(0x01, 7, b"\x01\x00") +
                               cmd(0x40, 0, 0x99) + b"\x06\x00\x10"),
    }
    for name, data in rows.items():
        write("sim_datagram", name, data)


if __name__ == "__main__":
    replies()
    settings()
    scci_upload()
    vgm()
    sim_datagram()
