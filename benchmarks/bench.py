#!/usr/bin/env python3
"""Throughput of velbrook's functions over real source files of this machine.

Each function is timed beside a baseline over the same bytes in the same run
(best of --repeat, interleaved file by file): the bare parse by tree-sitter's
own Python binding for the tree-based functions, str.splitlines() for the
comment-directive ones. call_edges and import_sources are timed as well against
pyimpl.py, the same rules written in Python over that binding; before the
timings of each file, its results are compared with velbrook's, and a MISMATCH
line names every file where they differ (no file is left out of the timings).

    python benchmarks/bench.py --module-dir /tmp/build-bench [--mb 5] [--skip-nesting]

The columns of the first table, per function and language:
    ms, MB/s         velbrook's time over the files (sum of each file's best time)
    base ms, ratio   the baseline's time, and velbrook / baseline
    py ms, py/vb     the Python version's time, and Python version / velbrook
The second table puts each language's ratios side by side. function_cfg is
called for every distinct function name of every C, C++ and Rust file; its
ratio is the mean time of a call over the bare parse of the same file. The last
table times inputs whose functions nest deeply (--nesting levels of functions
in JavaScript, Rust, PHP, Kotlin, Swift and C#, and twice as many function
values in one Lua assignment), once each: their size, one bare parse, one
call_edges and one function_fingerprints call.

The binding and the grammar wheels of the releases pinned in deps.lock.json
are installed once into a venv of the benchmark's own (VELBROOK_BENCH_VENV,
default /tmp/velbrook-bench-venv); the script then re-runs itself there.
"""

import argparse
import importlib.metadata
import importlib.util
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402
import pyimpl  # noqa: E402

VENV = os.environ.get("VELBROOK_BENCH_VENV", "/tmp/velbrook-bench-venv")
LOCK = Path(__file__).resolve().parent.parent / "deps.lock.json"
READY = os.path.join(VENV, "velbrook-bench-ready")
MODULE_FILE = "VELBROOK_BENCH_MODULE_FILE"
FUNCTIONS = ("call_edges", "function_fingerprints", "import_sources", "suppressions",
             "ignored_regions")
COMMENT_FUNCTIONS = ("suppressions", "ignored_regions")
# The functions that pyimpl.py implements, with how velbrook's result becomes plain values.
PYTHON_VERSIONS = {"call_edges": lambda edges: [(e.caller, e.callee, e.is_external) for e in edges],
                   "import_sources": list}
# The per-language table: (header, function, whether the ratio is Python version / velbrook
# rather than velbrook / bare parse).
SUMMARY = [("calls/parse", "call_edges", False), ("py/vb", "call_edges", True),
           ("imports/parse", "import_sources", False), ("py/vb", "import_sources", True),
           ("fingerprints/parse", "function_fingerprints", False)]


def grammar_packages():
    """(package, locked version, {key: grammar name}) for each grammar of the lock."""
    # The wheels carry the crates' names, all but this one.
    wheel_names = {"tree-sitter-kotlin-ng": "tree-sitter-kotlin"}
    for pkg in json.loads(LOCK.read_text())["packages"]:
        if "grammars" in pkg:
            yield wheel_names.get(pkg["name"], pkg["name"]), pkg["version"], {
                "csharp" if g == "c_sharp" else g: g for g in pkg["grammars"]}


def version_tuple(v):
    return tuple(int(p) for p in re.findall(r"\d+", v))


def nearest_version(package, locked, pip):
    out = subprocess.run(pip + ["index", "versions", package], capture_output=True, text=True)
    m = re.search(r"Available versions: (.*)", out.stdout)
    if not m:
        return None
    want = version_tuple(locked)

    def distance(v):
        have = version_tuple(v)
        shared = next((i for i, (a, b) in enumerate(zip(have, want)) if a != b), len(want))
        gap = abs(have[shared] - want[shared]) if shared < min(len(have), len(want)) else 0
        return -shared, gap, have < want
    return min(m.group(1).split(", "), key=distance)


