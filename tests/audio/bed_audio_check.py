#!/usr/bin/env python3
"""What a board played sounds like the song: excerpts of the corpus songs
that use only a YM2612 and an SN76489 are played by the native vesk_play
over the network test bed to one simulated board holding both chips; the
simulator's recording of each excerpt is rendered with libgme and compared
with the file's own excerpt (made explicit by vgm_edit.py, DAC streams
played out as writes) by vgm_render --compare, with the thresholds below.
The damaged recordings failing the same measure is audio_check's part.
Exit 77 when no test bed or corpus is there.
  bed_audio_check.py --testbed T --sim S --player P --library L --render R --corpus DIR
                     [--seconds S] [--keep DIR] [--min-correlation C] [--min-window-db D]"""
import argparse, json, os, shutil, subprocess, sys, tempfile

from vesktools import vgm
from vesktools.bed import overflowed
from vesktools.figures import cut_record

HERE = os.path.dirname(os.path.abspath(__file__))

# The unit check's thresholds (vgm_render's defaults: every voice but the
# SN76489's sample by sample, correlation >= 0.99 and no 1 ms window under
# 15 dB with a write a sample early or late no error; the SN76489 alone by
# third-octave spectra, no 10 ms window under 10 dB). The damaged copies of
# audio_check fail them. Not yet enough for a board's take: the files
# themselves with 30 % of their writes moved one sample fail the SN76489
# part on three of the seven songs (single 10 ms windows, down to -16 dB),
# and every take failed on a 2-core machine busy with four other builds.
MIN_CORRELATION = "0.99"
MIN_WINDOW_DB = "15"

# Header clock fields of every other chip (0x78 / 0x7C / 0x94 are flags).
OTHER_CLOCKS = [o for o in range(0x10, 0xE4, 4) if o not in (0x14, 0x18, 0x1C, 0x20, 0x24, 0x28, 0x2C, 0x34,
                                                              0x78, 0x7C, 0x94)]


def only_opn2_psg(path):
    raw = vgm.read(path)
    u32 = lambda at: vgm.u32(raw, at)
    header_end = vgm.data_start(raw)
    sn, opn2 = u32(0x0C), u32(0x2C)
    return (sn or opn2) and not (sn >> 30) & 1 and not (opn2 >> 30) & 1 \
        and not any(u32(o) for o in OTHER_CLOCKS if o < header_end)


def main():
    ap = argparse.ArgumentParser()
    for o in ("testbed", "sim", "player", "library", "render"):
        ap.add_argument("--" + o, required=True)
    ap.add_argument("--corpus", default=os.environ.get("VESK_CORPUS"))
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--keep", help="keep the recordings and renders' inputs in this directory")
    ap.add_argument("--min-correlation", default=MIN_CORRELATION)
    ap.add_argument("--min-window-db", default=MIN_WINDOW_DB)
    args = ap.parse_args()
    if not args.corpus or not os.path.isdir(args.corpus):
        print("SKIP: no corpus (--corpus or VESK_CORPUS)")
        sys.exit(77)
    songs = sorted(f for f in os.listdir(args.corpus) if f.endswith((".vgm", ".vgz"))
                   and only_opn2_psg(os.path.join(args.corpus, f)))
    work = args.keep or tempfile.mkdtemp(prefix="vesk-audio-")
    os.makedirs(work, exist_ok=True)
    try:
        for f in (args.player, args.library):
            shutil.copy(f, work)
        config = os.path.join(HERE, "opn2_psg.toml")
        record, report = os.path.join(work, "record.jsonl"), os.path.join(work, "report.json")
        p = subprocess.run([args.testbed, "run", "--quiet", "--sim", args.sim, "--config", config, "--record", record,
                            "--", os.path.join(work, os.path.basename(args.player)), "--quiet", "--seconds",
                            str(args.seconds), "--report", report] + [os.path.join(args.corpus, s) for s in songs],
                           capture_output=True, text=True, timeout=300)
        if p.returncode == 77:
            print("SKIP:", (p.stderr.strip().splitlines() or ["no test bed"])[-1])
            sys.exit(77)
        if not os.path.exists(report):
            print("FAIL: the player wrote no report (exit %d)\n%s" % (p.returncode, p.stderr[-2000:]))
            sys.exit(1)
        failures, uses = 0, {}
        for d in overflowed(record):
            print("FAIL: dropped for want of buffer:", d)
            failures += 1
        for take, entry in enumerate(json.load(open(report))["files"], 1):
            name = os.path.basename(entry["file"])
            if not entry["ok"]:
                print("FAIL %s: not played: %s" % (name, entry.get("error")))
                failures += 1
                continue
            d = os.path.join(work, "take%d" % take)
            os.makedirs(d)
            cut_record(record, os.path.join(d, "record.jsonl"), entry, uses)
            subprocess.run([args.sim, "--vgm", d, "--config", config, "--from-record", os.path.join(d, "record.jsonl")],
                           capture_output=True, check=True)
            explicit = os.path.join(d, "explicit.vgm")
            subprocess.run([sys.executable, os.path.join(HERE, "vgm_edit.py"), os.path.join(args.corpus, name),
                            explicit], capture_output=True, check=True)
            c = subprocess.run([args.render, "--compare", explicit, os.path.join(d, "board0.vgm"), "--same-psg",
                                "--seconds", str(args.seconds), "--min-correlation", args.min_correlation,
                                "--min-window-db", args.min_window_db], capture_output=True, text=True)
            line = (c.stdout + c.stderr).strip()
            print("%s %s: %s" % ("ok  " if c.returncode == 0 else "FAIL", name, line))
            failures += c.returncode != 0
        sys.exit(1 if failures else 0)
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
