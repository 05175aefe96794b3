import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import time
import tracemalloc

import pytest

import velbrook
from children import child_env, run_child


# One small real source per grammar key, with the kind of a function-like node in it.
SOURCES = [
    ("c", "int main(void) { return 0; }\n", "function_definition"),
    ("cpp", "namespace n { int f() { return 0; } }\n", "function_definition"),
    ("rust", "fn main() { println!(\"hi\"); }\n", "function_item"),
    ("python", "def f():\n    return 1\n", "function_definition"),
    ("javascript", "function f() { return 1; }\n", "function_declaration"),
    ("typescript", "function f(x: number): number { return x; }\n", "function_declaration"),
    ("tsx", "const a = () => <div>hi</div>;\n", "arrow_function"),
    ("ada", "procedure P is\nbegin\n   null;\nend P;\n", "subprogram_body"),
    ("go", "package main\n\nfunc main() {}\n", "function_declaration"),
    ("java", "class A { void f() {} }\n", "method_declaration"),
    ("csharp", "class A { void F() {} }\n", "method_declaration"),
    ("kotlin", "fun main() { println(1) }\n", "function_declaration"),
    ("swift", "func f() -> Int { return 1 }\n", "function_declaration"),
    ("php", "<?php\nfunction f() { return 1; }\n", "function_definition"),
    ("fortran", "program demo\nend program demo\n", "program"),
    ("scala", "object A { def f(): Int = 1 }\n", "function_definition"),
    ("lua", "local function f() return 1 end\n", "function_declaration"),
]


def test_every_grammar_key_is_covered():
    keys = [key for key, _, _ in SOURCES]
    assert sorted(keys) == sorted([r.key for r in velbrook.languages()] + ["tsx"])


@pytest.mark.parametrize("key, source, kind", SOURCES)
def test_each_grammar_parses_a_real_source(key, source, kind):
    kinds = [fp.kind for fp in velbrook.function_fingerprints(key, source, 0)]
    assert kind in kinds


def test_tsx_is_its_own_grammar():
    source = "const a = () => <div>hi</div>;\n"
    tsx = velbrook.function_fingerprints("tsx", source, 0)
    ts = velbrook.function_fingerprints("typescript", source, 0)
    assert [fp.hash for fp in tsx] != [fp.hash for fp in ts]


@pytest.mark.parametrize(
    "key", ["C", " c", "c ", "Rust", "", "c++", "cs", "js", "ts", "TSX", "c\x00x", "\x00", "rust\x00", "caf\u00e9\x00!"]
)
@pytest.mark.parametrize(
    "call",
    [
        lambda key: velbrook.call_edges(key, ""),
        lambda key: velbrook.function_fingerprints(key, "", 0),
        lambda key: velbrook.function_cfg(key, "", "f"),
        lambda key: velbrook.import_sources(key, b""),
    ],
)
def test_unknown_keys(call, key):
    with pytest.raises(ValueError) as info:
        call(key)
    assert str(info.value) == "unknown language key: " + key


@pytest.mark.parametrize("key", [key for key, _, _ in SOURCES])
def test_empty_and_broken_sources_still_parse(key):
    assert isinstance(velbrook.call_edges(key, ""), list)
    assert isinstance(velbrook.function_fingerprints(key, ")(}{ ]] @@ \x00 ;;", 0), list)


def test_independent_results_for_repeated_calls():
    a = velbrook.function_fingerprints("c", "int f(){}", 0)
    b = velbrook.function_fingerprints("c", "int f(){}", 0)
    assert a[0] is not b[0]
    assert [(x.hash, x.start_byte, x.end_byte) for x in a] == [(x.hash, x.start_byte, x.end_byte) for x in b]


# The Swift scanner read past the name of a compiler directive that ended at
# the end of the input or at a NUL (a sanitizer build stopped on each).
@pytest.mark.parametrize("source", ["#if os(macOS)\n  x()\n#endif", "#endif", "x\n#endif\x00\x00"])
def test_swift_directive_at_the_end_of_input(source):
    assert isinstance(velbrook.function_fingerprints("swift", source, 0), list)
    assert velbrook.import_sources("swift", source.encode()) == []


