"""The tools a world's programs find under their usual names: the host's own
(Debian's GNU tools and dash), or BusyBox in their place, as on a unit.

A world with a BusyBox userland has Debian's full BusyBox build bound over
`sh`, `tar`, `gzip` and `gunzip` in its own mount namespace: every name that
leads to one of those programs (/bin/sh, /usr/bin/sh and dash itself; /bin/tar
and /usr/bin/tar, ...) runs BusyBox's applet of that name there, while the
host keeps its tools. The variant "busybox-short" binds tar_short_options.sh
over tar instead: BusyBox tar as built without long options, which refuses
any `--option`.

The variant for every world of a run comes from $HALVORPIN_USERLAND (unset or
empty: the host's tools), so a whole test run can be repeated on BusyBox.
"""

import os
from pathlib import Path

LAB = Path(__file__).resolve().parent
BUSYBOX = "/bin/busybox"
SHORT_OPTIONS_TAR = LAB / "tar_short_options.sh"

# The names bound over, as a program run with a clean PATH finds them.
TOOLS = ("sh", "tar", "gzip", "gunzip")
TOOL_PATHS = {"sh": "/bin/sh", "tar": "/bin/tar", "gzip": "/bin/gzip", "gunzip": "/bin/gunzip"}

VARIANTS = ("", "busybox", "busybox-short")


def selected():
    """The userland chosen for this run's worlds ($HALVORPIN_USERLAND)."""
    variant = os.environ.get("HALVORPIN_USERLAND", "").strip()
    assert variant in VARIANTS, (
        f"HALVORPIN_USERLAND={variant!r}: expected one of {', '.join(map(repr, VARIANTS))}")
    return variant


def programs(variant):
    """{tool: the program bound over it in a world of this variant}."""
    if not variant:
        return {}
    bound = {tool: BUSYBOX for tool in TOOLS}
    if variant == "busybox-short":
        bound["tar"] = str(SHORT_OPTIONS_TAR)
    return bound


def targets():
    """{tool: the file the tool's name leads to}. Debian 12 is merged-/usr
    (/bin is a link to usr/bin) and /bin/sh a link to dash: a bind mount
    lands on the file at the end of the links, so that file is named here.
    /usr is the host's in every world, so the host resolves it alike."""
    return {tool: os.path.realpath(path) for tool, path in TOOL_PATHS.items()}


# Arguments: pairs of program and target. Run inside the world, so the bind
# mounts belong to its mount namespace and vanish with it.
BIND_SCRIPT = r"""
set -eu
while [ $# -gt 0 ]; do
    mount --bind "$1" "$2"
    shift 2
done
"""


def bind(box, variant):
    """Binds the variant's programs over the tools in the started world `box`
    (a sandbox.Sandbox). Call it before anything else runs there."""
    pairs = []
    where = targets()
    for tool, program in programs(variant).items():
        assert os.access(program, os.X_OK), (
            f"{program} is missing or not executable: the {variant} userland needs "
            f"Debian's busybox package (apt-get install busybox)")
        pairs += [program, where[tool]]
    if not pairs:
        return
    # dash runs the script: the bind mounts replace it only once they are made.
    result = box.run(["/bin/sh", "-c", BIND_SCRIPT, "halvorpin-userland", *pairs])
    if result.returncode != 0:
        raise RuntimeError(f"binding the {variant} userland failed: {result!r}")
