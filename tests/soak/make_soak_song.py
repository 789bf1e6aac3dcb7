#!/usr/bin/env python3
"""Writes a second song for the soak: about 12 s for a YM2151 and a YM2149
(AY8910 family, YM2149 type), as a VGM 1.51 file. Four OPM channels play a
chord sequence with a vibrato written every millisecond (about 4,400 writes a
second in all), and two PSG channels an arpeggio with a per-frame volume
decay; every register value stays distinct enough that a lost or swapped
write shows at the board.

usage: make_soak_song.py OUT.vgm
"""
import math
import sys

from vesktools import vgm
from vesktools.vgm import RATE

OPM_CLOCK = 4000000
PSG_CLOCK = 2000000
MS = RATE // 1000           # a vibrato step: 44 samples
CHORD = RATE                 # a chord a second
CHORDS = [[57, 60, 64, 69], [53, 57, 60, 65], [55, 60, 64, 67], [55, 59, 62, 67]] * 3
KC_NOTES = [0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14]   # C C# D ... B in the OPM's key code


def kc(midi):
    # The OPM's key code: octave in bits 6-4, note in bits 3-0 (C# is 0 at 3.58 MHz;
    # the clock here is 4 MHz, near enough for a test song).
    octave = max(0, min(7, midi // 12 - 2))
    return octave << 4 | KC_NOTES[midi % 12]


def psg_period(midi):
    hz = 440.0 * 2 ** ((midi - 69) / 12)
    return max(1, min(0xFFF, int(round(PSG_CLOCK / (16 * hz)))))


def song():
    out = bytearray()
    waited = 0

    def opm(reg, data):
        out.extend((0x54, reg, data))

    def psg(reg, data):
        out.extend((0xA0, reg, data))

    def wait(n):
        nonlocal waited
        waited += n
        out.extend(vgm.wait(n))

    # Voice on channels 0-3: algorithm 4, feedback 5, both outputs.
    for ch in range(4):
        opm(0x20 + ch, 0xC0 | 5 << 3 | 4)
        for op in range(4):
            base = op * 8 + ch
            opm(0x40 + base, 0x01 + op % 2)          # DT1/MUL
            opm(0x60 + base, 0x20 if op % 2 == 0 else 0x08)   # TL
            opm(0x80 + base, 0x1F)                   # KS/AR
            opm(0xA0 + base, 0x05)                   # AMS-EN/D1R
            opm(0xC0 + base, 0x02)                   # DT2/D2R
            opm(0xE0 + base, 0x26)                   # D1L/RR
    psg(7, 0x3C)    # tones A and B on, noise off
    for i, chord in enumerate(CHORDS):
        for ch, note in enumerate(chord):
            opm(0x08, ch)                            # key off
            opm(0x28 + ch, kc(note))
        for ch in range(4):
            opm(0x08, 0x78 | ch)                     # key on, all operators
        # One chord: vibrato on every channel each millisecond, the PSG
        # arpeggio and its decay each frame (every 16 ms here).
        for step in range(CHORD // MS):
            for ch in range(4):
                opm(0x30 + ch, int(32 + 28 * math.sin(2 * math.pi * (step + 7 * ch) / 40)) << 2)
            if step % 16 == 0:
                frame = step // 16
                note = chord[frame % 4] + 12
                p = psg_period(note)
                psg(0, p & 0xFF)
                psg(1, p >> 8)
                psg(2, (p + 3 + i) & 0xFF)
                psg(3, (p + 3 + i) >> 8 & 0x0F)
                psg(8, max(0, 15 - frame % 16))
                psg(9, max(0, 12 - frame % 13))
            wait(MS)
        wait(CHORD - (CHORD // MS) * MS)
    for ch in range(4):
        opm(0x08, ch)
    psg(8, 0)
    psg(9, 0)
    wait(RATE // 4)
    out.append(0x66)
    return bytes(out), waited


def write_vgm(path):
    data, samples = song()
    out = vgm.vgm_file(0x151, data, {vgm.TOTAL_SAMPLES: samples, 0x30: OPM_CLOCK, 0x74: PSG_CLOCK,
                                     0x78: 0x10})   # AY8910 type: YM2149
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        sys.exit(2)
    write_vgm(sys.argv[1])
