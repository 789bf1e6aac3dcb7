"""The song's writes as a board should receive them, decoded from the file
independently of the player and the library: every chip write of an
excerpt, DAC data blocks and streams played out as the writes they stand
for, the looped part repeated."""
import copy
import struct

from . import catalogue, vgm

# ---------------------------------------------------------------- chip tables
# Everything the decoder knows of the chips, in one place.

PSG, AY, SCC = "SN76489", "AY8910", "K051649"
_FAMILIES = {f.name: f for f in catalogue.families()}
# Register writes 0x5n (first chip) and 0xAn (second): the chip of n, and
# whether the command writes its second register bank (a two-port family's
# command + 1). The PSG's 0x50 writes data alone.
REGISTER_CHIPS = {}
for _f in _FAMILIES.values():
    if _f.command & 0xF0 == 0x50 and _f.name != PSG:
        for _bank in range(_f.ports):
            REGISTER_CHIPS[(_f.command & 0x0F) + _bank] = (_f.name, _bank == 1)
# The chips with two register banks (a board's slot takes the second as port 2).
TWO_BANK = {f.name for f in _FAMILIES.values() if f.ports == 2}
# The DAC the data block writes (0x8n) and the streams go to: chip and register.
DAC = ("YM2612", 0x2A)
STREAM_CHIP = _FAMILIES[DAC[0]].stream_id  # the streams' chip type (0x90): the only one decoded
# SCC writes (0xD2 port register data) by port: how many registers (None:
# one address whatever the register), the chip's address of register 0.
SCC_PORTS = [(0, 0x80, 0x9800), (1, 0x0A, 0x9880), (2, 0x05, 0x988A), (3, None, 0x988F)]


# ---------------------------------------------------------------- decoding

