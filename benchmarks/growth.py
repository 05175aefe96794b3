#!/usr/bin/env python3
"""CPU time and peak memory of the tree-based functions as their source doubles.

A shape builds a source of about a given size by repeating a unit: a nested
shape is a head, an opening part n times, a middle, a closing part n times and
a tail; a flat shape repeats one unit. Each function a shape applies to is
called once per size, the sizes doubling from --min-kib to --max-kib, each call
in a child interpreter of its own so that the peak resident set is that call's.
Per shape, the table gives at each size the CPU seconds of the call, the
child's peak RSS and the outcome; a line per function gives the growth of CPU
time per doubling (x2 is linear, x4 quadratic), marked "<< superlinear" when one
of the two largest doublings is above x3. A child is killed after --timeout
seconds or above --max-mb of RSS; the larger sizes of that shape and function
are then skipped.

    python benchmarks/growth.py --module-dir BUILD_DIR [--max-kib 1024] [--min-kib 16] \\
        [--shape NAME ...] [--function NAME ...] [--timeout 60] [--max-mb 4096]

BUILD_DIR holds a built module (velbrook.abi3.so), such as the build folder
that `pip wheel . -C build-dir=DIR` leaves. The exit code is 0 whatever the
timings; it is 1 only when the module does not import.
"""

import argparse
import collections
import json
import os
import resource
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402

CALLS = {
    "call_edges": lambda vb, key, text, data: vb.call_edges(key, text),
    "function_fingerprints": lambda vb, key, text, data: vb.function_fingerprints(key, text, 1),
    "import_sources": lambda vb, key, text, data: vb.import_sources(key, data),
    "function_cfg": lambda vb, key, text, data: vb.function_cfg(key, text, "f"),
}
TREE = ("call_edges", "function_fingerprints")
CFG = TREE + ("function_cfg",)
IMPORTS = ("import_sources",)

# source = head + (indent * k + open for k < n) + indent * n + middle + close * n + tail
Shape = collections.namedtuple("Shape", "name key functions open middle close head tail indent",
                               defaults=("", "", "", "", ""))
SHAPES = [
    # nested
    Shape("js-arrows", "javascript", TREE, "()=>", "0", head="x="),
    Shape("js-functions", "javascript", TREE, "function a(){f();", "", "}"),
    Shape("js-chain", "javascript", TREE, ".f()", head="function g(){x", tail="}"),
    Shape("js-computed-keys", "javascript", TREE, "x={[", "0", "]:()=>0}"),
    Shape("ts-arrows", "typescript", TREE, "(a:number):number=>", "0", head="let x="),
    Shape("lua-functions", "lua", TREE, "function f() ", "", "end "),
    Shape("lua-requires", "lua", IMPORTS + ("call_edges",), "require(", "'x'", ")", head="function f() return ",
          tail=" end\n"),
    # Each level indents by one more column, so n grows as the square root of the size.
    Shape("python-defs", "python", TREE, "def f():\n", "g()\n", indent=" "),
    Shape("rust-loops", "rust", CFG, "if a{loop{", "g();", "}}", head="fn f(){", tail="}\n"),
    Shape("c-ifs", "c", CFG, "if(a){", "g();", "}", head="int f(){", tail="}\n"),
    Shape("c-parens", "c", CFG, "f(", "0", ")", head="int f(){", tail=";}\n"),
    Shape("cpp-qualified", "cpp", TREE, "a::", "b(){", "f();", head="void ", tail="}\n"),
    Shape("php-includes", "php", IMPORTS, "include ", "'x';", head="<?php "),
    Shape("go-func-literals", "go", TREE, "g(func(){", "h()", "})", head="package p\nfunc f(){", tail="}\n"),
    Shape("kotlin-lambdas", "kotlin", TREE, "g{", "h()", "}", head="fun f(){", tail="}\n"),
    Shape("swift-functions", "swift", TREE, "func f(){g();", "", "}"),
    Shape("csharp-lambdas", "csharp", TREE, "G(()=>{", "H();", "});", head="class C{void F(){", tail="}}\n"),
    Shape("js-assignments", "javascript", TREE, "function a(){x=1;", "", "}"),
    Shape("js-calls-in-error", "javascript", TREE, "function a(){f();", ")", "}"),
    Shape("js-destructuring", "javascript", TREE, "let {a=()=>{", "", "}}=()=>0;"),
    Shape("c-aliases", "c", CFG, "void a(){int(*p)(int)=f;", "", "}"),
    Shape("cpp-lambda-declarators", "cpp", TREE, "int p[ []{", "", "return 0;}()]=f;", head="void f(){",
          tail="}\n"),
    Shape("cpp-class-return-types", "cpp", TREE, "struct{", "", "}f(){}"),
    Shape("lua-call-chain", "lua", IMPORTS + ("call_edges",), "{}", head="function g() f", tail=" end\n"),
    # one long name or alias target, and as many calls
    Shape("python-long-name", "python", TREE, "a", "():\n", " f()\n", head="def "),
    Shape("c-long-alias", "c", CFG, "a", ";", "p();", head="void f(){int(*p)(int)=", tail="}\n"),
    # flat
    Shape("c-functions", "c", CFG, "int f(){return g();}\n"),
    Shape("rust-functions", "rust", CFG, "fn f(){g();}\n"),
    Shape("python-functions", "python", TREE, "def f():\n  g()\n"),
    Shape("js-functions-flat", "javascript", TREE, "function f(){g()}\n"),
    Shape("c-if-statements", "c", CFG, "if(a);", head="int f(){", tail="}\n"),
    Shape("c-includes", "c", IMPORTS, "#include <a.h>\n"),
    Shape("python-imports", "python", IMPORTS, "import a\n"),
]
SHAPE_NAMES = [s.name for s in SHAPES]


