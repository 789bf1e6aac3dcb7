"""Runs a program on a pseudo-terminal and types keys at given times, as a
user at a terminal would:
    on_terminal.py [--after TEXT] KEYS -- PROGRAM ARGS...
KEYS: comma-separated TIME=KEY, TIME in seconds from the start (with
--after, from when TEXT first shows in the program's output: a slow start
does not move the keys), KEY a character, "space", "left" or "right". The
program's output is passed on; the exit status is the program's."""
import os, pty, re, select, sys, time

NAMES = {"space": b" ", "left": b"\x1b[D", "right": b"\x1b[C"}
# A terminal's control sequences, left out when looking for --after's text
# (Wine's console wraps each character it shows in some).
CONTROL = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]")


def main():
    args = sys.argv[1:]
    after = None
    if args[0] == "--after":
        after, args = args[1].encode(), args[2:]
    split = args.index("--")
    keys = []
    for item in filter(None, args[0].split(",") if split > 0 else []):
        at, key = item.split("=", 1)
        keys.append((float(at), NAMES.get(key, key.encode())))
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp(args[split + 1], args[split + 1:])
    start = None if after else time.monotonic()
    seen = b""
    while True:
        now = time.monotonic()
        while keys and start is not None and keys[0][0] <= now - start:
            os.write(fd, keys.pop(0)[1])
        ready, _, _ = select.select([fd], [], [], 0.01)
        if not ready:
            # Under Wine the console's host can keep the terminal open after
            # the program ended: its end is the end.
            ended, status = os.waitpid(pid, os.WNOHANG)
            if ended:
                sys.exit(os.waitstatus_to_exitcode(status))
        else:
            try:
                data = os.read(fd, 4096)
            except OSError:  # the program's end closes the terminal
                break
            if not data:
                break
            if start is None:
                seen = (seen + data)[-4096:]
                if after in CONTROL.sub(b"", seen):
                    start = time.monotonic()
            sys.stdout.buffer.write(data)
            sys.stdout.flush()
    _, status = os.waitpid(pid, 0)
    sys.exit(os.waitstatus_to_exitcode(status))


if __name__ == "__main__":
    main()
