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
"""

import argparse
import hashlib
import json
import os
import sys

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


def file_results(vb, key, data, text):
    ck = corpus.comment_key(key)
    out = {
        "call_edges": outcome(lambda: vb.call_edges(key, text)),
        "function_fingerprints": outcome(lambda: vb.function_fingerprints(key, text, 0)),
        "import_sources": outcome(lambda: vb.import_sources(key, data)),
        "suppressions": outcome(lambda: vb.suppressions(ck, text)),
        "ignored_regions": outcome(lambda: vb.ignored_regions(ck, text)),
    }
    if key in corpus.CFG_KEYS:
        names = corpus.function_names(vb, key, text)
        out["function_cfg"] = {n: outcome(lambda: vb.function_cfg(key, text, n)) for n in names}
    return {name: digest(value) for name, value in out.items()}


def dump(args):
    vb = corpus.import_velbrook(args.module_dir)
    files = corpus.from_args(args)
    entries = {}
    for key, found in files.items():
        for path, data, text in found:
            entries[f"{key}:{hashlib.sha1(data).hexdigest()}"] = {
                "path": path, "results": file_results(vb, key, data, text)}
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
    differ = 0
    for entry in shared:
        a, b = before[entry]["results"], after[entry]["results"]
        changed = sorted(n for n in set(a) | set(b) if a.get(n) != b.get(n))
        if changed:
            differ += 1
            print(f"DIFFERS {entry.split(':')[0]} {after[entry]['path']}: {', '.join(changed)}")
    print(f"{len(shared)} files in both dumps ({len(before)} before, {len(after)} after), "
          f"{differ} with different results, {len(only)} in one dump only")
    return 1 if differ or only or not shared else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="command", required=True)
    d = sub.add_parser("dump", help="write the digests of the corpus's results to OUT")
    d.add_argument("out", nargs="?", default=DEFAULT_OUT,
                   help="default: benchmarks/dumps/results.json")
    corpus.add_arguments(d, mb=5)
    c = sub.add_parser("compare", help="compare two dumps; exit 1 when any result differs "
                       "or a file is in one dump only")
    c.add_argument("before")
    c.add_argument("after")
    args = ap.parse_args()
    return dump(args) if args.command == "dump" else compare(args)


if __name__ == "__main__":
    sys.exit(main() or 0)