def build(shape, n):
    opens = "".join(shape.indent * k + shape.open for k in range(n))
    return shape.head + opens + shape.indent * n + shape.middle + shape.close * n + shape.tail


def source(shape, size):
    """The source of the largest n whose UTF-8 text is at most size bytes."""
    def fits(n):
        return len(build(shape, n).encode()) <= size
    low, high = 1, 2
    while fits(high):
        low, high = high, high * 2
    while high - low > 1:
        mid = (low + high) // 2
        low, high = (mid, high) if fits(mid) else (low, mid)
    return build(shape, low)


def formula(shape):
    parts = [(shape.head, ""), (shape.open, "*n"), (shape.middle, ""), (shape.close, "*n"), (shape.tail, "")]
    text = " + ".join(repr(part) + times for part, times in parts if part)
    return text + (f", indented by {shape.indent!r} a level" if shape.indent else "")


def child(args, vb):
    """Runs in the child: one call, reported as one JSON line."""
    name, function, size = args.child
    shape = SHAPES[SHAPE_NAMES.index(name)]
    text = source(shape, int(size))
    data = text.encode()
    start = time.process_time()
    try:
        result = CALLS[function](vb, shape.key, text, data)
    except Exception as e:  # ValueError is the refusal; anything else is reported by name too
        result = e
    seconds = time.process_time() - start
    if isinstance(result, Exception):
        outcome = type(result).__name__
    elif function == "function_cfg":
        outcome = "none" if result is None else f"{len(result.blocks)} blocks"
    else:
        outcome = f"{len(result)} results"
    mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"seconds": seconds, "mb": mb, "outcome": outcome}))
    return 0


def rss_mb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return 0


def measure(args, shape, function, size):
    """The child's report, or only an outcome when it was killed or crashed."""
    proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--module-dir", args.module_dir,
                             "--child", shape.name, function, str(size)],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    deadline = time.monotonic() + args.timeout
    while proc.poll() is None:
        killed = ("timeout" if time.monotonic() > deadline else
                  "memory" if rss_mb(proc.pid) > args.max_mb else None)
        if killed:
            proc.kill()
            proc.wait()
            proc.stdout.close()
            return {"outcome": killed}
        time.sleep(0.02)
    out = proc.stdout.read()
    proc.stdout.close()
    if proc.returncode != 0 or not out:
        return {"outcome": f"crash ({proc.returncode})"}
    return json.loads(out)