def ensure_venv():
    if os.path.exists(READY):
        return
    print(f"setting up {VENV} (once)", flush=True)
    subprocess.run([sys.executable, "-m", "venv", VENV], check=True)
    pip = [os.path.join(VENV, "bin", "python"), "-m", "pip", "--disable-pip-version-check"]
    install = pip + ["install", "-q", "--no-deps"]
    subprocess.run(install + ["tree-sitter>=0.25,<0.26"], check=True)
    for package, locked, _ in grammar_packages():
        if subprocess.run(install + [f"{package}=={locked}"], capture_output=True).returncode == 0:
            continue
        chosen = nearest_version(package, locked, pip)
        if chosen is None or subprocess.run(install + [f"{package}=={chosen}"],
                                            capture_output=True).returncode:
            print(f"  {package}: no wheel installed", flush=True)
    Path(READY).touch()


def reexec_in_venv(args):
    """Run this script again in the benchmark venv, handing over the module file."""
    for d in reversed(args.module_dir):
        sys.path.insert(0, os.path.abspath(d))
    spec = importlib.util.find_spec("velbrook")
    if spec is None or not spec.origin:
        sys.exit("velbrook not found: build it and pass --module-dir BUILD_DIR")
    ensure_venv()
    python = os.path.join(VENV, "bin", "python")
    env = dict(os.environ, **{MODULE_FILE: spec.origin})
    os.execve(python, [python, os.path.abspath(__file__), *sys.argv[1:]], env)


