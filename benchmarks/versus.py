#!/usr/bin/env python3
"""Two builds of velbrook timed against each other in one process.

Each build's module is loaded from its own copy of the file, so both live in
the process at once; every call is timed on both, interleaved file by file
and repeated (best of --repeat), and the table gives per function and
language the time of NEW over the time of OLD. Results are compared too: a
MISMATCH line names each file where the two builds answer differently.

    python benchmarks/versus.py OLD_DIR NEW_DIR --corpus ~/.cache/velbrook-corpus [--mb 2]

OLD_DIR and NEW_DIR hold a built module (velbrook.abi3.so), such as the build
folders that `pip wheel . -C build-dir=DIR` leaves, or an unpacked wheel.
"""

import argparse
import glob
import importlib.util
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402
import results  # noqa: E402

CALLS = {
    "call_edges": lambda vb, key, data, text: vb.call_edges(key, text),
    "function_fingerprints": lambda vb, key, data, text: vb.function_fingerprints(key, text, 10),
    "import_sources": lambda vb, key, data, text: vb.import_sources(key, data),
    "function_cfg": lambda vb, key, data, text: [vb.function_cfg(key, text, name) for name in
                                                 corpus.function_names(vb, key, text)[:8]],
}


def load(folder, copy_dir, label):
    """The module of folder, loaded from a copy of its own so that the dynamic
    loader keeps it apart from the other build's."""
    [path] = glob.glob(os.path.join(folder, "velbrook*.so"))
    copy = os.path.join(copy_dir, label, os.path.basename(path))
    os.makedirs(os.path.dirname(copy))
    shutil.copyfile(path, copy)
    spec = importlib.util.spec_from_file_location("velbrook", copy)
    module = importlib.util.module_from_spec(spec)
    sys.modules.pop("velbrook", None)
    spec.loader.exec_module(module)
    sys.modules.pop("velbrook", None)
    return module


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--corpus", action="append", default=[], metavar="DIR",
                    help="take the files from DIR/KEY/ (as get_corpus.sh lays them out); may be repeated")
    ap.add_argument("--mb", type=float, default=2, help="corpus megabytes per language (default 2)")
    ap.add_argument("--repeat", type=int, default=3, help="timings per call, best kept (default 3)")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as copies:
        old, new = load(args.old, copies, "old"), load(args.new, copies, "new")
        files = corpus.collect(int(args.mb * 1e6), corpus_dirs=args.corpus)
        totals = {}  # (function, key) -> [old seconds, new seconds]
        for key, entries in files.items():
            for path, data, text in entries:
                for name, call in CALLS.items():
                    if name == "function_cfg" and key not in corpus.CFG_KEYS:
                        continue
                    if text is None and name != "import_sources":
                        continue
                    answers = [results.outcome(lambda vb=vb: call(vb, key, data, text)) for vb in (old, new)]
                    if answers[0] != answers[1]:
                        print(f"MISMATCH {name} {key} {path}")
                    # Interleaved, so that both see the same state of the machine,
                    # and each first in every other round.
                    times = ([], [])
                    for r in range(args.repeat):
                        for i in ((0, 1) if r % 2 == 0 else (1, 0)):
                            vb = (old, new)[i]
                            times[i].append(timed(lambda vb=vb: call(vb, key, data, text)))
                    pair = totals.setdefault((name, key), [0.0, 0.0])
                    pair[0] += min(times[0])
                    pair[1] += min(times[1])
    print(f"{'function':22} {'key':11} {'old ms':>9} {'new ms':>9} {'new/old':>8}")
    for name in CALLS:
        old_sum = new_sum = 0.0
        for (function, key), (o, n) in sorted(totals.items()):
            if function != name:
                continue
            old_sum, new_sum = old_sum + o, new_sum + n
            print(f"{name:22} {key:11} {o * 1e3:9.1f} {n * 1e3:9.1f} {n / o:8.3f}")
        if old_sum:
            print(f"{name:22} {'all':11} {old_sum * 1e3:9.1f} {new_sum * 1e3:9.1f} {new_sum / old_sum:8.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
