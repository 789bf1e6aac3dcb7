"""VGM files: the header's layout, the commands' lengths, reading a file
(gzip or plain) and writing one (the project's songs and seeds)."""
import gzip
import struct

RATE = 44100            # samples a second: every wait and time in a file

# Header fields (offsets, 32-bit little-endian unless said otherwise).
EOF_OFFSET = 0x04       # relative: the file's length - 4
VERSION = 0x08          # BCD: 0x150 is 1.50
GD3_OFFSET = 0x14       # relative to itself; 0 when there is no tag
TOTAL_SAMPLES = 0x18
LOOP_OFFSET = 0x1C      # relative to itself; 0 when the song does not loop
DATA_OFFSET = 0x34      # relative to itself, from version 1.50; before it the data starts at 0x40

# Commands of a fixed length other than what their range gives (command_length).
LENGTHS = {0x4F: 2, 0x50: 2, 0x61: 3, 0x62: 1, 0x63: 1, 0x64: 4, 0x68: 12, 0x90: 5, 0x91: 5, 0x92: 6,
           0x93: 11, 0x94: 2, 0x95: 5}
WAIT_60TH, WAIT_50TH = 735, 882     # 0x62, 0x63


def read(path):
    """The file's bytes, decompressed when it is gzipped (.vgz)."""
    with open(path, "rb") as f:
        raw = f.read()
    return gzip.decompress(raw) if raw[:2] == b"\x1f\x8b" else raw


def u32(raw, at):
    """The 32-bit field at `at`; 0 past the end (a header shorter than its version's)."""
    return struct.unpack_from("<I", raw, at)[0] if at + 4 <= len(raw) else 0


def data_start(raw):
    """Where the commands start."""
    return DATA_OFFSET + u32(raw, DATA_OFFSET) if u32(raw, VERSION) >= 0x150 and u32(raw, DATA_OFFSET) else 0x40


def command_length(c):
    """The length in bytes of command `c`, itself included (0x67, a data
    block, is 7 plus its size)."""
    if c in LENGTHS:
        return LENGTHS[c]
    if 0x30 <= c <= 0x3F:
        return 2
    if 0x40 <= c <= 0x5F or 0xA0 <= c <= 0xBF:
        return 3
    if 0xC0 <= c <= 0xDF:
        return 4
    if 0xE0 <= c:
        return 5
    return 1


# ---------------------------------------------------------------- writing

def wait(samples, short=False):
    """The wait commands for `samples`: 0x61 of up to 65,535 each; with
    `short`, whatever is left at 16 or fewer as one 0x7n."""
    out = bytearray()
    while samples > 0:
        if short and samples <= 16:
            out.append(0x70 + samples - 1)
            break
        step = min(samples, 0xFFFF)
        out += bytes([0x61]) + struct.pack("<H", step)
        samples -= step
    return bytes(out)


def gd3(fields):
    """A GD3 tag of the given strings (11 of them: title, its original-
    language form, game, ..., notes)."""
    text = b"".join(s.encode("utf-16-le") + b"\0\0" for s in fields)
    return b"Gd3 " + struct.pack("<II", 0x100, len(text)) + text


def vgm_file(version, data, fields=None, header_size=0x80, loop_at=None, tag=None):
    """A whole file: a header of `header_size` bytes with `fields` (offset:
    32-bit value: clocks, flags, total samples) set, then `data` (the
    commands, with their end) and the GD3 tag of `tag`'s strings when
    given. The offsets are filled in: data (from 1.50), loop (`loop_at`,
    an offset into `data`), tag and end of file."""
    head = bytearray(header_size)
    head[0:4] = b"Vgm "
    struct.pack_into("<I", head, VERSION, version)
    for offset, value in (fields or {}).items():
        struct.pack_into("<I", head, offset, value)
    if version >= 0x150:
        struct.pack_into("<I", head, DATA_OFFSET, header_size - DATA_OFFSET)
    tail = b""
    if tag is not None:
        tail = gd3(tag)
        struct.pack_into("<I", head, GD3_OFFSET, header_size + len(data) - GD3_OFFSET)
    if loop_at is not None:
        struct.pack_into("<I", head, LOOP_OFFSET, header_size + loop_at - LOOP_OFFSET)
    struct.pack_into("<I", head, EOF_OFFSET, header_size + len(data) + len(tail) - 4)
    return bytes(head) + bytes(data) + tail
