#!/usr/bin/python3
"""Checks that the manual page says what the README says.

    /usr/bin/python3 scripts/manpage-mirror.py README.md doc/halvorpin.1

The README's tables are the reference; the page (rendered with mandoc) must
show every command letter, every exit status text of the "Exit statuses"
table, every environment variable with its default, every path of the
"Files" table and every message of the "Messages on a unit's log" table.
Prints what is missing and exits 1; exits 0 when nothing is.
"""

import re
import subprocess
import sys
from pathlib import Path


def sections(markdown):
    """{heading text: body} for every '#' heading of the README."""
    parts = re.split(r"^#+ (.*)$", markdown, flags=re.MULTILINE)
    return {parts[i].strip(): parts[i + 1] for i in range(1, len(parts) - 1, 2)}


def table_rows(body):
    """The cells of a Markdown table's body rows (header and rule left out)."""
    rows = [line for line in body.splitlines() if line.startswith("|")]
    return [[cell.strip() for cell in row.strip().strip("|").split("|")] for row in rows[2:]]


def code_spans(cell):
    return re.findall(r"`([^`]+)`", cell)


def plain(cell):
    """A cell's text without Markdown markup, blanks squeezed."""
    text = re.sub(r"[`*]", "", cell)
    return " ".join(text.split())


def rendered(page):
    """The page as mandoc renders it, markup and line breaks removed."""
    out = subprocess.run(["mandoc", "-T", "utf8", "-O", "width=400", str(page)],
                         check=True, capture_output=True).stdout.decode()
    out = re.sub(r".\x08", "", out)  # bold and underline by overstriking
    out = out.replace("\u2212", "-").replace("\u2010", "-")
    return " ".join(out.split())


def expected(readme):
    """(what, text) pairs the page must contain."""
    parts = sections(readme)
    wanted = []
    for row in table_rows(parts["What it is"]):
        wanted += [("command", c) for c in code_spans(row[0])]
    for row in table_rows(parts["Exit statuses"]):
        wanted += [("exit status text", plain(cell)) for cell in row[1:]]
    for row in table_rows(parts["Environment"]):
        name, default = plain(row[0]), plain(row[1])
        wanted += [("environment variable", name),
                   (f"default of {name}", f"default {default}")]
    for row in table_rows(parts["Files"]):
        wanted += [("file", path) for path in code_spans(row[0])]
    for row in table_rows(parts["Messages on a unit's log"]):
        for message in code_spans(row[0]):
            wanted.append(("message", message))
    return wanted


def main(argv):
    if len(argv) != 3:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    readme, page = Path(argv[1]).read_text(), argv[2]
    text = rendered(page)
    wanted = expected(readme)
    missing = [(what, item) for what, item in wanted if item not in text]
    for what, item in missing:
        print(f"{page}: missing {what}: {item}", file=sys.stderr)
    if missing:
        print(f"{page}: {len(missing)} of {len(wanted)} README items missing", file=sys.stderr)
        return 1
    print(f"{page}: all {len(wanted)} README items present")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