def growth(measured):
    """CPU time per doubling over the (size, report) pairs of one function, the
    last two ratios flagged above x3, and how the series ended if it was cut."""
    times = [r["seconds"] for _size, r in measured if "seconds" in r]
    ratios = [b / a for a, b in zip(times, times[1:]) if a > 0]
    line = " ".join(f"x{g:.1f}" for g in ratios)
    if measured and "seconds" not in measured[-1][1]:
        line += f", then {measured[-1][1]['outcome']} at {measured[-1][0]} KiB"
    return line + ("  << superlinear" if any(g > 3 for g in ratios[-2:]) else "")


def stopped(measured, timeout):
    """Whether the last call of the series was killed, crashed or took longer than the timeout."""
    if not measured:
        return False
    last = measured[-1][1]
    return "seconds" not in last or last["seconds"] > timeout


def report_shape(args, shape, sizes):
    functions = [f for f in shape.functions if not args.function or f in args.function]
    if not functions:
        return
    print(f"\n{shape.name} ({shape.key}): {formula(shape)}")
    print(f"{'KiB':>6} " + "".join(f"| {f:<34}" for f in functions).rstrip())
    print(f"{'':>6} " + (f"| {'seconds':>8} {'MB':>7} {'outcome':<17}" * len(functions)).rstrip())
    measured = {f: [] for f in functions}
    for size in sizes:
        cells = []
        for f in functions:
            r = {"outcome": "skipped"}
            if not stopped(measured[f], args.timeout):
                r = measure(args, shape, f, size * 1024)
                measured[f].append((size, r))
            seconds = f"{r['seconds']:8.3f}" if "seconds" in r else f"{'-':>8}"
            mb = f"{r['mb']:7.1f}" if "mb" in r else f"{'-':>7}"
            cells.append(f"| {seconds} {mb} {r['outcome']:<17}")
        print(f"{size:>6} " + "".join(cells).rstrip(), flush=True)
    for f in functions:
        print(f"  growth {f}: {growth(measured[f])}".rstrip())


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--module-dir", required=True, help="directory holding the built velbrook module")
    ap.add_argument("--min-kib", type=int, default=16, help="smallest source in KiB (default 16)")
    ap.add_argument("--max-kib", type=int, default=1024, help="largest source in KiB (default 1024)")
    ap.add_argument("--shape", nargs="+", action="extend", choices=SHAPE_NAMES, metavar="NAME",
                    help="only these shapes: " + ", ".join(SHAPE_NAMES))
    ap.add_argument("--function", nargs="+", action="extend", choices=list(CALLS), metavar="NAME",
                    help="only these functions: " + ", ".join(CALLS))
    ap.add_argument("--timeout", type=float, default=60, help="seconds before a call is killed (default 60)")
    ap.add_argument("--max-mb", type=float, default=4096, help="RSS in MB above which a call is killed (default 4096)")
    ap.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    try:
        vb = corpus.import_velbrook([args.module_dir])
    except ImportError as e:
        print(f"growth.py: cannot import velbrook from {args.module_dir}: {e}")
        return 1
    if os.path.realpath(os.path.dirname(vb.__file__)) != os.path.realpath(args.module_dir):
        print(f"growth.py: no velbrook module in {args.module_dir} (found {vb.__file__})")
        return 1
    if args.child:
        return child(args, vb)
    sizes, size = [], args.min_kib
    while size <= args.max_kib:
        sizes.append(size)
        size *= 2
    for shape in SHAPES:
        if not args.shape or shape.name in args.shape:
            report_shape(args, shape, sizes)
    return 0


if __name__ == "__main__":
    sys.exit(main())