DEPTH = 100_000


def test_deeply_nested_source_parses_and_is_searched(small_stack):
    # The JavaScript root is itself a function-like node, so its fingerprint
    # walks the whole tree.
    source = "x = " + "[" * DEPTH + "]" * DEPTH + ";"
    root = small_stack(lambda: velbrook.function_fingerprints("javascript", source, 0))[0]
    assert root.kind == "program"
    assert root.node_count > 3 * DEPTH
    assert small_stack(lambda: velbrook.call_edges("javascript", source)) == []
    assert small_stack(lambda: velbrook.import_sources("javascript", source.encode())) == []


def test_deeply_nested_function_is_found(small_stack):
    source = "int f(){" + "{" * DEPTH + "}" * DEPTH + "}"
    fps = small_stack(lambda: velbrook.function_fingerprints("c", source, 0))
    assert [fp.name for fp in fps] == ["f"]
    assert fps[0].end_byte == len(source)


# Found by fuzzing: text that drives the Kotlin grammar's error recovery into
# an exponential number of stack versions; unbounded, its parse ran for
# minutes and took gigabytes.
FUZZ_REGRESSIONS = pathlib.Path(__file__).parent / "fuzz" / "regressions"
EXPONENTIAL_RECOVERY = FUZZ_REGRESSIONS / "kotlin" / "exponential_recovery.bin"

CHILD = """
import json, resource, sys
import velbrook
data = open(sys.argv[1], "rb").read()
text = data.decode()
outcomes, peaks = [], []
for _ in range(int(sys.argv[2])):
    try:
        outcomes.append(repr(%s))
    except ValueError as e:
        outcomes.append("ValueError: " + str(e))
    peaks.append(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024)
print(json.dumps({"outcomes": outcomes, "peak_mb": peaks}))
"""