def load_velbrook(path):
    spec = importlib.util.spec_from_file_location("velbrook", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules["velbrook"] = module
    spec.loader.exec_module(module)
    return module


def parsers():
    """({key: tree_sitter.Parser}, [report lines on the wheels used])."""
    import tree_sitter
    found, notes = {}, [f"tree_sitter {importlib.metadata.version('tree-sitter')}"]
    for package, locked, grammars in grammar_packages():
        try:
            have = importlib.metadata.version(package)
            module = importlib.import_module(package.replace("-", "_"))
        except (importlib.metadata.PackageNotFoundError, ImportError):
            notes.append(f"{package}: locked {locked}, no wheel: ratio n/a")
            continue
        match = "same release" if have == locked else f"NEAREST wheel {have}"
        notes.append(f"{package}: locked {locked}, {match}")
        for key, grammar in grammars.items():
            function = getattr(module, f"language_{grammar}", None) or module.language
            found[key] = tree_sitter.Parser(tree_sitter.Language(function()))
    return found, notes


def best(repeat, thunk):
    fastest = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        thunk()
        fastest = min(fastest, time.perf_counter() - start)
    return fastest


def failure(e):
    """The row's note for an exception of a velbrook call (PanicException is a BaseException)."""
    if isinstance(e, (KeyboardInterrupt, SystemExit)):
        raise e
    return f"raised {type(e).__name__}: {e}"[:70]


def outcome(thunk):
    try:
        return thunk()
    except BaseException as e:
        return failure(e)


class Stat:
    def __init__(self):
        self.files = self.bytes = self.calls = self.checked = self.mismatches = 0
        self.seconds = self.base = self.python = 0.0
        self.error = None

    def attempt(self, repeat, thunk):
        """Time thunk; on its first exception record it and give up on this row."""
        if self.error:
            return None
        try:
            return best(repeat, thunk)
        except BaseException as e:
            self.error = failure(e)
            return None


def difference(native, python):
    """None when velbrook's result (as plain values) and the Python version's are equal,
    else a note on the first difference."""
    want, got = outcome(native), outcome(python)
    if want == got:
        return None
    if not (isinstance(want, list) and isinstance(got, list)):
        return f"velbrook {str(want)[:60]}, Python {str(got)[:60]}"
    i = next((i for i, (a, b) in enumerate(zip(want, got)) if a != b), min(len(want), len(got)))
    return (f"{len(want)} vs {len(got)} entries, first difference at {i}: "
            f"velbrook {want[i:i + 1]}, Python {got[i:i + 1]}")


def run(vb, files_by_key, ts, args):
    stats, cfg = {name: {} for name in FUNCTIONS}, {}
    for key, files in files_by_key.items():
        parser, ck = ts.get(key), corpus.comment_key(key)
        started = time.perf_counter()
        for path, data, text in files:
            jobs = [("call_edges", lambda: vb.call_edges(key, text)),
                    ("function_fingerprints",
                     lambda: vb.function_fingerprints(key, text, args.min_nodes)),
                    ("import_sources", lambda: vb.import_sources(key, data)),
                    ("suppressions", lambda: vb.suppressions(ck, text)),
                    ("ignored_regions", lambda: vb.ignored_regions(ck, text))]
            python = {"call_edges": lambda: pyimpl.call_edges(parser, text),
                      "import_sources": lambda: pyimpl.import_sources(parser, key, data),
                      } if parser else {}
            for name, native in jobs:
                if name in python:
                    stat = stats[name].setdefault(key, Stat())
                    stat.checked += 1
                    note = difference(lambda: PYTHON_VERSIONS[name](native()), python[name])
                    if note:
                        stat.mismatches += 1
                        print(f"MISMATCH {name} {key} {path}: {note}", flush=True)
            parse = best(args.repeat, lambda: parser.parse(data)) if parser else None
            lines = best(args.repeat, text.splitlines)
            for name, native in jobs:
                stat = stats[name].setdefault(key, Stat())
                seconds = stat.attempt(args.repeat, native)
                if seconds is None:
                    continue
                stat.files += 1
                stat.bytes += len(data)
                stat.seconds += seconds
                stat.base += (lines if name in COMMENT_FUNCTIONS else parse) or 0.0
                if name in python:
                    stat.python += best(args.repeat, python[name])
            if key in corpus.CFG_KEYS:
                time_cfg(vb, cfg.setdefault(key, Stat()), key, text, parse, args)
        print(f"{key}: {len(files)} files, {time.perf_counter() - started:.0f} s", flush=True)
    return stats, cfg


def time_cfg(vb, stat, key, text, parse, args):
    try:
        names = corpus.function_names(vb, key, text)
    except BaseException as e:
        stat.error = stat.error or "function_fingerprints " + failure(e)
        return
    for name in names:
        seconds = stat.attempt(args.cfg_repeat, lambda: vb.function_cfg(key, text, name))
        if seconds is None:
            return
        stat.calls += 1
        stat.seconds += seconds
        stat.base += parse or 0.0
    stat.files += 1


# Nesting that costs work per enclosing function: (key, text before, the opening of
# one function, its closing, text after). The functions contain no calls.
NESTED_FUNCTIONS = [
    ("javascript", "", "function a(){", "}", ""),
    ("rust", "", "fn a(){", "}", ""),
    ("php", "<?php\n", "function a(){", "}", ""),
    ("kotlin", "", "fun a(){", "}", ""),
    ("swift", "", "func a(){", "}", ""),
    ("csharp", "class C{", "void a(){", "}", "}"),
]


def nesting_inputs(depth):
    """(key, description, source) of the pathological inputs."""
    for key, before, opening, closing, after in NESTED_FUNCTIONS:
        yield key, f"{depth} nested '{opening}'", before + opening * depth + closing * depth + after
    # Each function value is named by its position among the assignment's values.
    values = 2 * depth
    yield "lua", f"a = {values} x 'function() end'", "a = " + ", ".join(["function() end"] * values)


def time_nesting(vb, ts, args):
    """(key, description, bytes, {column: seconds or a failure note}) per input, each timed once."""
    rows = []
    for key, description, text in nesting_inputs(args.nesting):
        data, parser = text.encode(), ts.get(key)
        times = {"parse": best(1, lambda: parser.parse(data)) if parser else None}
        times["call_edges"] = outcome(lambda: best(1, lambda: vb.call_edges(key, text)))
        times["function_fingerprints"] = outcome(
            lambda: best(1, lambda: vb.function_fingerprints(key, text, args.min_nodes)))
        rows.append((key, description, len(data), times))
    return rows


def ratio(part, whole):
    return f"{part / whole:7.2f}" if whole else "    n/a"


def cell(value, width, scale=1.0, digits=3):
    """A time in seconds (scaled), or "n/a" for None, or a failure note."""
    if isinstance(value, float):
        return f"{value * scale:{width}.{digits}f}"
    return f"{'n/a' if value is None else value:>{width}}"


def report(stats, cfg, nesting, ts, args):
    print(f"\n{'function':22} {'lang':11} {'files':>5} {'MB':>6} {'ms':>8} {'MB/s':>8}"
          f"  {'baseline':10} {'base ms':>8} {'ratio':>7} {'py ms':>8} {'py/vb':>7}")
    for name, rows in stats.items():
        for key, s in rows.items():
            if s.error:
                print(f"{name:22} {key:11} {s.error}")
                continue
            base = "splitlines" if name in COMMENT_FUNCTIONS else \
                "parse" if key in ts else "parse n/a"
            python = f" {1e3 * s.python:8.1f} {ratio(s.python, s.seconds)}" if s.python else ""
            mb = s.bytes / 1e6
            print(f"{name:22} {key:11} {s.files:5} {mb:6.2f} {1e3 * s.seconds:8.1f}"
                  f" {mb / s.seconds:8.1f}  {base:10} {1e3 * s.base:8.1f}"
                  f" {ratio(s.seconds, s.base)}{python}")

    print("\nper language: velbrook / bare parse, and the Python version / velbrook")
    print(f"{'lang':11}" + "".join(f" {header:>{max(7, len(header))}}" for header, *_ in SUMMARY))
    for key in stats["call_edges"]:
        cells = []
        for header, name, python in SUMMARY:
            s = stats[name].get(key, Stat())
            value = ratio(s.python, s.seconds) if python else ratio(s.seconds, s.base)
            cells.append(f" {value:>{max(7, len(header))}}")
        print(f"{key:11}" + "".join(cells))
    print("Python versions against velbrook, checked on every file before its timings: " +
          ", ".join(f"{name} differs on {sum(s.mismatches for s in stats[name].values())} of "
                    f"{sum(s.checked for s in stats[name].values())} files"
                    for name in PYTHON_VERSIONS))

    how = "once" if args.cfg_repeat == 1 else f"best of {args.cfg_repeat}"
    print(f"\nfunction_cfg: one call per distinct function name, each timed {how}"
          f"\n{'lang':6} {'files':>5} {'calls':>6} {'ms/call':>8} {'parse ms':>9} {'ratio':>7}")
    for key, s in cfg.items():
        if s.error:
            print(f"{key:6} {s.error}")
        elif s.calls:
            print(f"{key:6} {s.files:5} {s.calls:6} {1e3 * s.seconds / s.calls:8.3f}"
                  f" {1e3 * s.base / s.calls:9.3f} {ratio(s.seconds, s.base)}")

    if nesting:
        print(f"\npathological nesting, each timed once (function_fingerprints with min_nodes "
              f"{args.min_nodes})\n{'lang':11} {'input':28} {'KB':>6} {'parse ms':>9}"
              f" {'call_edges s':>12} {'fingerprints s':>14}")
        for key, description, size, times in nesting:
            print(f"{key:11} {description:28} {size / 1e3:6.1f} {cell(times['parse'], 9, 1e3, 1)}"
                  f" {cell(times['call_edges'], 12)} {cell(times['function_fingerprints'], 14)}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    corpus.add_arguments(ap, mb=5)
    ap.add_argument("--repeat", type=int, default=3, help="timings per call, best kept (default 3)")
    ap.add_argument("--min-nodes", type=int, default=10, help="min_nodes of function_fingerprints")
    ap.add_argument("--cfg-repeat", type=int, default=1,
                    help="timings per function_cfg call, best kept (default 1)")
    ap.add_argument("--nesting", type=int, default=2000,
                    help="depth of the nested-function inputs; the Lua input has twice as many "
                         "function values (default 2000)")
    ap.add_argument("--skip-nesting", action="store_true",
                    help="leave out the nested-function inputs")
    args = ap.parse_args()
    if MODULE_FILE not in os.environ:
        reexec_in_venv(args)
    vb = load_velbrook(os.environ[MODULE_FILE])
    start = time.perf_counter()
    ts, notes = parsers()
    print(f"velbrook: {vb.__file__}\npython {sys.version.split()[0]}, " + "\n".join(notes))
    files = corpus.from_args(args)
    empty = [k for k, v in files.items() if not v]
    files = {k: v for k, v in files.items() if v}
    print("corpus: " + ", ".join(f"{k} {len(v)} files" for k, v in files.items()))
    if empty:
        print("no files of these languages on this machine: " + ", ".join(empty))
    stats, cfg = run(vb, files, ts, args)
    nesting = [] if args.skip_nesting else time_nesting(vb, ts, args)
    report(stats, cfg, nesting, ts, args)
    print(f"\ntotal {time.perf_counter() - start:.0f} s")


if __name__ == "__main__":
    main()
