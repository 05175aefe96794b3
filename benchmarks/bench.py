#!/usr/bin/env python3
"""Throughput of velbrook's functions over real source files of this machine.

Each function is timed beside a baseline over the same bytes in the same run
(best of --repeat, interleaved file by file): the bare parse by tree-sitter's
own Python binding for the tree-based functions, str.splitlines() for the
comment-directive ones.

    python benchmarks/bench.py --module-dir /tmp/build-bench [--mb 5]

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

VENV = os.environ.get("VELBROOK_BENCH_VENV", "/tmp/velbrook-bench-venv")
LOCK = Path(__file__).resolve().parent.parent / "deps.lock.json"
READY = os.path.join(VENV, "velbrook-bench-ready")
MODULE_FILE = "VELBROOK_BENCH_MODULE_FILE"
FUNCTIONS = ("call_edges", "function_fingerprints", "import_sources", "suppressions",
             "ignored_regions")


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


def best(repeat, fn, *args):
    fastest = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn(*args)
        fastest = min(fastest, time.perf_counter() - start)
    return fastest


def failure(e):
    """The row's note for an exception of a velbrook call (PanicException is a BaseException)."""
    if isinstance(e, (KeyboardInterrupt, SystemExit)):
        raise e
    return f"raised {type(e).__name__}: {e}"[:70]


class Stat:
    def __init__(self):
        self.files = self.bytes = self.calls = 0
        self.seconds = self.base = 0.0
        self.error = None

    def attempt(self, repeat, fn, *args):
        """Time fn; on its first exception record it and give up on this row."""
        if self.error:
            return None
        try:
            return best(repeat, fn, *args)
        except BaseException as e:
            self.error = failure(e)
            return None


def run(vb, files_by_key, ts, args):
    stats, cfg = {name: {} for name in FUNCTIONS}, {}
    for key, files in files_by_key.items():
        parser, ck = ts.get(key), corpus.comment_key(key)
        for path, data, text in files:
            parse = best(args.repeat, parser.parse, data) if parser else None
            lines = best(args.repeat, text.splitlines)
            jobs = [("call_edges", parse, vb.call_edges, key, text),
                    ("function_fingerprints", parse, vb.function_fingerprints, key, text, args.min_nodes),
                    ("import_sources", parse, vb.import_sources, key, data),
                    ("suppressions", lines, vb.suppressions, ck, text),
                    ("ignored_regions", lines, vb.ignored_regions, ck, text)]
            for name, base, fn, *call in jobs:
                stat = stats[name].setdefault(key, Stat())
                seconds = stat.attempt(args.repeat, fn, *call)
                if seconds is not None:
                    stat.files += 1
                    stat.bytes += len(data)
                    stat.seconds += seconds
                    stat.base += base or 0.0
            if key in corpus.CFG_KEYS:
                time_cfg(vb, cfg.setdefault(key, Stat()), key, text, parse, args)
    return stats, cfg


def time_cfg(vb, stat, key, text, parse, args):
    try:
        names = corpus.function_names(vb, key, text)
    except BaseException as e:
        stat.error = stat.error or "function_fingerprints " + failure(e)
        return
    step = max(1, len(names) // args.cfg_names)
    for name in names[::step][:args.cfg_names]:
        seconds = stat.attempt(args.repeat, vb.function_cfg, key, text, name)
        if seconds is None:
            return
        stat.calls += 1
        stat.seconds += seconds
        stat.base += parse or 0.0
    stat.files += 1


def ratio(stat):
    return f"{stat.seconds / stat.base:7.2f}" if stat.base else "    n/a"


def report(stats, cfg, ts):
    print(f"\n{'function':22} {'lang':11} {'files':>5} {'MB':>6} {'ms':>8} {'MB/s':>8}"
          f"  {'baseline':10} {'base ms':>8} {'ratio':>7}")
    for name, rows in stats.items():
        for key, s in rows.items():
            if s.error:
                print(f"{name:22} {key:11} {s.error}")
                continue
            base = "splitlines" if name in ("suppressions", "ignored_regions") else \
                "parse" if key in ts else "parse n/a"
            mb = s.bytes / 1e6
            print(f"{name:22} {key:11} {s.files:5} {mb:6.2f} {1e3 * s.seconds:8.1f}"
                  f" {mb / s.seconds:8.1f}  {base:10} {1e3 * s.base:8.1f} {ratio(s)}")
    print(f"\nfunction_cfg: one call per named function (at most --cfg-names per file)"
          f"\n{'lang':6} {'files':>5} {'calls':>6} {'ms/call':>8} {'parse ms':>9} {'ratio':>7}")
    for key, s in cfg.items():
        if s.error:
            print(f"{key:6} {s.error}")
        elif s.calls:
            print(f"{key:6} {s.files:5} {s.calls:6} {1e3 * s.seconds / s.calls:8.3f}"
                  f" {1e3 * s.base / s.calls:9.3f} {ratio(s)}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    corpus.add_arguments(ap, mb=5)
    ap.add_argument("--repeat", type=int, default=3, help="timings per call, best kept (default 3)")
    ap.add_argument("--min-nodes", type=int, default=10, help="min_nodes of function_fingerprints")
    args = ap.parse_args()
    if MODULE_FILE not in os.environ:
        reexec_in_venv(args)
    vb = load_velbrook(os.environ[MODULE_FILE])
    start = time.perf_counter()
    ts, notes = parsers()
    print(f"velbrook: {vb.__file__}\npython {sys.version.split()[0]}, " + "\n".join(notes))
    files = corpus.collect(int(args.mb * 1e6))
    empty = [k for k, v in files.items() if not v]
    files = {k: v for k, v in files.items() if v}
    print("corpus: " + ", ".join(f"{k} {len(v)} files" for k, v in files.items()))
    if empty:
        print("no files of these languages on this machine: " + ", ".join(empty))
    stats, cfg = run(vb, files, ts, args)
    report(stats, cfg, ts)
    print(f"\ntotal {time.perf_counter() - start:.0f} s")


if __name__ == "__main__":
    main()