def usage(pid):
    """(CPU seconds, resident megabytes) of a running process; zeros where
    /proc does not tell."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rpartition(")")[2].split()
        with open(f"/proc/{pid}/statm") as f:
            pages = int(f.read().split()[1])
    except (OSError, IndexError, ValueError):
        return 0, 0
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return cpu, pages * os.sysconf("SC_PAGE_SIZE") >> 20


def run_bounded(call, path, repeat, tmp_path, cpu_seconds=60, max_mb=1024):
    """Runs the call `repeat` times in a fresh interpreter; fails, rather than
    waits, once the child runs out of CPU time or of resident memory."""
    env = child_env()
    out, err = tmp_path / "out", tmp_path / "err"
    with open(out, "w") as stdout, open(err, "w") as stderr:
        child = subprocess.Popen([sys.executable, "-c", CHILD % call, str(path), str(repeat)],
                                 stdout=stdout, stderr=stderr, env=env)
        deadline = time.monotonic() + 10 * cpu_seconds
        try:
            while child.poll() is None:
                cpu, mb = usage(child.pid)
                assert mb <= max_mb, f"{call} went past {max_mb} MB"
                assert cpu <= cpu_seconds and time.monotonic() < deadline, f"{call} ran too long"
                time.sleep(0.05)
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
    assert child.returncode == 0, err.read_text()
    report = json.loads(out.read_text())
    assert max(report["peak_mb"]) <= max_mb
    return report


@pytest.mark.parametrize(
    "call",
    [
        "velbrook.call_edges('kotlin', text)",
        "velbrook.function_fingerprints('kotlin', text, 0)",
        "velbrook.function_cfg('kotlin', text, 'f')",
        "velbrook.import_sources('kotlin', data)",
    ],
)
def test_exponential_error_recovery_is_cut_off(call, tmp_path):
    report = run_bounded(call, EXPONENTIAL_RECOVERY, 1, tmp_path)
    assert report["outcomes"] == ["ValueError: tree-sitter failed to parse source"]


def test_cut_off_parse_releases_its_memory(tmp_path):
    report = run_bounded("velbrook.import_sources('kotlin', data)", EXPONENTIAL_RECOVERY, 3, tmp_path)
    assert report["outcomes"] == ["ValueError: tree-sitter failed to parse source"] * 3
    # The second call may still grow the peak while freed memory is held back
    # (AddressSanitizer's quarantine); a leak grows it on every call.
    first, second, third = report["peak_mb"]
    assert third - second <= first / 2


def repeated(unit, size):
    return (unit * (size // len(unit) + 1))[:size]


# Inputs whose parse cost grew with the square of their length or faster,
# with what one import_sources call cost before its cost was bounded.
HOSTILE = [
    # error recovery: 8.5 kB, 133 s and 1.45 GB
    ("kotlin", EXPONENTIAL_RECOVERY.read_bytes() * 16),
    # every step dearer than the last: 16 kB, 51 s
    ("swift", repeated(b")}]>", 16384)),
    # 64 kB, 38 s
    ("lua", repeated(b"[", 65536)),
    # 64 kB, 19 s
    ("scala", repeated(b"({[<", 65536)),
    # an unterminated comment re-lexed to the end from every start: 64 kB, over 20 s
    ("c", repeated(b"/*(", 65536)),
    # one step at the end of input copies every path of the parse stack:
    # 32 kB, 3.2 GB
    ("java", repeated(b"a<", 32768)),
]


@pytest.mark.parametrize("key, source", HOSTILE, ids=[key for key, _ in HOSTILE])
def test_hostile_input_is_refused_within_bounds(key, source, tmp_path):
    path = tmp_path / "source"
    path.write_bytes(source)
    report = run_bounded(f"velbrook.import_sources({key!r}, data)", path, 1, tmp_path, cpu_seconds=15)
    assert report["outcomes"] == ["ValueError: tree-sitter failed to parse source"]


def test_refused_parse_releases_what_it_allocated():
    # Refused from the allocator deep in one step, from the allocator, from the
    # read callback in the middle of a scan. The runtime allocates through the
    # interpreter's allocator, which tracemalloc traces (a sanitizer build uses
    # the C library's, which it does not).
    refused = [("java", repeated(b"a<", 8192)), ("lua", repeated(b"[", 8192)), ("scala", repeated(b"`", 32768))]
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for key, source in refused:
            with pytest.raises(ValueError, match="^tree-sitter failed to parse source$"):
                velbrook.import_sources(key, source)
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before < 4096


KOTLIN_FUNCTION = """
fun f{i}(a: Int, b: List<String>): Int {{
    val total = max(a, b.size) + {i}
    for (item in b) {{
        if (item.isEmpty()) continue
        println("item $item of f{i}")
    }}
    return if (total > 10) f{j}(total - 1, b) else total * 2
}}
"""


def test_large_ordinary_file_is_not_cut_off():
    source, count = "import kotlin.math.max\n", 0
    while len(source) < 1 << 20:
        source += KOTLIN_FUNCTION.format(i=count, j=max(count - 1, 0))
        count += 1
    fps = velbrook.function_fingerprints("kotlin", source, 0)
    assert [fp.name for fp in fps] == [f"f{i}" for i in range(count)]
    edges = velbrook.call_edges("kotlin", source)
    assert sum(e.callee == "println" for e in edges) == count
    assert velbrook.import_sources("kotlin", source.encode()) == ["kotlin.math.max"]


class Interrupted(Exception):
    pass


def raise_interrupted(signum, frame):
    raise Interrupted(signum)


# Set by .ci/run where it runs the suite for another CPU under qemu's user-mode
# emulation, which slows some code many times more than other code.
EMULATED = bool(os.environ.get("VELBROOK_EMULATED"))


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def assert_stopped_by_handler(call, handler, expected, fires_at):
    """A timer whose handler raises, set to fire a fraction fires_at into the
    call, stops it with the handler's exception well before its end."""
    whole = timed(call)
    old = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, whole * fires_at)
        start = time.perf_counter()
        with pytest.raises(expected):
            call()
        # Raised from within the call, not once it had returned.
        assert time.perf_counter() - start < whole * (1 + fires_at) / 2
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


