#!/usr/bin/env python3
"""The writer's files read back: what vgm.vgm_file and vgm.wait write, the
decoder finds again (each write at its sample, the header's offsets where
they point), for headers before and after 1.50, waits short and long, a
loop and a tag."""
import gzip, os, tempfile, unittest

from vesktools import vgm
from vesktools.decoder import decode

# (sample, command): the writes of a song for the table below.
WRITES = [(0, b"\x52\x28\xF0"), (0, b"\x50\x9F"), (3, b"\x53\xB4\xC0"), (20, b"\x54\x08\x78"),
          (20 + 70000, b"\xA0\x87\x3F"), (20 + 70000 + 16, b"\xD2\x01\x02\x03")]
WANT = {("YM2612", 0): [(0, 0, 0x28, 0xF0), (3, 1, 0xB4, 0xC0)], ("SN76489", 0): [(0, 0, 0, 0x9F)],
        ("YM2151", 0): [(20, 0, 0x08, 0x78)], ("AY8910", 1): [(70020, 0, 0x07, 0x3F)],
        ("K051649", 0): [(70036, 1, 0x02, 0x03)]}


def song(short):
    data, now = bytearray(), 0
    for t, command in WRITES:
        data += vgm.wait(t - now, short) + command
        now = t
    return bytes(data + vgm.wait(100, short) + b"\x66"), now + 100


class RoundTrip(unittest.TestCase):
    def test_written_files_decode_to_their_writes(self):
        cases = [  # version, header size, short waits, loop, tag, gzipped
            (0x100, 0x40, False, False, None, False),
            (0x150, 0x40, True, False, ["t", "", "g", "", "", "", "a", "", "2026", "", ""], False),
            (0x151, 0x80, False, True, None, True),
            (0x171, 0x100, True, True, ["x"] * 11, False),
        ]
        for version, size, short, loop, tag, zipped in cases:
            with self.subTest(version=hex(version), short=short):
                data, samples = song(short)
                raw = vgm.vgm_file(version, data, {vgm.TOTAL_SAMPLES: samples}, header_size=size,
                                   loop_at=0 if loop else None, tag=tag)
                self.assertEqual(vgm.u32(raw, vgm.EOF_OFFSET), len(raw) - 4)
                self.assertEqual(vgm.data_start(raw), size)
                self.assertEqual(raw[size:size + len(data)], data)
                if tag is not None:
                    at = vgm.GD3_OFFSET + vgm.u32(raw, vgm.GD3_OFFSET)
                    self.assertEqual(raw[at:], vgm.gd3(tag))
                self.assertEqual(vgm.u32(raw, vgm.LOOP_OFFSET) and vgm.LOOP_OFFSET + vgm.u32(raw, vgm.LOOP_OFFSET),
                                 size if loop else 0)
                with tempfile.NamedTemporaryFile(suffix=".vgm", delete=False) as f:
                    f.write(gzip.compress(raw) if zipped else raw)
                try:
                    self.assertEqual(vgm.read(f.name), raw)
                    self.assertEqual(decode(f.name, samples / vgm.RATE, loops=0), WANT)
                finally:
                    os.unlink(f.name)

    def test_waits(self):
        for samples, short, want in [(0, True, b""), (16, True, b"\x7F"), (17, True, b"\x61\x11\x00"),
                                     (16, False, b"\x61\x10\x00"), (65535 + 3, True, b"\x61\xFF\xFF\x72"),
                                     (65535 + 3, False, b"\x61\xFF\xFF\x61\x03\x00")]:
            with self.subTest(samples=samples, short=short):
                self.assertEqual(vgm.wait(samples, short), want)


if __name__ == "__main__":
    unittest.main()
