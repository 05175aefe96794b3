import pytest

import velbrook

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