@pytest.mark.parametrize(
    "handler, expected",
    [(raise_interrupted, Interrupted), (signal.default_int_handler, KeyboardInterrupt)],
    ids=["own exception", "KeyboardInterrupt"],
)
def test_exception_of_a_signal_handler_stops_the_parse(handler, expected):
    data = "".join(f"int f{i}(int a) {{ return g(a, {i}) + h(a) * {i}; }}\n" for i in range(60000)).encode()
    assert_stopped_by_handler(lambda: velbrook.import_sources("c", data), handler, expected, 0.1)
    assert velbrook.import_sources("c", b"#include <a.h>\n") == ["a.h"]


# Sources whose parse went one native stack frame deeper for every few bytes:
# the runtime released and merged the links of its parse stack, and looked up
# fields through hidden children, by calling itself once per level. Each of
# these 64 KiB sources killed the process (SIGSEGV) on a 256 KiB thread stack;
# the last was found by a random search over short repeated units.
DEEP = [
    ("cpp", "a<b>("),
    ("cpp", "f<a>("),
    ("cpp", "x<y>(z"),
    ("cpp", "a<b>(c"),
    ("cpp", "a < b > ("),
    ("cpp", "a::b<c>("),
    ("cpp", "a?<b>("),
    ("tsx", "a?<b>("),
    ("cpp", "]={*]"),
]

DEPTH_CHILD = """
import json, sys, threading
import velbrook
key, text, stack = sys.argv[1], open(sys.argv[2], encoding="utf-8").read(), int(sys.argv[3])
calls = [lambda: velbrook.call_edges(key, text), lambda: velbrook.function_fingerprints(key, text, 0),
         lambda: velbrook.function_cfg(key, text, "f"), lambda: velbrook.import_sources(key, text.encode())]
outcomes = []
def run():
    for call in calls:
        try:
            call()
            outcomes.append("answered")
        except ValueError as e:
            outcomes.append(str(e))
if stack:
    threading.stack_size(stack)
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
else:
    run()
print(json.dumps(outcomes))
"""


@pytest.mark.parametrize(
    "key, unit, size, stack",
    [(key, unit, 65536, 256 * 1024) for key, unit in DEEP] + [("cpp", "a<b>(", 524288, 0)],
    ids=[f"{key}-{unit}" for key, unit in DEEP] + ["cpp-a<b>(-512KiB-main-thread"],
)
def test_deep_parse_stack_is_answered_or_refused(key, unit, size, stack, tmp_path):
    path = tmp_path / "source"
    path.write_text(repeated(unit, size), encoding="utf-8")
    outcomes = run_child(DEPTH_CHILD, key, path, stack)
    assert len(outcomes) == 4
    assert set(outcomes) <= {"answered", "tree-sitter failed to parse source"}


# 1 MiB sources that the runtime answered or refused only after taking
# gigabytes (peak resident memory before: 3.9, 3.6, 3.4, 2.5, 1.5, 1.4 and
# 1.3 GB): forked parse stacks held at once, far more than any tree.
MEMORY_HOSTILE = [
    ("java", "a<"),
    ("csharp", "a<"),
    ("cpp", "a<"),
    ("c", "f(g("),
    ("swift", "a<"),
    ("go", "f(g("),
    ("typescript", "a<"),
]

MEMORY_CHILD = """
import json, resource, sys
limit = int(sys.argv[3])
if limit:
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
import velbrook
try:
    velbrook.import_sources(sys.argv[1], open(sys.argv[2], "rb").read())
    outcome = "answered"
except ValueError as e:
    outcome = str(e)
print(json.dumps([outcome, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024]))
"""


def sanitized():
    """Whether AddressSanitizer runs in this process (and its children), which
    reserves more address space than any limit of memory could allow."""
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


