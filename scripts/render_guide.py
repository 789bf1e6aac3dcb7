#!/usr/bin/env python3
"""Renders a Markdown guide to one standalone HTML page: the pictures it
references by a relative path are embedded, so the page can be opened or
moved on its own.

  scripts/render_guide.py GUIDE.md OUT.html
"""
import base64
import html
import mimetypes
import re
import sys
from pathlib import Path

STYLE = """
body { font-family: "Segoe UI", "Yu Gothic UI", Meiryo, sans-serif; max-width: 52em; margin: 2em auto;
       padding: 0 1em; line-height: 1.5; color: #222; }
code, pre { font-family: Consolas, "DejaVu Sans Mono", monospace; font-size: 0.92em; }
pre { background: #f4f4f4; padding: 0.6em 0.8em; overflow-x: auto; }
table { border-collapse: collapse; margin: 1em 0; }
th, td { border: 1px solid #ccc; padding: 0.3em 0.6em; vertical-align: top; text-align: left; }
th { background: #eee; }
img { max-width: 100%; }
h1, h2, h3 { line-height: 1.2; }
"""


def embed_images(body, base):
    """Replaces each relative src that names an existing file under base by a
    data URI; an absolute URL is left alone. A relative picture that is
    missing is an error: the page would show a hole."""

    def data_uri(match):
        src = html.unescape(match.group(2))
        if re.match(r"^[a-z][a-z0-9+.-]*:", src, re.I) or src.startswith("/"):
            return match.group(0)
        path = base / src
        if not path.is_file():
            raise FileNotFoundError(f"picture {src} (looked for {path})")
        kind = mimetypes.guess_type(path.name)[0] or "application/octet-stream"
        data = base64.b64encode(path.read_bytes()).decode("ascii")
        return f'{match.group(1)}"data:{kind};base64,{data}"'

    return re.sub(r'(<img\b[^>]*?\bsrc=)"([^"]*)"', data_uri, body)


def load_markdown():
    try:
        import markdown
    except ImportError:
        # python3-markdown installs for the system's Python; a python3 found
        # first on PATH (pyenv, a virtual environment) does not look there.
        sys.path.append("/usr/lib/python3/dist-packages")
        import markdown
    return markdown


def render(text, base):
    markdown = load_markdown()

    body = markdown.markdown(text, extensions=["tables", "fenced_code", "toc", "sane_lists"])
    title = re.search(r"<h1[^>]*>(.*?)</h1>", body, re.S)
    title = re.sub(r"<[^>]+>", "", title.group(1)) if title else "vesk"
    return (
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        f"<title>{title}</title>\n<style>{STYLE}</style>\n</head>\n<body>\n"
        f"{embed_images(body, base)}\n</body>\n</html>\n"
    )


def main(argv):
    if len(argv) == 1 and argv[0] in ("-h", "--help"):
        print(__doc__.strip())
        return 0
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    source, out = Path(argv[0]), Path(argv[1])
    try:
        page = render(source.read_text(encoding="utf-8"), source.parent)
    except ImportError:
        print("render_guide: python3-markdown is missing (scripts/install-deps.sh)", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"render_guide: {e}", file=sys.stderr)
        return 1
    out.write_text(page, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
