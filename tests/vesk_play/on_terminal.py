"""Runs a program on a pseudo-terminal and types keys at given times, as a
user at a terminal would:
    on_terminal.py KEYS -- PROGRAM ARGS...
KEYS: comma-separated TIME=KEY, TIME in seconds from the start, KEY a
character, "space", "left" or "right". The program's output is passed on;
the exit status is the program's."""
import os, pty, select, sys, time

NAMES = {"space": b" ", "left": b"\x1b[D", "right": b"\x1b[C"}


def main():
    split = sys.argv.index("--")
    keys = []
    for item in filter(None, sys.argv[1].split(",") if split > 1 else []):
        at, key = item.split("=", 1)
        keys.append((float(at), NAMES.get(key, key.encode())))
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp(sys.argv[split + 1], sys.argv[split + 1:])
    start = time.monotonic()
    while True:
        now = time.monotonic() - start
        while keys and keys[0][0] <= now:
            os.write(fd, keys.pop(0)[1])
        ready, _, _ = select.select([fd], [], [], 0.01)
        if ready:
            try:
                data = os.read(fd, 4096)
            except OSError:  # the program's end closes the terminal
                break
            if not data:
                break
            sys.stdout.buffer.write(data)
            sys.stdout.flush()
    _, status = os.waitpid(pid, 0)
    sys.exit(os.waitstatus_to_exitcode(status))


if __name__ == "__main__":
    main()
