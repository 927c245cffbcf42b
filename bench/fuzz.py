#!/usr/bin/python3
"""Builds the fuzz targets for libFuzzer with clang (build-fuzz/), runs each
for the given number of seconds and prints, per target, executions, exec/s,
coverage (libFuzzer's cov: and ft:), corpus size and whether it crashed.

    /usr/bin/python3 bench/fuzz.py SECONDS [--parallel N] [--only TARGET ...]

Each run starts from the target's seed corpus (fuzz/corpus/<target>/) in a
fresh working corpus (build-fuzz/fuzz-work/<target>/corpus); crash inputs,
logs and the working corpus stay there. Exit status 1 when a target crashed."""

import argparse
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
TARGETS = ["http_reply_fuzz", "reply_sink_fuzz", "enrollment_reply_fuzz", "version_reply_fuzz",
           "base64_fuzz", "ca_bundle_fuzz"]
MAX_LEN = 2048  # enough for a reply with a 4096-bit server key


def clang():
    for name in ("clang++-14", "clang++"):
        path = shutil.which(name)
        if path:
            return path, path.replace("clang++", "clang")
    sys.exit("fuzz.py: clang++ not found (apt-get install clang-14 libclang-rt-14-dev)")


def build(build_dir, targets):
    cxx, cc = clang()
    subprocess.run(["cmake", "-S", REPO, "-B", build_dir, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                    f"-DCMAKE_CXX_COMPILER={cxx}", f"-DCMAKE_C_COMPILER={cc}",
                    "-DHALVORPIN_LIBFUZZER=ON"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j2", "--target", *targets], check=True,
                   stdout=subprocess.DEVNULL)


def start(build_dir, target, seconds):
    work = build_dir / "fuzz-work" / target
    shutil.rmtree(work, ignore_errors=True)
    (work / "corpus").mkdir(parents=True)
    (work / "crashes").mkdir()
    log = open(work / "log", "wb")
    command = [build_dir / "fuzz" / target, f"-max_total_time={seconds}", f"-max_len={MAX_LEN}",
               "-timeout=10", "-print_final_stats=1", f"-artifact_prefix={work / 'crashes'}/",
               work / "corpus", REPO / "fuzz" / "corpus" / target]
    return {"target": target, "work": work, "log": log, "started": time.monotonic(),
            "process": subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT)}


def figures(run):
    """The figures of a finished run, from its log and its directories."""
    text = (run["work"] / "log").read_text(errors="replace")
    stats = re.findall(r"^#(\d+)\s+\S+\s+cov: (\d+) ft: (\d+)", text, re.M)
    final = dict(re.findall(r"^stat::(\w+):\s+(\d+)", text, re.M))
    executions, cov, ft = stats[-1] if stats else ("?", "?", "?")
    crashes = sorted(p.name for p in (run["work"] / "crashes").iterdir())
    failed = run["process"].returncode != 0 or crashes
    return {"target": run["target"], "seconds": round(run["ended"] - run["started"]),
            "executions": final.get("number_of_executed_units", executions),
            "exec/s": final.get("average_exec_per_sec", "?"), "cov": cov, "ft": ft,
            "corpus": len(list((run["work"] / "corpus").iterdir())),
            "crash": ("yes: " + ", ".join(crashes or ["exit status %d" % run["process"].returncode])
                      if failed else "no")}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("seconds", type=int)
    parser.add_argument("--parallel", type=int, default=2, help="targets at a time (default 2)")
    parser.add_argument("--only", nargs="+", choices=TARGETS, default=TARGETS)
    parser.add_argument("--build-dir", type=Path, default=REPO / "build-fuzz")
    args = parser.parse_args()

    build(args.build_dir, args.only)
    waiting, running, done = list(args.only), [], []
    while waiting or running:
        while waiting and len(running) < args.parallel:
            running.append(start(args.build_dir, waiting.pop(0), args.seconds))
        time.sleep(1)
        for run in [r for r in running if r["process"].poll() is not None]:
            run["ended"] = time.monotonic()
            run["log"].close()
            running.remove(run)
            done.append(figures(run))
            print(f"{run['target']}: finished", file=sys.stderr)

    columns = ["target", "seconds", "executions", "exec/s", "cov", "ft", "corpus", "crash"]
    rows = [[str(d[c]) for c in columns] for d in sorted(done, key=lambda d: TARGETS.index(d["target"]))]
    widths = [max(len(c), *(len(r[i]) for r in rows)) for i, c in enumerate(columns)]
    for row in [columns] + rows:
        print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip())
    return 1 if any(d["crash"] != "no" for d in done) else 0


if __name__ == "__main__":
    sys.exit(main())