@pytest.mark.parametrize("key, unit", MEMORY_HOSTILE, ids=[f"{key}-{unit}" for key, unit in MEMORY_HOSTILE])
def test_hostile_source_of_1_mib_stays_within_1_gb(key, unit, tmp_path):
    path = tmp_path / "source"
    path.write_bytes(repeated(unit.encode(), 1 << 20))
    limit = 0 if sanitized() else 1 << 30
    outcome, peak_mb = run_child(MEMORY_CHILD, key, path, limit)
    assert outcome in {"answered", "tree-sitter failed to parse source"}
    assert peak_mb < (2048 if limit == 0 else 1024)


MIB = 1 << 20


def nested(opening, middle, closing, size):
    """opening n times, middle, closing n times: about size bytes."""
    n = (size - len(middle)) // (len(opening) + len(closing))
    return opening * n + middle + closing * n


# Sources whose analysis, not their parse, grew faster than their length:
# nested functions that every enclosing function hashes or records, and texts
# (callees, names, import sources) that hold the texts nested in them. At
# 64 kB each took seconds to minutes; at 1 MiB, nested JavaScript functions
# with a call each took gigabytes.
RUNAWAY = [
    ("fingerprints-js-arrows", "function_fingerprints('javascript', text, 0)", "x=" + nested("()=>", "0", "", MIB)),
    ("fingerprints-lua-functions", "function_fingerprints('lua', text, 0)", nested("function f() ", "", "end ", MIB)),
    ("calls-js-functions", "call_edges('javascript', text)", nested("function a(){f();", "", "}", MIB)),
    ("calls-js-chain", "call_edges('javascript', text)", nested("", "function g(){x", ".f()", MIB) + "}"),
    ("calls-js-keys", "call_edges('javascript', text)", "x=" + nested("{[", "0", "]:()=>0}", MIB)),
    ("imports-php-include", "import_sources('php', data)", "<?php " + nested("include ", "'x';", "", MIB)),
    ("imports-lua-require", "import_sources('lua', data)", nested("require(", "'x'", ")", MIB)),
]


@pytest.mark.parametrize("call, source", [row[1:] for row in RUNAWAY], ids=[row[0] for row in RUNAWAY])
def test_runaway_analysis_is_refused_within_bounds(call, source, tmp_path):
    path = tmp_path / "source"
    path.write_text(source, encoding="utf-8")
    report = run_bounded(f"velbrook.{call}", path, 1, tmp_path, cpu_seconds=30,
                         max_mb=2048 if sanitized() else 1024)
    [outcome] = report["outcomes"]
    function = call.partition("(")[0]
    size = len(source.encode())
    assert re.fullmatch(f"ValueError: {function}: analysing this source needs more than [0-9]+ steps,"
                        f" the allowance of a source of {size} bytes", outcome), outcome


def test_allowance_of_the_analyses_grows_with_the_source():
    # The same nesting is refused alone and answered with room around it.
    arrows = nested("()=>", "0", "", 8192)
    with pytest.raises(ValueError, match="^function_fingerprints: analysing this source needs more than"):
        velbrook.function_fingerprints("javascript", arrows, 0)
    padded = arrows + "\n//" + "x" * (1 << 20)
    fps = velbrook.function_fingerprints("javascript", padded, 0)
    assert len(fps) == 1 + arrows.count("()=>")
    assert fps[0].kind == "program"


@pytest.mark.skipif(EMULATED, reason="under emulation the parse of the long comment is slowed far more than "
                    "the analysis, so that it takes half the call and the timer cannot be aimed at the analysis")
def test_exception_of_a_signal_handler_stops_the_analysis():
    # Nested functions to fingerprint, in a source that a long comment makes
    # cheap to parse and large enough to be allowed them.
    text = nested("()=>", "0", "", 16384) + "\n//" + "x" * MIB
    parse = timed(lambda: velbrook.import_sources("javascript", text.encode()))

    def call():
        return velbrook.function_fingerprints("javascript", text, 0)

    assert parse < timed(call) / 4
    assert_stopped_by_handler(call, raise_interrupted, Interrupted, 1 / 3)
