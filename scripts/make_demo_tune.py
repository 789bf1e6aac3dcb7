#!/usr/bin/env python3
"""Writes the demo tune: about 21 s of music for a YM2612 and an SN76489, as a
VGM file (version 1.50, 44,100 Hz samples).

  YM2612  channel 1  lead melody        channel 2  bass
          channels 3-5  chord pad       channel 6  DAC drums (kick, snare)
  SN76489 tone 1  chord arpeggio        noise  hi-hat

A minor, i-VI-III-VII twice, then ii-V and the tonic, at 120 beats a minute.
The drums are 8-bit samples made here, held in one data block (0x67) and
streamed to the DAC with seeks (0xE0) and the write-and-wait commands
(0x8n), about 3,000 DAC writes a second while a drum sounds, which makes
the tune exercise the dense path of a player.

usage: make_demo_tune.py OUT.vgm
"""
import math
import struct
import sys

from vesktools import vgm
from vesktools.vgm import RATE

YM_CLOCK = 7670453
PSG_CLOCK = 3579545
SIXTEENTH = 5512            # samples: 120.02 beats a minute
BAR = 16 * SIXTEENTH
DAC_STEP = 4                # samples between DAC writes: 11,025 Hz drums
DAC_RATE = RATE / DAC_STEP

# Chords by bar: root name and the notes of the triad (MIDI numbers).
CHORDS = [
    ("Am", [57, 60, 64]), ("F", [53, 57, 60]), ("C", [55, 60, 64]), ("G", [55, 59, 62]),
    ("Am", [57, 60, 64]), ("F", [53, 57, 60]), ("C", [55, 60, 64]), ("G", [55, 59, 62]),
    ("Dm", [53, 57, 62]), ("E", [52, 56, 59]), ("Am", [57, 60, 64]),
]
BASS_ROOTS = [45, 41, 48, 43, 45, 41, 48, 43, 38, 40, 45]

# The melody: (bar, start in 16ths, length in 16ths, MIDI note).
MELODY = [
    (0, 0, 4, 76), (0, 4, 2, 81), (0, 6, 2, 79), (0, 8, 4, 76), (0, 12, 2, 72), (0, 14, 2, 74),
    (1, 0, 6, 72), (1, 6, 2, 69), (1, 8, 2, 72), (1, 10, 2, 77), (1, 12, 4, 76),
    (2, 0, 4, 79), (2, 4, 2, 76), (2, 6, 2, 79), (2, 8, 4, 84), (2, 12, 2, 83), (2, 14, 2, 81),
    (3, 0, 8, 83), (3, 8, 4, 79), (3, 12, 4, 74),
    (4, 0, 4, 81), (4, 4, 2, 84), (4, 6, 2, 83), (4, 8, 4, 81), (4, 12, 4, 76),
    (5, 0, 2, 77), (5, 2, 2, 76), (5, 4, 2, 77), (5, 6, 2, 81), (5, 8, 4, 84), (5, 12, 4, 81),
    (6, 0, 2, 79), (6, 2, 2, 76), (6, 4, 2, 72), (6, 6, 2, 76), (6, 8, 4, 79), (6, 12, 4, 84),
    (7, 0, 6, 83), (7, 6, 2, 81), (7, 8, 8, 79),
    (8, 0, 4, 77), (8, 4, 4, 81), (8, 8, 4, 86), (8, 12, 2, 84), (8, 14, 2, 81),
    (9, 0, 4, 80), (9, 4, 4, 83), (9, 8, 8, 88),
    (10, 0, 12, 81),
]

# YM2612 voices: per operator in register order (+0, +4, +8, +12: operators
# 1, 3, 2, 4) DT/MUL, TL, AR, D1R, D2R, SL/RR; then FB/ALG.
LEAD = ([(0x01, 30, 31, 8, 3, 0x37), (0x02, 40, 31, 6, 2, 0x27),
         (0x01, 6, 31, 4, 2, 0x27), (0x31, 9, 31, 4, 2, 0x27)], (4 << 3) | 4)
BASS = ([(0x00, 22, 31, 12, 6, 0x6A), (0x01, 30, 31, 14, 6, 0x6A),
         (0x01, 4, 31, 6, 3, 0x4A), (0x71, 12, 31, 6, 3, 0x4A)], (5 << 3) | 4)
PAD = ([(0x01, 36, 20, 2, 1, 0x16), (0x03, 50, 18, 2, 1, 0x16),
        (0x01, 24, 14, 1, 1, 0x15), (0x32, 28, 14, 1, 1, 0x15)], (2 << 3) | 4)


class Song:
    def __init__(self):
        self.events = []   # (sample, order, bytes, dac)
        self.order = 0

    def at(self, t, data, dac=False):
        self.events.append((int(t), self.order, bytes(data), dac))
        self.order += 1

    def ym(self, t, channel, reg, value):
        port = 0x52 if channel < 3 else 0x53
        self.at(t, [port, reg, value & 0xFF])

    def psg(self, t, value):
        self.at(t, [0x50, value & 0xFF])


