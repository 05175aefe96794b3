import struct

import pytest

import velbrook

MASK = (1 << 64) - 1


def _rotl(x, b):
    return ((x << b) | (x >> (64 - b))) & MASK


def siphash13(data, k0=0, k1=0):
    """Plain SipHash-1-3, an independent model of the module's hasher."""
    v = [k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D, k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573]

    def sip_round():
        v[0] = (v[0] + v[1]) & MASK
        v[1] = _rotl(v[1], 13) ^ v[0]
        v[0] = _rotl(v[0], 32)
        v[2] = (v[2] + v[3]) & MASK
        v[3] = _rotl(v[3], 16) ^ v[2]
        v[0] = (v[0] + v[3]) & MASK
        v[3] = _rotl(v[3], 21) ^ v[0]
        v[2] = (v[2] + v[1]) & MASK
        v[1] = _rotl(v[1], 17) ^ v[2]
        v[2] = _rotl(v[2], 32)

    def compress(m):
        v[3] ^= m
        sip_round()
        v[0] ^= m

    full = len(data) - len(data) % 8
    for (m,) in struct.iter_unpack("<Q", data[:full]):
        compress(m)
    compress(int.from_bytes(data[full:], "little") | (len(data) & 0xFF) << 56)
    v[2] ^= 0xFF
    for _ in range(3):
        sip_round()
    return v[0] ^ v[1] ^ v[2] ^ v[3]


# Published SipHash-1-3 outputs for key 00..0f and message 00 01 .. (n-1).
KEY = (0x0706050403020100, 0x0F0E0D0C0B0A0908)
PUBLISHED = [
    (0, 0xABAC0158050FC4DC),
    (1, 0xC9F49BF37D57CA93),
    (7, 0xD3927D989BB11140),
    (8, 0x369095118D299A8E),
    (15, 0xD320D86D2A519956),
    (63, 0x9D199062B7BBB3A8),
]


@pytest.mark.parametrize("length,expected", PUBLISHED)
def test_reference_siphash_matches_published_vectors(length, expected):
    assert siphash13(bytes(range(length)), *KEY) == expected


def stream(nodes, return_type=None):
    """The fingerprint stream of a pre-order list of (kind, child count)."""
    out = b"".join(kind.encode() + b"\xff" + struct.pack("<Q", count) for kind, count in nodes)
    if return_type is not None:
        out += return_type.encode() + b"\xff"
    return out


C_F_NODES = [
    ("function_definition", 3), ("primitive_type", 0), ("function_declarator", 2), ("identifier", 0),
    ("parameter_list", 2), ("(", 0), (")", 0), ("compound_statement", 2), ("{", 0), ("}", 0),
]
JS_DECLARATION_NODES = [
    ("function_declaration", 4), ("function", 0), ("identifier", 0), ("formal_parameters", 2),
    ("(", 0), (")", 0), ("statement_block", 2), ("{", 0), ("}", 0),
]
RUST_NODES = [
    ("function_item", 6), ("fn", 0), ("identifier", 0), ("parameters", 2), ("(", 0), (")", 0),
    ("->", 0), ("primitive_type", 0), ("block", 2), ("{", 0), ("}", 0),
]


def test_worked_example_stream_and_hash():
    data = stream(C_F_NODES, "int")
    assert len(data) == 192
    assert data[:28].hex(" ") == "66 75 6e 63 74 69 6f 6e 5f 64 65 66 69 6e 69 74 69 6f 6e ff 03 00 00 00 00 00 00 00"
    assert siphash13(data) == 3183392356430366897
    leaf = stream([("function", 0)])
    assert leaf.hex(" ") == "66 75 6e 63 74 69 6f 6e ff 00 00 00 00 00 00 00 00"
    assert siphash13(leaf) == 15954117545423146203


def records(key, source, min_nodes=0):
    return [
        (f.name, f.kind, f.hash, f.node_count, f.start_byte, f.end_byte, f.start_line, f.end_line)
        for f in velbrook.function_fingerprints(key, source, min_nodes)
    ]


C_F = ("f", "function_definition", 3183392356430366897, 10, 0, 9, 1, 1)
JS_ROOT = (None, "program", 12636959828753212538, 10, 0, 15, 1, 1)
JS_DECL = ("f", "function_declaration", 12600701149912194109, 9, 0, 15, 1, 1)
JS_KEYWORD = (None, "function", 15954117545423146203, 1, 0, 8, 1, 1)


@pytest.mark.parametrize(
    "key,source,min_nodes,expected",
    [
        ("c", "int f(){}", 0, [C_F]),
        ("c", "int f(){}", 10, [C_F]),
        ("c", "int f(){}", 11, []),
        ("cpp", "int f(){}", 0, [C_F]),
        ("c", "int f(){}", 2**64 - 1, []),
        ("javascript", "function f() {}", 0, [JS_ROOT, JS_DECL, JS_KEYWORD]),
        ("javascript", "function f() {}", 1, [JS_ROOT, JS_DECL, JS_KEYWORD]),
        ("javascript", "function f() {}", 2, [JS_ROOT, JS_DECL]),
        ("javascript", "function f() {}", 10, [JS_ROOT]),
        ("c", "", 0, []),
        ("javascript", "", 0, [(None, "program", siphash13(stream([("program", 0)])), 1, 0, 0, 1, 1)]),
        ("javascript", "", 1, [(None, "program", siphash13(stream([("program", 0)])), 1, 0, 0, 1, 1)]),
        ("javascript", "", 2, []),
    ],
)
def test_worked_examples(key, source, min_nodes, expected):
    assert records(key, source, min_nodes) == expected


