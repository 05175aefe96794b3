#!/usr/bin/env python3
"""Digests of every result of every function over the benchmark corpus.

A change that must not alter any result is checked by dumping before and after
and comparing the two dumps:

    python benchmarks/results.py dump benchmarks/dumps/before.json --module-dir OLD_BUILD [--mb 5]
    python benchmarks/results.py dump benchmarks/dumps/after.json --module-dir NEW_BUILD [--mb 5]
    python benchmarks/results.py compare benchmarks/dumps/before.json benchmarks/dumps/after.json

Files are matched by their content, so the two dumps may come from corpora that
were collected in different places, but both must hold the same files.
function_cfg is called for every distinct function name of every C, C++ and
Rust file. benchmarks/dumps/ is ignored by git.

A parse is refused once its CPU time reaches an allowance, so whether a costly
source is answered depends on the machine's speed: a dump names the results of
each file that a refusal at that allowance decided, and compare reports a
result that differs because of one apart, without failing.

--sources FILE adds the (key, text) pairs of the module-level SOURCES list of a
Python file, such as a test module's table of cases; .ci/run dumps the fuzz
seeds and regressions (--corpus) and those tables with the x86_64 build and
with the aarch64 build under emulation, and compares the two dumps.
"""

import argparse
import hashlib
import json
import os
import runpy
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402

DEFAULT_OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "dumps", "results.json")
CLASSES = ("LanguageInfo", "CallEdge", "BasicBlock", "FunctionCfg", "Fingerprint",
           "Suppression", "IgnoredRegion")


def plain(value):
    """The value with every result object turned into a dict of its attributes."""
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if type(value).__module__ == "builtins" and type(value).__name__ in CLASSES:
        return {n: plain(getattr(value, n)) for n in sorted(dir(type(value))) if not n.startswith("_")}
    return value


def outcome(thunk):
    try:
        return plain(thunk())
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:
        return f"raised {type(e).__name__}: {e}"


def digest(value):
    return hashlib.sha256(json.dumps(value, sort_keys=True).encode()).hexdigest()[:24]


REFUSED = "raised ValueError: tree-sitter failed to parse source"


def cpu_allowance(size):
    """The CPU seconds a parse of a source of size bytes may take
    (CPU_NS_PER_PARSE and CPU_NS_PER_BYTE in src/parse.cpp)."""
    return 0.25 + 23e-6 * size


def file_results(vb, key, data, text):
    """({function: digest of its results}, [the functions whose results a
    refusal at the parse's CPU-time allowance decided])."""
    ck = corpus.comment_key(key)
    timed_out = set()

    def run(name, thunk):
        start = time.thread_time()
        value = outcome(thunk)
        if value == REFUSED and time.thread_time() - start >= cpu_allowance(len(data)):
            timed_out.add(name)
        return value

    def cfgs():
        # A source whose parse is refused has no names to ask for.
        return {n: run("function_cfg", lambda: vb.function_cfg(key, text, n))
                for n in corpus.function_names(vb, key, text)}

    out = {
        "call_edges": run("call_edges", lambda: vb.call_edges(key, text)),
        "function_fingerprints": run("function_fingerprints", lambda: vb.function_fingerprints(key, text, 0)),
        "import_sources": run("import_sources", lambda: vb.import_sources(key, data)),
        "suppressions": outcome(lambda: vb.suppressions(ck, text)),
        "ignored_regions": outcome(lambda: vb.ignored_regions(ck, text)),
    }
    if key in corpus.CFG_KEYS:
        out["function_cfg"] = run("function_cfg", cfgs)
    return {name: digest(value) for name, value in out.items()}, sorted(timed_out)


def table_sources(path):
    """{key: [(name, bytes, str)]} of the SOURCES list of (key, text) pairs that
    the Python file at path defines. The file runs with its folder first on
    sys.path, as pytest runs a test module, for the helpers it imports."""
    sys.path.insert(0, os.path.dirname(os.path.abspath(path)))
    try:
        table = runpy.run_path(path)["SOURCES"]
    finally:
        del sys.path[0]
    found = {}
    for i, (key, text) in enumerate(table):
        found.setdefault(key, []).append((f"{path}:SOURCES[{i}]", text.encode(), text))
    return found


def dump(args):
    vb = corpus.import_velbrook(args.module_dir)
    files = corpus.from_args(args) if args.corpus or not args.sources else {}
    for path in args.sources:
        for key, found in table_sources(path).items():
            files.setdefault(key, []).extend(found)
    entries = {}
    for key, found in files.items():
        for path, data, text in found:
            results, timed_out = file_results(vb, key, data, text)
            entries[f"{key}:{hashlib.sha1(data).hexdigest()}"] = {
                "path": path, "results": results, "timed_out": timed_out}
        print(f"{key}: {len(found)} files", flush=True)
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        json.dump(entries, f, indent=0, sort_keys=True)


def compare(args):
    with open(args.before) as f:
        before = json.load(f)
    with open(args.after) as f:
        after = json.load(f)
    shared = sorted(set(before) & set(after))
    only = [(side, entry, dump[entry]["path"])
            for side, dump, other in (("before", before, after), ("after", after, before))
            for entry in sorted(set(dump) - set(other))]
    for side, entry, path in only:
        print(f"ONLY {side.upper()} {entry.split(':')[0]} {path}")
    differ = compared = changes = timed_out = 0
    for entry in shared:
        a, b = before[entry]["results"], after[entry]["results"]
        timed = set(before[entry].get("timed_out", ())) | set(after[entry].get("timed_out", ()))
        names = sorted(set(a) | set(b))
        slow = [n for n in names if a.get(n) != b.get(n) and n in timed]
        changed = [n for n in names if a.get(n) != b.get(n) and n not in timed]
        compared += len(names) - len(slow)
        changes += len(changed)
        timed_out += len(slow)
        where = f"{entry.split(':')[0]} {after[entry]['path']}"
        if slow:
            print(f"CPU TIME {where}: {', '.join(slow)}")
        if changed:
            differ += 1
            print(f"DIFFERS {where}: {', '.join(changed)}")
    print(f"{len(shared)} files in both dumps ({len(before)} before, {len(after)} after), "
          f"{compared} results compared, {changes} different in {differ} files, "
          f"{timed_out} decided by the CPU-time allowance in one dump (not compared), "
          f"{len(only)} files in one dump only")
    return 1 if differ or only or not shared else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="command", required=True)
    d = sub.add_parser("dump", help="write the digests of the corpus's results to OUT")
    d.add_argument("out", nargs="?", default=DEFAULT_OUT,
                   help="default: benchmarks/dumps/results.json")
    corpus.add_arguments(d, mb=5)
    d.add_argument("--sources", action="append", default=[], metavar="FILE",
                   help="add the (key, text) pairs of the SOURCES list of the Python file FILE "
                        "(with no --corpus, only those); may be repeated")
    c = sub.add_parser("compare", help="compare two dumps; exit 1 when any result differs "
                       "or a file is in one dump only")
    c.add_argument("before")
    c.add_argument("after")
    args = ap.parse_args()
    return dump(args) if args.command == "dump" else compare(args)


if __name__ == "__main__":
    sys.exit(main() or 0)