def fm_frequency(note):
    """Block and F-number of a MIDI note for the YM2612 at YM_CLOCK."""
    hz = 440.0 * 2 ** ((note - 69) / 12)
    fs = YM_CLOCK / 144
    for block in range(8):
        fnum = round(hz * (1 << 20) / fs / (1 << block) * 2)
        if fnum < 0x800:
            return block, fnum
    return 7, 0x7FF


def ch_offset(channel):
    return channel % 3


def key_code(channel):
    return (channel % 3) | (4 if channel >= 3 else 0)


def set_voice(song, t, channel, voice):
    ops, fbalg = voice
    c = ch_offset(channel)
    for i, (dtmul, tl, ar, d1r, d2r, slrr) in enumerate(ops):
        o = 4 * i + c
        song.ym(t, channel, 0x30 + o, dtmul)
        song.ym(t, channel, 0x40 + o, tl)
        song.ym(t, channel, 0x50 + o, ar)
        song.ym(t, channel, 0x60 + o, d1r)
        song.ym(t, channel, 0x70 + o, d2r)
        song.ym(t, channel, 0x80 + o, slrr)
        song.ym(t, channel, 0x90 + o, 0)
    song.ym(t, channel, 0xB0 + c, fbalg)
    song.ym(t, channel, 0xB4 + c, 0xC0)


def fm_note(song, start, length, channel, note):
    block, fnum = fm_frequency(note)
    c = ch_offset(channel)
    song.ym(start, channel, 0xA4 + c, (block << 3) | (fnum >> 8))
    song.ym(start, channel, 0xA0 + c, fnum & 0xFF)
    song.ym(start, 0, 0x28, 0xF0 | key_code(channel))
    song.ym(start + length, 0, 0x28, key_code(channel))


def psg_period(note):
    hz = 440.0 * 2 ** ((note - 69) / 12)
    return max(1, min(1023, round(PSG_CLOCK / (32 * hz))))


