"""What the end-to-end drivers read back from a run in the test bed: the host's
"key = value" lines, the simulator's record, the message boxes shown (the box
dismisser's log under Wine, "caption: text" on standard error natively), and
the simulator configuration's boards with the bed's fixed host addresses."""
import json, os, tomllib

CAPTIONS = ("firmware warning", "toml error", "push recv", "error")


def parse_values(stdout):
    values = {}
    for line in stdout.replace("\r", "").splitlines():
        if " = " in line:
            k, v = line.split(" = ", 1)
            values[k] = v
    return values


def read_record(path):
    return [json.loads(l) for l in open(path)] if os.path.exists(path) else []


def read_boxes(boxlog, stderr):
    if os.path.exists(boxlog):
        return [tuple(l.rstrip("\n").split("\t", 1)) for l in open(boxlog, encoding="utf-8")]
    boxes = []
    for l in stderr.splitlines():
        for cap in CAPTIONS:
            if l.startswith(cap + ": "):
                boxes.append((cap, l[len(cap) + 2:]))
                break
    return boxes


def sim_boards(config):
    with open(config, "rb") as f:
        return tomllib.load(f)["board"]


def host_address(config, board):
    """The bed gives link i the host address fe80::76:68ff:fe00:<i>01."""
    links = []
    for b in sim_boards(config):
        if b["link"] not in links:
            links.append(b["link"])
    i = links.index(board["link"])
    return "fe80::76:68ff:fe00:%x01" % i if i else "fe80::76:68ff:fe00:1"


def firmware(text):
    major, minor, patch = (int(x) for x in text.split("."))
    return "%08x" % (major << 24 | minor << 16 | patch << 8)
