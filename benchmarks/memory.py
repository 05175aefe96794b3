#!/usr/bin/env python3
"""Resident memory of velbrook over repeated rounds of every function.

Each round calls all eight functions over real source files of this machine,
reads every attribute of every result, and makes calls that must fail
(unknown keys, wrong types and counts of arguments, class constructors).
The first round is the warm-up; the resident set after it and after the last
round must match within --tolerance.

    python benchmarks/memory.py --module-dir /tmp/build-bench [--rounds 6] [--mb 1]
"""

import argparse
import gc
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402

CLASSES = ("LanguageInfo", "CallEdge", "BasicBlock", "FunctionCfg", "Fingerprint",
           "Suppression", "IgnoredRegion")


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def touch(value):
    """Read every attribute of every result object, nested ones included."""
    stack = [value]
    while stack:
        v = stack.pop()
        if isinstance(v, (list, tuple)):
            stack.extend(v)
        elif type(v).__module__ == "builtins" and type(v).__name__ in CLASSES:
            stack.extend(getattr(v, n) for n in dir(type(v)) if not n.startswith("_"))


def attempt(thunk):
    """(result, None), or (None, the exception): PanicException derives from BaseException."""
    try:
        return thunk(), None
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:
        return None, e


# The thunks below are each called before the generator makes the next one, so
# they may use the loop variables directly.
def good_calls(vb, files, cfg_names):
    """(function name, thunk) for every call of a round that should succeed."""
    yield "languages", vb.languages
    yield "supported_languages_report", vb.supported_languages_report
    for key, entries in files.items():
        ck = corpus.comment_key(key)
        for path, data, text in entries:
            yield "call_edges", lambda: vb.call_edges(key, text)
            yield "function_fingerprints", lambda: vb.function_fingerprints(key, text, 10)
            yield "import_sources", lambda: vb.import_sources(key, data)
            yield "suppressions", lambda: vb.suppressions(ck, text)
            yield "ignored_regions", lambda: vb.ignored_regions(ck, text)
            yield "function_cfg", lambda: vb.function_cfg(key, text, "no_such_function")
            for name in cfg_names.get(path, ()):
                yield "function_cfg", lambda: vb.function_cfg(key, text, name)


def bad_calls(vb, text):
    """(label, thunk) for calls that must raise; text is a large real source."""
    yield "unknown key", lambda: vb.call_edges("klingon", text)
    yield "unknown key", lambda: vb.function_fingerprints("C", text, 1)
    yield "unknown key", lambda: vb.function_cfg("", text, "f")
    yield "unknown key", lambda: vb.import_sources("klingon", text.encode())
    yield "unknown key", lambda: vb.suppressions("tsx", text)
    yield "unknown key", lambda: vb.ignored_regions("c ", text)
    yield "wrong type", lambda: vb.call_edges(1, text)
    yield "wrong type", lambda: vb.import_sources("c", text)
    yield "wrong type", lambda: vb.suppressions("c", text.encode())
    yield "wrong type", lambda: vb.ignored_regions("c", None)
    yield "wrong type", lambda: vb.function_cfg("c", text, 7)
    yield "wrong type", lambda: vb.function_fingerprints("c", text, 1.5)
    yield "out of range", lambda: vb.function_fingerprints("c", text, -1)
    yield "out of range", lambda: vb.function_fingerprints("c", text, 2**64)
    yield "lone surrogate", lambda: vb.call_edges("c", text + "\ud800")
    yield "lone surrogate", lambda: vb.suppressions("c", "\udfff" + text)
    yield "argument count", lambda: vb.function_cfg("c", text)
    yield "argument count", lambda: vb.call_edges("c", text, text)
    yield "argument count", lambda: vb.languages(1)
    yield "keyword", lambda: vb.call_edges("c", text, lang="c")
    yield "keyword", lambda: vb.call_edges("c", text, language_key="c")
    for name in CLASSES:
        yield "constructor", lambda: getattr(vb, name)(text)


def run_round(vb, files, cfg_names, bad_text):
    """{label: [calls, raised, first exception]} of one round."""
    tally = {}
    for label, thunk in good_calls(vb, files, cfg_names):
        row = tally.setdefault(label, [0, 0, None])
        row[0] += 1
        _, error = attempt(lambda: touch(thunk()))
        if error is not None:
            row[1] += 1
            row[2] = row[2] or f"{type(error).__name__}: {error}"[:80]
    for label, thunk in bad_calls(vb, bad_text):
        row = tally.setdefault("must fail: " + label, [0, 0, None])
        row[0] += 1
        _, error = attempt(lambda: touch(thunk()))
        if error is None:
            row[2] = "a call did not raise"
        else:
            row[1] += 1
    return tally


def cfg_targets(vb, files, limit):
    """{path: names of up to limit named functions} of the C, C++ and Rust files."""
    names = {}
    for key in corpus.CFG_KEYS:
        for path, _data, text in files.get(key, ()):
            found, _ = attempt(lambda: corpus.function_names(vb, key, text))
            names[path] = (found or [])[:limit]
    return names


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    corpus.add_arguments(ap, mb=1)
    ap.add_argument("--cfg-names", type=int, default=8,
                    help="function_cfg calls per file at most (default 8)")
    ap.add_argument("--rounds", type=int, default=6, help="rounds, the warm-up included (default 6)")
    ap.add_argument("--tolerance", type=float, default=1.0, help="allowed RSS growth in MB")
    args = ap.parse_args()
    vb = corpus.import_velbrook(args.module_dir)
    print(f"velbrook: {vb.__file__}")
    files = {k: v for k, v in corpus.from_args(args).items() if v}
    print("corpus: " + ", ".join(f"{k} {len(v)} files" for k, v in files.items()))
    cfg_names = cfg_targets(vb, files, args.cfg_names)
    bad_text = max((t for v in files.values() for _p, _d, t in v), key=len, default="int x;")
    rss = []
    for number in range(1, args.rounds + 1):
        tally = run_round(vb, files, cfg_names, bad_text)
        gc.collect()
        rss.append(rss_mb())
        if number == 1:
            print(f"\n{'calls of one round':34} {'calls':>6} {'raised':>6}")
            for label, (calls, raised, note) in tally.items():
                print(f"{label:34} {calls:6} {raised:6}  {note or ''}")
            print()
        change = "warm-up" if number == 1 else f"{rss[-1] - rss[0]:+.2f} MB since warm-up"
        print(f"round {number}: RSS {rss[-1]:8.2f} MB  ({change})", flush=True)
    growth = rss[-1] - rss[0]
    verdict = "OK" if growth <= args.tolerance else "GROWING"
    print(f"RSS after warm-up {rss[0]:.2f} MB, after round {args.rounds} {rss[-1]:.2f} MB: "
          f"growth {growth:+.2f} MB (tolerance {args.tolerance} MB): {verdict}")
    sys.exit(verdict != "OK")


if __name__ == "__main__":
    main()
