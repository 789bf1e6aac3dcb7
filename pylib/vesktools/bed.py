"""What the end-to-end drivers read back from a run in the test bed: the host's
"key = value" lines, the simulator's record, the message boxes shown (the box
dismisser's log under Wine, "caption: text" on standard error natively), and
the simulator configuration's boards with the bed's fixed host addresses;
and what runs a host there (run_in_bed) and keeps a driver's failures."""
import argparse, json, os, shlex, shutil, subprocess, sys, tempfile, time, tomllib

CAPTIONS = ("DLL loading error", "firmware warning", "toml error", "push recv", "error")


def parse_values(stdout):
    values = {}
    for line in stdout.replace("\r", "").splitlines():
        if " = " in line:
            k, v = line.split(" = ", 1)
            values[k] = v
    return values


def read_record(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [json.loads(l) for l in f]


def overflowed(record):
    """The datagrams the boards dropped for want of buffer, as text, one
    each ("BOARD #SEQ: LEN bytes with HELD of BUFFER held"). record: the
    entries (read_record's) or a record file's path, read line by line and
    only the lines that matter parsed (a soak's record is large)."""
    if isinstance(record, str):
        lines = []
        if os.path.exists(record):
            with open(record) as f:
                lines = [json.loads(l) for l in f if l.startswith('{"type":"start"') or '"overflow":true' in l]
        record = lines
    buffer = {e.get("board"): e.get("buffer_size", "?") for e in record if e.get("type") == "start"}
    return ["%s #%s: %s bytes with %s of %s held" % (e.get("board"), e.get("seq"), e.get("len"), e.get("held"),
                                                    buffer.get(e.get("board"), "?"))
            for e in record if e.get("type") == "datagram" and e.get("overflow")]


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


# The options drivers choose from (bed_arguments).
OPTIONS = {
    "--config": dict(required=True, help="the simulator's configuration"),
    "--configs": dict(required=True, help="folder of the suite's configurations"),
    "--host": dict(required=True, help="the program run in the bed"),
    "--program": dict(required=True, help="the program run in the bed"),
    "--library": dict(required=True, help="the library copied beside it"),
    "--dismisser": dict(help="closes and logs the message boxes under Wine"),
    "--only": dict(help="run the scenario or case of this name only"),
}


def bed_arguments(*options):
    """A driver's argument parser: --testbed, --sim, --wine and --sanitized,
    which every run in the bed takes (what run_in_bed reads), and the OPTIONS named."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--testbed", required=True, help="tools/testbed/testbed.sh")
    ap.add_argument("--sim", required=True, help="the native simulator")
    ap.add_argument("--wine", action="store_true", help="the programs are Windows builds")
    ap.add_argument("--sanitized", action="store_true", help="the programs are ASan or TSan builds")
    for name in options:
        ap.add_argument(name, **OPTIONS[name])
    return ap


class Checks:
    """A driver's failures: check() prints and keeps each failed condition and
    returns the condition; finish() prints the count and exits 1 if any."""

    def __init__(self, indent="  "):
        self.failures = []
        self.indent = indent

    def check(self, cond, what):
        if not cond:
            self.failures.append(what)
            print(self.indent + "FAILED:", what)
        return cond

    def finish(self):
        print("%d failure(s)" % len(self.failures))
        sys.exit(1 if self.failures else 0)


class Scenarios:
    """Named scenarios in the order they are defined (@scenarios.add); run()
    prints each name and calls it, or only the one named."""

    def __init__(self):
        self.by_name = {}

    def add(self, f):
        self.by_name[f.__name__] = f
        return f

    def run(self, only=None):
        for name, f in self.by_name.items():
            if only and name != only:
                continue
            print(name)
            f()


class BedRun:
    """One run in the bed: rc, stdout, stderr, values (the "key = value"
    lines), record, boxes, files (the dump folder's files asked for that
    exist, by name, as text) and work, the run's folder (gone by now)."""

    def __init__(self, work, wine):
        self.work, self.wine = work, wine

    def path_seen(self, name):
        """The path of a file of the run's folder as the program saw it."""
        if self.wine:
            return "Z:" + self.work.replace("/", "\\") + "\\" + name
        return os.path.join(self.work, name)


def run_in_bed(bed, config, program, program_args=(), copy=(), copy_as=None, write=None, env=None,
               dump_files=None, stdin=None, prefix="vesk-bed-", keep=False, alongside=None, before=None,
               outputs=(), timeout=300):
    """Runs the program once in the test bed (testbed.sh run) from a fresh
    folder holding a copy of it and of `copy` (under their names),
    `copy_as` (name: file) and `write` (name: text, written as is), and
    returns a BedRun read before the folder is removed (kept, and named,
    with keep or VESK_KEEP_BED set). bed: testbed, sim, wine and, optionally, dismisser (closes
    message boxes under Wine and logs them). config is the simulator's
    configuration; a name given in `write` is taken from the run's folder.
    "{work}/" in program_args is the run's folder as the program sees it.
    env: variables set for the program (natively; "{work}" is the run's
    folder). dump_files: names to read from the simulator's dump folder
    (none: no dump folder). alongside / before: shell commands run in the
    host namespace beside the program / before it starts (testbed.sh
    --alongside, --before). outputs: names of files the program writes into
    the run's folder, read back as text into BedRun.outputs when they exist.
    BedRun.seconds is the whole bed run's time. Exits 77, with the bed's
    reason, when there is no test bed here."""
    keep = keep or bool(os.environ.get("VESK_KEEP_BED"))
    work = tempfile.mkdtemp(prefix=prefix)
    try:
        for f in [program] + list(copy):
            shutil.copy(f, work)
        for name, f in (copy_as or {}).items():
            shutil.copy(f, os.path.join(work, name))
        for name, text in (write or {}).items():
            with open(os.path.join(work, name), "w", newline="") as out:
                out.write(text)
        if write and config in write:
            config = os.path.join(work, config)
        record = os.path.join(work, "record.jsonl")
        dumps = os.path.join(work, "dump")
        boxlog = os.path.join(work, "boxes.txt")
        cmd = [bed.testbed, "run", "--quiet", "--sim", bed.sim, "--config", config, "--record", record]
        if dump_files is not None:
            cmd += ["--dump-dir", dumps]
        dismisser = getattr(bed, "dismisser", None)
        beside = []
        if bed.wine:
            cmd += ["--wine"]
            if dismisser:
                shutil.copy(dismisser, work)
                beside.append("wine %s %s" % (shlex.quote(os.path.join(work, os.path.basename(dismisser))),
                                              shlex.quote("Z:" + boxlog.replace("/", "\\"))))
        if alongside:
            beside.insert(0, "(%s) &" % alongside if beside else alongside)
        if beside:
            cmd += ["--alongside", " ".join(beside)]
        if before:
            cmd += ["--before", before]
        cmd += ["--"]
        if env:
            cmd += ["env"] + ["%s=%s" % (k, v.replace("{work}", work)) for k, v in env.items()]
        seen = BedRun(work, bed.wine).path_seen("")
        cmd += [os.path.join(work, os.path.basename(program))] + [a.replace("{work}/", seen) for a in program_args]
        started = time.monotonic()
        p = subprocess.run(cmd, input=stdin, capture_output=True, text=True, timeout=timeout)
        if p.returncode == 77:
            print("SKIP:", p.stderr.strip().splitlines()[-1] if p.stderr.strip() else "no test bed")
            sys.exit(77)
        r = BedRun(work, bed.wine)
        r.seconds = time.monotonic() - started
        r.rc, r.stdout, r.stderr = p.returncode, p.stdout, p.stderr
        r.outputs = {}
        for name in outputs:
            path = os.path.join(work, name)
            if os.path.exists(path):
                with open(path, encoding="utf-8") as f:
                    r.outputs[name] = f.read()
        r.values = parse_values(p.stdout)
        r.record = read_record(record)
        r.boxes = read_boxes(boxlog, p.stderr)
        r.files = {}
        for name in dump_files or ():
            path = os.path.join(dumps, name)
            if os.path.exists(path):
                with open(path) as f:
                    r.files[name] = f.read()
        return r
    finally:
        if keep:
            print("kept", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    # python3 -m vesktools.bed --overflowed RECORD: for drivers written in
    # shell; exit 1 when a board dropped a datagram for want of buffer.
    if len(sys.argv) != 3 or sys.argv[1] != "--overflowed":
        sys.exit("usage: python3 -m vesktools.bed --overflowed RECORD")
    dropped = overflowed(sys.argv[2])
    for d in dropped:
        print("dropped for want of buffer:", d)
    sys.exit(1 if dropped else 0)