@pytest.mark.parametrize(
    "key,source,nodes,return_type",
    [
        ("c", "int f(){}", C_F_NODES, "int"),
        ("javascript", "function f() {}", JS_DECLARATION_NODES, None),
        ("javascript", "function f() {}", [("program", 1)] + JS_DECLARATION_NODES, None),
        ("rust", "fn f() -> i32 {}", RUST_NODES, "i32"),
    ],
)
def test_hash_is_siphash13_of_the_stream(key, source, nodes, return_type):
    hashes = {f.hash for f in velbrook.function_fingerprints(key, source, len(nodes))}
    assert siphash13(stream(nodes, return_type)) in hashes


@pytest.mark.parametrize(
    "key,a,b",
    [
        ("c", "int f(int a){ return a + 1; }", "int g(int b){ return b + 22; }"),
        ("c", "int f(){ /* a */ }", "int f(){ /* a much longer comment */ }"),
        ("python", "def f(x):\n    return 'a'\n", "def g(y):\n    return 'bbb'\n"),
        ("rust", "fn a() -> i32 { 1 }", "fn b() -> i32 { 2 }"),
    ],
)
def test_identifier_and_literal_text_do_not_count(key, a, b):
    (fa,), (fb,) = velbrook.function_fingerprints(key, a, 0), velbrook.function_fingerprints(key, b, 0)
    assert fa.hash == fb.hash


def test_renaming_changes_name_not_hash():
    (a,), (b,) = velbrook.function_fingerprints("c", "int f(){}", 0), velbrook.function_fingerprints("c", "int g(){}", 0)
    assert (a.name, b.name) == ("f", "g")
    assert a.hash == b.hash


@pytest.mark.parametrize(
    "key,a,b",
    [
        ("c", "int f(){}", "char f(){}"),
        ("rust", "fn f() -> i32 {}", "fn f() -> u32 {}"),
        ("go", "package p\nfunc f() int { return 0 }", "package p\nfunc f() uint { return 0 }"),
        ("python", "def f() -> int: pass", "def f() -> str: pass"),
        ("typescript", "function f(): number {}", "function f(): string {}"),
    ],
)
def test_return_type_text_counts(key, a, b):
    ha = [f.hash for f in velbrook.function_fingerprints(key, a, 2)]
    hb = [f.hash for f in velbrook.function_fingerprints(key, b, 2)]
    assert len(ha) == len(hb) and ha != hb


def test_nested_function_counts_inside_outer_but_not_its_return_type():
    outer_int, inner_int = velbrook.function_fingerprints("c", "int outer(){ int inner(){} }", 0)
    outer_char, inner_char = velbrook.function_fingerprints("c", "int outer(){ char inner(){} }", 0)
    assert (outer_int.name, inner_int.name) == ("outer", "inner")
    assert outer_int.hash == outer_char.hash
    assert inner_int.hash != inner_char.hash
    assert inner_int.node_count == 10
    assert outer_int.node_count == 20
    assert outer_int.start_byte < inner_int.start_byte < inner_int.end_byte < outer_int.end_byte


def test_equal_structures_give_equal_records_in_order():
    found = velbrook.function_fingerprints("c", "int a(){}\nint b(){}\n", 0)
    assert [(f.name, f.start_line) for f in found] == [("a", 1), ("b", 2)]
    assert found[0].hash == found[1].hash == 3183392356430366897


def test_lines_are_one_based_and_end_line_follows_the_end_position():
    root, decl, _keyword = velbrook.function_fingerprints("javascript", "\nfunction f() {\n}\n", 0)
    assert (decl.start_line, decl.end_line) == (2, 3)
    # The root starts at its first token; it ends after the final line feed,
    # at column 0 of line 4.
    assert (root.start_byte, root.end_byte, root.start_line, root.end_line) == (1, 18, 2, 4)


def test_multibyte_offsets_are_bytes():
    (f,) = velbrook.function_fingerprints("python", "s = 'é'\ndef f(): pass", 0)
    assert (f.start_byte, f.end_byte) == (9, 22)


DEPTH = 100_000


def nested_blocks_nodes(depth):
    nodes = C_F_NODES[:7]
    nodes += [("compound_statement", 3), ("{", 0)] * depth
    nodes += [("compound_statement", 2), ("{", 0), ("}", 0)]
    nodes += [("}", 0)] * depth
    return nodes


def test_nested_blocks_hash_follows_preorder():
    depth = 200
    source = "int f(){" + "{" * depth + "}" * depth + "}"
    (f,) = velbrook.function_fingerprints("c", source, 0)
    nodes = nested_blocks_nodes(depth)
    assert f.node_count == len(nodes) == 3 * depth + 10
    assert f.hash == siphash13(stream(nodes, "int"))


@pytest.mark.parametrize(
    "source,node_count",
    [
        ("int f(){" + "{" * DEPTH + "}" * DEPTH + "}", 3 * DEPTH + 10),
        ("int f(){" + "(" * DEPTH + "x" + ")" * DEPTH + ";}", 3 * DEPTH + 13),
        ("int " + "*" * DEPTH + "f(void) {}", None),
    ],
    ids=["blocks", "parentheses", "pointer-declarators"],
)
def test_deep_nesting_does_not_exhaust_the_stack(small_stack, source, node_count):
    found = small_stack(lambda: velbrook.function_fingerprints("c", source, 0))
    assert [f.name for f in found] == ["f"]
    if node_count is not None:
        assert found[0].node_count == node_count