def psg_tone(song, start, length, channel, note, attenuation):
    n = psg_period(note)
    song.psg(start, 0x80 | (channel << 5) | (n & 0x0F))
    song.psg(start, n >> 4)
    # A short pluck: loud, then softer, then off before the next note.
    steps = [attenuation, attenuation + 2, attenuation + 4, 15]
    for i, a in enumerate(steps):
        song.psg(start + i * length // len(steps), 0x90 | (channel << 5) | min(a, 15))


def hihat(song, start, loud):
    song.psg(start, 0xE4)                       # white noise, fastest shift rate
    for i, a in enumerate([loud, loud + 3, loud + 6, loud + 9, 15]):
        song.psg(start + i * 400, 0xF0 | min(a, 15))


class Noise:
    """Reproducible noise for the snare (a 32-bit LCG)."""
    def __init__(self, seed):
        self.x = seed

    def next(self):
        self.x = (self.x * 1664525 + 1013904223) & 0xFFFFFFFF
        return (self.x >> 8) / float(1 << 24) * 2 - 1


def drum_samples():
    """8-bit unsigned PCM (centre 0x80) at DAC_RATE: kick, then snare."""
    kick = []
    n = int(0.16 * DAC_RATE)
    phase = 0.0
    for i in range(n):
        t = i / DAC_RATE
        f = 45 + 110 * math.exp(-t * 28)
        phase += 2 * math.pi * f / DAC_RATE
        amp = 100 * math.exp(-t * 18) + (30 if i < 12 else 0)
        kick.append(math.sin(phase) * min(amp, 110))
    snare = []
    noise = Noise(12345)
    n = int(0.14 * DAC_RATE)
    for i in range(n):
        t = i / DAC_RATE
        body = 40 * math.sin(2 * math.pi * 185 * t) * math.exp(-t * 35)
        rattle = 75 * noise.next() * math.exp(-t * 22)
        snare.append(body + rattle)

    def pcm(values):
        out = [max(0, min(255, 0x80 + round(v))) for v in values]
        return out + [0x80]   # leaves the DAC at its centre

    return pcm(kick), pcm(snare)


def drum_pattern():
    """(bar, 16th, kind) for every hit; kind 0 kick, 1 snare."""
    hits = []
    for bar in range(10):
        hits += [(bar, 0, 0), (bar, 4, 1), (bar, 8, 0), (bar, 12, 1)]
        if bar % 2 == 1:
            hits.append((bar, 10, 0))           # a push into the next bar
        if bar in (3, 7):
            hits += [(bar, 14, 1), (bar, 15, 1)]
    hits += [(9, 13, 1), (9, 14, 1), (9, 15, 1), (10, 0, 0)]
    return sorted(set(hits))


def build():
    song = Song()
    t0 = 200            # a few samples of set-up first
    # Set-up: LFO off, normal channel 3, all keys off, voices, DAC on.
    song.ym(0, 0, 0x22, 0x00)
    song.ym(0, 0, 0x27, 0x00)
    for ch in range(6):
        song.ym(0, 0, 0x28, key_code(ch))
    set_voice(song, 0, 0, LEAD)
    set_voice(song, 0, 1, BASS)
    for ch in (2, 3, 4):
        set_voice(song, 0, ch, PAD)
    song.ym(0, 5, 0xB6, 0xC0)                   # channel 6 (the DAC) to both sides
    song.ym(0, 0, 0x2B, 0x80)                   # DAC on
    for ch in range(3):
        song.psg(0, 0x9F | (ch << 5))
    song.psg(0, 0xFF)

    def t16(bar, step):
        return t0 + bar * BAR + step * SIXTEENTH

    for bar, step, length, note in MELODY:
        gate = length * SIXTEENTH - SIXTEENTH // 4
        fm_note(song, t16(bar, step), gate if bar < 10 else int(1.3 * RATE), 0, note)
    for bar, root in enumerate(BASS_ROOTS):
        steps = range(0, 16, 2) if bar < 10 else [0]
        for step in steps:
            note = root + (12 if step in (4, 12) else 0)
            fm_note(song, t16(bar, step), int(SIXTEENTH * 1.4), 1, note)
    for bar, (_, triad) in enumerate(CHORDS):
        length = BAR - SIXTEENTH // 2 if bar < 10 else int(1.3 * RATE)
        for ch, note in zip((2, 3, 4), triad):
            fm_note(song, t16(bar, 0), length, ch, note)
    for bar, (_, triad) in enumerate(CHORDS[:10]):
        arp = [triad[0] + 12, triad[1] + 12, triad[2] + 12, triad[1] + 12]
        for step in range(16):
            psg_tone(song, t16(bar, step), SIXTEENTH, 0, arp[step % 4], 7 if step % 4 == 0 else 9)
        for step in range(2, 16, 4):
            hihat(song, t16(bar, step), 2)
        for step in range(0, 16, 4):
            hihat(song, t16(bar, step), 7)

    kick, snare = drum_samples()
    bank = bytes(kick + snare)
    starts = [0, len(kick)]
    lengths = [len(kick), len(snare)]
    hits = drum_pattern()
    for i, (bar, step, kind) in enumerate(hits):
        start = t16(bar, step)
        end = t16(*hits[i + 1][:2]) if i + 1 < len(hits) else start + lengths[kind] * DAC_STEP
        song.at(start, [0xE0] + list(struct.pack("<I", starts[kind])))
        count = min(lengths[kind], (end - start) // DAC_STEP)
        for k in range(count):
            song.at(start + k * DAC_STEP, [0x80], dac=True)
    end = t0 + 10 * BAR + int(1.8 * RATE)
    return song, bank, end


def write_vgm(path):
    song, bank, end = build()
    body = bytearray()
    # The data block comes first: 67 66 type size data.
    body += bytes([0x67, 0x66, 0x00]) + struct.pack("<I", len(bank)) + bank
    events = sorted(song.events)
    now = 0
    for i, (t, _, data, dac) in enumerate(events):
        body += vgm.wait(t - now, short=True)
        now = t
        nxt = events[i + 1][0] if i + 1 < len(events) else end
        if dac and 0 < nxt - t <= 15:
            body.append(0x80 | (nxt - t))    # write the DAC, then wait
            now = nxt
        else:
            body += data
    body += vgm.wait(end - now, short=True)
    body.append(0x66)

    tag = ["vesk demo tune", "", "vesk", "", "Sega Mega Drive / Genesis", "",
           "the vesk project", "", "2026", "scripts/make_demo_tune.py",
           "FM lead, bass and pad, PSG arpeggio and hi-hat, DAC drums."]
    # The discrete SN76489: feedback 0x0003, a 15-bit shift register, flags 0x05.
    psg_type = 0x0003 | 15 << 16 | 0x05 << 24
    out = vgm.vgm_file(0x150, body, {0x0C: PSG_CLOCK, vgm.TOTAL_SAMPLES: end, 0x24: 60, 0x28: psg_type,
                                     0x2C: YM_CLOCK}, header_size=0x40, tag=tag)
    with open(path, "wb") as f:
        f.write(out)
    dac = sum(1 for e in song.events if e[3])
    writes = sum(1 for e in song.events if e[2][0] != 0xE0)
    print("%s: %.1f s, %d writes (%d to the DAC), %d bytes" % (path, end / RATE, writes, dac, len(out)))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.stderr.write(__doc__)
        sys.exit(2)
    write_vgm(sys.argv[1])
