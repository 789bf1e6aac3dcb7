#!/usr/bin/env python3
"""render_guide.py on small guides of its own (pictures embedded, left alone
or missing), then on the user guide itself: it renders, and every link
inside the page leads to a heading that exists. Exit 77 without
python3-markdown.
  render_guide_test.py <render_guide.py> <user-guide.md>"""
import base64
import re
import subprocess
import sys
import tempfile
from pathlib import Path

PNG = base64.b64decode(
    "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAAAAAA6fptVAAAACklEQVR4nGNgAAAAAgABSK+kcQAAAABJRU5ErkJggg==")


def render(script, text, pictures=()):
    with tempfile.TemporaryDirectory() as d:
        for name in pictures:
            (Path(d) / name).parent.mkdir(parents=True, exist_ok=True)
            (Path(d) / name).write_bytes(PNG)
        (Path(d) / "g.md").write_text(text, encoding="utf-8")
        r = subprocess.run([sys.executable, script, f"{d}/g.md", f"{d}/g.html"], capture_output=True, text=True)
        page = (Path(d) / "g.html").read_text(encoding="utf-8") if r.returncode == 0 else ""
        return r.returncode, page, r.stderr


def main(script, guide):
    try:
        import markdown  # noqa: F401
    except ImportError:
        sys.path.append("/usr/lib/python3/dist-packages")
        try:
            import markdown  # noqa: F401
        except ImportError:
            print("SKIP: python3-markdown is not installed")
            return 77
    embedded = "data:image/png;base64," + base64.b64encode(PNG).decode()
    cases = [
        # guide, pictures present, exit code, texts the page (or the error) must hold, texts it must not
        ("# Title\n\n![a](images/a.png)\n", ["images/a.png"], 0, [f'src="{embedded}"', "<title>Title</title>"],
         ["images/a.png"]),
        ("# T\n\n![w](https://example.org/w.png)\n", [], 0, ['src="https://example.org/w.png"'], ["data:"]),
        ("# T\n\n![m](images/missing.png)\n", [], 1, ["images/missing.png"], []),
        ("# T\n\n| a | b |\n|---|---|\n| 1 | 2 |\n", [], 0, ["<table>", "<td>2</td>"], []),
    ]
    failures = 0
    for text, pictures, want_rc, present, absent in cases:
        rc, page, err = render(script, text, pictures)
        out = page if want_rc == 0 else err
        bad = [p for p in present if p not in out] + [f"not {a}" for a in absent if a in out]
        if rc != want_rc or bad:
            print(f"FAIL: {text.splitlines()[-1]!r}: exit {rc} (expected {want_rc}), missing {bad}: {err.strip()}")
            failures += 1

    text = Path(guide).read_text(encoding="utf-8")
    with tempfile.TemporaryDirectory() as d:
        r = subprocess.run([sys.executable, script, guide, f"{d}/guide.html"], capture_output=True, text=True)
        page = (Path(d) / "guide.html").read_text(encoding="utf-8") if r.returncode == 0 else ""
    if r.returncode != 0:
        print(f"FAIL: the user guide does not render: {r.stderr.strip()}")
        failures += 1
    ids = set(re.findall(r'\bid="([^"]+)"', page))
    for target in sorted(set(re.findall(r'href="#([^"]+)"', page)) - ids):
        print(f"FAIL: the user guide links to #{target}, which no heading has")
        failures += 1
    pictures = re.findall(r"!\[[^\]]*\]\(([^)]+)\)", text)
    if page and page.count("data:image/png;base64,") != len(pictures):
        print(f"FAIL: {len(pictures)} pictures in the guide, {page.count('data:image/png;base64,')} embedded")
        failures += 1
    print(f"{len(cases)} cases, the user guide with {len(pictures)} pictures: {failures} failure(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
