#!/usr/bin/env python3
"""run_in_bed against a stand-in testbed.sh (no network, no root): what the
program is given, what is read back before the run's folder goes, and the
skip when there is no bed."""
import json, os, stat, tempfile, unittest
from types import SimpleNamespace

from vesktools.bed import overflowed, read_record, run_in_bed

# Takes testbed.sh's "run" options, skips (77) on a configuration reading
# "skip", otherwise runs the command and then plays the simulator: a record
# line, a dump file and a message box on standard error.
FAKE_BED = r'''#!/usr/bin/env python3
import json, os, subprocess, sys
a, opts, i = sys.argv[2:], {}, 0
while a[i] != "--":
    if a[i] in ("--quiet", "--wine"):
        opts[a[i]], i = "1", i + 1
    else:
        opts[a[i]], i = a[i + 1], i + 2
if open(opts["--config"]).read() == "skip":
    sys.exit(print("testbed: needs root", file=sys.stderr) or 77)
p = subprocess.run(a[i + 1:])
with open(opts["--record"], "w") as f:
    f.write(json.dumps({"type": "command", "config": opts["--config"]}) + "\n")
if "--dump-dir" in opts:
    os.makedirs(opts["--dump-dir"])
    with open(os.path.join(opts["--dump-dir"], "board0-attenuator.txt"), "w") as f:
        f.write("level0 33\n")
print("push recv: timeout", file=sys.stderr)
sys.exit(p.returncode)
'''

HOST = '#!/bin/sh\necho "arg = $1"\necho "path = $LD_LIBRARY_PATH"\nprintf "ini = %s\\n" "$(od -An -c "$(dirname "$0")/x.ini" | tr -d " ")"\nexit 5\n'


class RunInBed(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.bed = SimpleNamespace(testbed=self.script("testbed.sh", FAKE_BED), sim="sim", wine=False)
        self.host = self.script("host", HOST)

    def tearDown(self):
        self.dir.cleanup()

    def script(self, name, text):
        path = os.path.join(self.dir.name, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
        return path

    def test_run_reads_everything_before_the_folder_goes(self):
        r = run_in_bed(self.bed, "board.toml", self.host, ["scenario"], write={"board.toml": "", "x.ini": "a\r\n"},
                       env={"LD_LIBRARY_PATH": "{work}"}, dump_files=["board0-attenuator.txt", "absent.txt"])
        self.assertEqual(r.rc, 5)
        self.assertEqual(r.values, {"arg": "scenario", "path": r.work, "ini": "a\\r\\n"})
        self.assertEqual(r.record, [{"type": "command", "config": os.path.join(r.work, "board.toml")}])
        self.assertEqual(r.files, {"board0-attenuator.txt": "level0 33\n"})
        self.assertEqual(r.boxes, [("push recv", "timeout")])
        self.assertEqual(r.path_seen("vesk.dll"), os.path.join(r.work, "vesk.dll"))
        self.assertFalse(os.path.exists(r.work))

    def test_no_bed_is_a_skip_with_its_reason(self):
        config = self.script("skip.toml", "skip")
        with self.assertRaises(SystemExit) as e:
            run_in_bed(self.bed, config, self.host)
        self.assertEqual(e.exception.code, 77)


class Overflowed(unittest.TestCase):
    def test_lists_the_dropped_datagrams_from_entries_or_file(self):
        lines = [{"type": "start", "board": "A", "buffer_size": 64},
                 {"type": "datagram", "board": "A", "seq": 1, "len": 40, "held": 0},
                 {"type": "datagram", "board": "A", "seq": 2, "len": 30, "held": 40, "overflow": True},
                 {"type": "datagram", "board": "B", "seq": 3, "len": 9, "held": 0, "overflow": False}]
        with tempfile.NamedTemporaryFile("w", suffix=".jsonl") as f:
            # As the simulator writes them: no spaces.
            f.write("".join(json.dumps(l, separators=(",", ":")) + "\n" for l in lines))
            f.flush()
            want = ["A #2: 30 bytes with 40 of 64 held"]
            self.assertEqual(overflowed(f.name), want)
            self.assertEqual(overflowed(read_record(f.name)), want)
        self.assertEqual(overflowed("/nonexistent/record.jsonl"), [])


if __name__ == "__main__":
    unittest.main()
