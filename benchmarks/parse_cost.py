#!/usr/bin/env python3
"""How far real files stay below the allowances of one parse and of the analyses.

A parse is abandoned (ValueError "tree-sitter failed to parse source") when it
goes past its allowance of progress calls, of bytes the runtime allocates, of
bytes it holds at once, or of CPU time, each so much per source byte plus a
fixed amount; the analyses that follow it are refused past their allowance of
steps of work, also so much per byte plus a fixed amount. This script
builds benchmarks/parse_cost.cpp, a program that parses through the module's
own parse path, runs the analyses of the four tree-based functions and reports
what each used, runs it over every file of the corpus folders, and prints per
language key the highest rate of each measure (over files of 4 kB or more) and
the margin of the file that came closest to its allowance (allowance / use;
the CPU margin names that file), then the same for the steps of each analysis.
It fails when a file is refused.

    python benchmarks/parse_cost.py --corpus ~/.cache/velbrook-corpus \\
        --corpus ~/.cache/velbrook-corpus-large [--build build/parse-cost]

It needs CMake 3.26 or newer and Ninja, on PATH or in this Python's
environment (pip install cmake ninja).
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
MIN_RATE_BYTES = 4096


def tool(name, minimum=None):
    """The first of PATH's and this environment's `name` that is new enough."""
    for found in (shutil.which(name), shutil.which(name, path=os.path.join(sys.prefix, "bin"))):
        if not found:
            continue
        if minimum is None:
            return found
        out = subprocess.run([found, "--version"], capture_output=True, text=True).stdout
        version = tuple(int(p) for p in re.search(r"(\d+)\.(\d+)", out).groups())
        if version >= minimum:
            return found
    sys.exit(f"parse_cost.py: no {name}{' %d.%d+' % minimum if minimum else ''} on PATH or in {sys.prefix}")


def build_probe(build):
    cmake, ninja = tool("cmake", (3, 26)), tool("ninja")
    subprocess.run([cmake, "-S", str(ROOT), "-B", build, "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}",
                    "-DCMAKE_BUILD_TYPE=Release", "-DVELBROOK_PARSE_COST=ON",
                    f"-DPython_EXECUTABLE={sys.executable}"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", build, "--target", "parse_cost"], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(build, "parse_cost")


ANALYSES = ("call_edges", "function_fingerprints", "import_sources", "function_cfg")


def measure(probe, files):
    lines = "".join(f"{key}\t{path}\n" for key, _pref, path, _ext in files)
    out = subprocess.run([probe], input=lines, capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        key, path, size, *numbers, outcome = line.split("\t")
        numbers = list(map(int, numbers))
        parse, (work_limit, *steps) = numbers[:8], numbers[8:]
        yield key, path, int(size), tuple(parse[0::2]), tuple(parse[1::2]), outcome, work_limit, tuple(steps)


def report(rows):
    by_key = {}
    for row in rows:
        by_key.setdefault(row[0], []).append(row)
    print(f"{'key':11} {'files':>5} {'refused':>7} | {'calls/B':>7} {'margin':>6} | {'alloc B/B':>9} {'margin':>6}"
          f" | {'live B/B':>8} {'margin':>6} | {'CPU ns/B':>8} {'margin':>6} | largest file: live margin"
          f" | closest to its CPU allowance")
    refused = 0
    for key in corpus.KEYS:
        found = by_key.get(key)
        if not found:
            continue
        refused += sum(r[5] != "ok" for r in found)
        sized = [r for r in found if r[2] >= MIN_RATE_BYTES] or found
        cells = []
        for m in range(4):
            rate = max(r[3][m] / max(r[2], 1) for r in sized)
            margin = min(found, key=lambda r: r[4][m] / max(r[3][m], 1))
            cells.append((rate, margin[4][m] / max(margin[3][m], 1), margin))
        (cr, cm, _), (ar, am, _), (lr, lm, _), (tr, tm, closest) = cells
        largest = max(found, key=lambda r: r[2])
        print(f"{key:11} {len(found):5} {sum(r[5] != 'ok' for r in found):7} | {cr:7.3f} {cm:6.0f} |"
              f" {ar:9.0f} {am:6.1f} | {lr:8.0f} {lm:6.1f} | {tr:8.0f} {tm:6.1f} |"
              f" {largest[2]} B, {largest[4][2] / max(largest[3][2], 1):.1f} |"
              f" {closest[2]} B, {closest[3][3] / 1e6:.1f} ms, {os.path.basename(closest[1])}")
    print(f"\nsteps of work: highest steps/B over files of {MIN_RATE_BYTES} B or more, and the smallest margin"
          f" (allowance / steps)")
    print(f"{'key':11} " + " | ".join(f"{name:>29}" for name in ANALYSES))
    for key in corpus.KEYS:
        found = [r for r in by_key.get(key, []) if r[5] == "ok"]
        if not found:
            continue
        sized = [r for r in found if r[2] >= MIN_RATE_BYTES] or found
        cells = []
        for a in range(len(ANALYSES)):
            rate = max(r[7][a] / max(r[2], 1) for r in sized)
            margin = min(r[6] / r[7][a] for r in found if r[7][a]) if any(r[7][a] for r in found) else None
            cells.append(f"{rate:8.3f}/B  margin {'-' if margin is None else f'{margin:.0f}':>10}")
        print(f"{key:11} " + " | ".join(cells))
    return refused


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--corpus", action="append", required=True, metavar="DIR",
                    help="a folder of DIR/KEY/ files, as get_corpus.sh lays them out; may be repeated")
    ap.add_argument("--build", default=str(ROOT / "build" / "parse-cost"), help="build folder of the probe")
    args = ap.parse_args()
    probe = build_probe(args.build)
    files = list(corpus.corpus_files(args.corpus))
    refused = report(list(measure(probe, files)))
    if refused:
        print(f"{refused} real files refused")
    return 1 if refused else 0


if __name__ == "__main__":
    sys.exit(main())