def decode(path, seconds, loops=1):
    """The file's writes in the first `seconds`, per (chip, instance):
    [(sample, bank_or_port, reg, data)], the looped part played `loops` more
    times as it sounded the first time (DAC streams as they stood at the loop
    point)."""
    raw = vgm.read(path)
    u32 = lambda at: vgm.u32(raw, at)
    start = vgm.data_start(raw)
    limit = int(seconds * vgm.RATE)
    out = {}
    banks, blocks = {}, {}   # data block type -> bytes, [(start, length)]
    streams = {}
    pcm_at, t, p = 0, 0, start
    loop_at = 0x1C + u32(0x1C) if u32(0x1C) else None
    at_loop = None   # (t, pcm_at, streams) when the loop offset was passed

    def advance(n):
        # DAC stream writes before t + n: write k of a stream at
        # base + floor(k * 44100 / freq); on a tie, the file's own writes first.
        nonlocal t
        pending = []
        for sid in sorted(streams):
            st = streams[sid]
            while st["on"] and st["freq"] and st["base"] + st["k"] * vgm.RATE // st["freq"] < t + n:
                data = banks.get(st["bank"], b"")
                if st["pos"] >= len(data) or st["pos"] < 0:
                    st["on"] = False
                    break
                pending.append((st["base"] + st["k"] * vgm.RATE // st["freq"], st["port"], st["reg"], data[st["pos"]]))
                st["k"] += 1
                st["pos"] += -st["step"] if st["rev"] else st["step"]
                st["left"] -= 1
                if st["left"] == 0:
                    if st["loop"]:
                        st["pos"], st["left"] = st["loop_pos"], st["loop_left"]
                    else:
                        st["on"] = False
        pending.sort(key=lambda w: w[0])
        out.setdefault((DAC[0], 0), []).extend(pending)
        t += n

    def start_stream(st, pos, count):
        st.update(pos=pos + st["base_step"], left=count, loop_pos=pos + st["base_step"], loop_left=count,
                  base=t, k=0, on=count > 0)

    end = 4 + u32(4) if u32(4) else len(raw)
    while t < limit:
        if p == loop_at and at_loop is None:
            at_loop = (t, pcm_at, copy.deepcopy(streams))
        c = raw[p] if p < end else 0x66
        if c == 0x66:
            if at_loop is None or loops == 0 or t <= at_loop[0]:
                break
            loops -= 1
            pcm_at, streams = at_loop[1], copy.deepcopy(at_loop[2])
            for st in streams.values():
                st["base"] += t - at_loop[0]
            p = loop_at
            continue
        if c == 0x67:
            size = u32(p + 3) & 0x7FFFFFFF
            kind = raw[p + 2]
            if kind < 0x40:
                blocks.setdefault(kind, []).append((len(banks.get(kind, b"")), size))
                banks[kind] = banks.get(kind, b"") + raw[p + 7:p + 7 + size]
            p += 7 + size
            continue
        if c == 0x90:
            if raw[p + 2] != STREAM_CHIP:
                raise SystemExit("decoder: %s streams to chip %#x" % (path, raw[p + 2]))
            st = streams.setdefault(raw[p + 1], dict(on=False, freq=0, k=0, base=0, bank=0, step=1, base_step=0))
            st.update(port=raw[p + 3], reg=raw[p + 4])
        elif c == 0x91:
            streams[raw[p + 1]].update(bank=raw[p + 2], step=raw[p + 3] or 1, base_step=raw[p + 4])
        elif c == 0x92:
            st = streams[raw[p + 1]]
            if st["freq"]:
                st["base"] += st["k"] * vgm.RATE // st["freq"]
            st.update(k=0, freq=u32(p + 2))
        elif c == 0x93:
            st = streams[raw[p + 1]]
            pos, mode, length = u32(p + 2), raw[p + 6], u32(p + 7)
            if pos == 0xFFFFFFFF:
                pos = st["pos"] - st["base_step"]
            avail = max(0, len(banks.get(st["bank"], b"")) - pos)
            count = {1: length, 2: length * st["freq"] // 1000, 3: avail // st["step"]}.get(mode & 0xF, st.get("left", 0))
            st.update(rev=bool(mode & 0x10), loop=bool(mode & 0x80))
            start_stream(st, pos, count)
        elif c == 0x94:
            for sid, st in streams.items():
                if raw[p + 1] in (0xFF, sid):
                    st["on"] = False
        elif c == 0x95:
            st = streams[raw[p + 1]]
            bid, flags = struct.unpack_from("<H", raw, p + 2)[0], raw[p + 4]
            bl = blocks.get(st["bank"], [])
            if bid < len(bl):
                st.update(rev=bool(flags & 0x10), loop=bool(flags & 0x01))
                start_stream(st, bl[bid][0], bl[bid][1] // st["step"])
        w = None
        if c == 0x50:
            w = (PSG, 0, 0, 0, raw[p + 1])
        elif c == 0x30:
            w = (PSG, 1, 0, 0, raw[p + 1])
        elif 0x51 <= c <= 0x5F or 0xA1 <= c <= 0xAF:
            if (c & 0xF) in REGISTER_CHIPS:
                chip, bank = REGISTER_CHIPS[c & 0xF]
                w = (chip, int(c >= 0xA1), bank, raw[p + 1], raw[p + 2])
        elif c == 0xA0:
            w = (AY, raw[p + 1] >> 7, 0, raw[p + 1] & 0x7F, raw[p + 2])
        elif c == 0xD2:
            w = (SCC, raw[p + 1] >> 7, raw[p + 1] & 0x7F, raw[p + 2], raw[p + 3])
        if w:
            out.setdefault((w[0], w[1]), []).append((t, int(w[2]), w[3], w[4]))
        if c == 0x61:
            advance(struct.unpack_from("<H", raw, p + 1)[0])
        elif c == 0x62:
            advance(vgm.WAIT_60TH)
        elif c == 0x63:
            advance(vgm.WAIT_50TH)
        elif 0x70 <= c <= 0x7F:
            advance((c & 0xF) + 1)
        elif 0x80 <= c <= 0x8F:
            pcm = banks.get(0, b"")
            if pcm_at < len(pcm):
                out.setdefault((DAC[0], 0), []).append((t, 0, DAC[1], pcm[pcm_at]))
                pcm_at += 1
            advance(c & 0xF)
        elif c == 0xE0:
            pcm_at = u32(p + 1)
        p += vgm.command_length(c)
    return {k: [x for x in v if x[0] < limit] for k, v in out.items()}


def scc_address(port, reg):
    """The SCC address of a file's SCC write (port, register); None for one
    the chip has no register for."""
    for p, count, at in SCC_PORTS:
        if port == p and (count is None or reg < count):
            return at + (reg if count else 0)
    return None


def expected_writes(chip, writes):
    """The file's writes as the slot records them: (port-or-bank, reg, data)."""
    if chip == PSG:
        return [("p", 0, d) for _, _, _, d in writes]
    if chip == SCC:
        out = []
        for _, port, reg, d in writes:
            a = scc_address(port, reg)
            if a is not None:
                out.append(("scc", a, d))
        return out
    return [("r", bank if chip in TWO_BANK else 0, reg, d) for _, bank, reg, d in writes]
