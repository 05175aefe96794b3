import pytest

import velbrook

LABELS = {"fallthrough", "true_branch", "false_branch", "back_edge", "return", "break", "continue"}

EXAMPLE = (
    "int f(int n) {\n"
    "  int s = 0;\n"
    "  if (n > 0) {\n"
    "    s = 1;\n"
    "  } else {\n"
    "    s = 2;\n"
    "  }\n"
    "  while (s < n) {\n"
    "    s++;\n"
    "    if (s == 7) break;\n"
    "  }\n"
    "  return s;\n"
    "}\n"
)


def build(key, source, name="f"):
    graph = velbrook.function_cfg(key, source, name)
    assert graph is not None
    return graph


def check_invariants(graph):
    blocks = graph.blocks
    assert [b.id for b in blocks] == list(range(len(blocks)))
    edges = graph.edges
    assert len(set(edges)) == len(edges)
    for frm, to, label in edges:
        assert frm < len(blocks) and to < len(blocks) and label in LABELS
    assert graph.entry == 0
    assert graph.exits == sorted(set(graph.exits))


def as_text(source, graph):
    """Blocks as (statement texts, condition text) pairs, plus edges and exits."""
    data = source.encode()

    def cut(r):
        return data[r[0]:r[1]].decode()

    check_invariants(graph)
    blocks = [
        ([cut(s) for s in b.statements], None if b.condition_range is None else cut(b.condition_range))
        for b in graph.blocks
    ]
    return blocks, graph.edges, graph.exits


def test_worked_example():
    assert len(EXAMPLE.encode()) == 148
    graph = build("c", EXAMPLE)
    blocks = [(b.id, b.byte_range, b.statements, b.condition_range) for b in graph.blocks]
    assert blocks == [
        (0, (17, 27), [(17, 27)], (33, 40)),
        (1, (47, 53), [(47, 53)], None),
        (2, (69, 75), [(69, 75)], None),
        (3, (79, 79), [], None),
        (4, (82, 82), [], (88, 95)),
        (5, (136, 145), [(136, 145)], None),
        (6, (102, 106), [(102, 106)], (114, 122)),
        (7, (123, 129), [(123, 129)], None),
        (8, (129, 129), [], None),
        (9, (111, 111), [], None),
        (10, (129, 129), [], None),
        (11, (145, 145), [], None),
    ]
    assert graph.edges == [
        (0, 1, "true_branch"),
        (0, 2, "false_branch"),
        (1, 3, "fallthrough"),
        (2, 3, "fallthrough"),
        (3, 4, "fallthrough"),
        (4, 5, "false_branch"),
        (4, 6, "true_branch"),
        (6, 7, "true_branch"),
        (7, 5, "break"),
        (6, 9, "false_branch"),
        (9, 10, "fallthrough"),
        (10, 4, "back_edge"),
        (5, 11, "return"),
    ]
    assert graph.entry == 0
    assert graph.exits == [11]


@pytest.mark.parametrize("key", ["c", "cpp"])
def test_empty_body(key):
    graph = build(key, "int f(){}")
    [block] = graph.blocks
    assert (block.id, block.statements, block.byte_range, block.condition_range) == (0, [], (7, 7), None)
    assert graph.edges == []
    assert graph.entry == 0
    assert graph.exits == [0]


def test_empty_body_rust():
    graph = build("rust", "fn f() {}")
    assert [(b.statements, b.byte_range) for b in graph.blocks] == [([], (7, 7))]
    assert (graph.edges, graph.exits) == ([], [0])


IF_EDGES = [(0, 1, "true_branch"), (0, 2, "false_branch"), (1, 3, "fallthrough"), (2, 3, "fallthrough")]
ELSE_IF_EDGES = [
    (0, 1, "true_branch"),
    (0, 2, "false_branch"),
    (2, 3, "true_branch"),
    (2, 4, "false_branch"),
    (3, 5, "fallthrough"),
    (4, 5, "fallthrough"),
    (1, 6, "fallthrough"),
    (5, 6, "fallthrough"),
]

# (key, source, blocks as (statements, condition), edges, exits)
CONSTRUCTS = {
    "if_without_else": (
        "c",
        "int f(int a) { if (a) x(); y(); }",
        [([], "(a)"), (["x();"], None), ([], None), (["y();"], None)],
        IF_EDGES,
        [3],
    ),
    "else_if_chain": (
        "c",
        "int f(int a) { if (a) x(); else if (b) y(); else z(); }",
        [([], "(a)"), (["x();"], None), ([], "(b)"), (["y();"], None), (["z();"], None), ([], None), ([], None)],
        ELSE_IF_EDGES,
        [6],
    ),
    "while_at_end_has_no_exits": (
        "c",
        "int f(int a) { while (a) a--; }",
        [([], None), ([], "(a)"), ([], None), (["a--;"], None)],
        [(0, 1, "fallthrough"), (1, 2, "false_branch"), (1, 3, "true_branch"), (3, 1, "back_edge")],
        [],
    ),
    "while_then_statement": (
        "c",
        "int f(int a) { while (a) a--; done(); }",
        [([], None), ([], "(a)"), (["done();"], None), (["a--;"], None)],
        [(0, 1, "fallthrough"), (1, 2, "false_branch"), (1, 3, "true_branch"), (3, 1, "back_edge")],
        [],
    ),
    "for_initializer_and_update": (
        "c",
        "int f(int n) { a(); for (int i = 0; i < n; i++) { b(); } c(); }",
        [(["a();", "int i = 0;"], None), ([], "i < n"), (["c();"], None), (["b();", "i++"], None)],
        [(0, 1, "fallthrough"), (1, 2, "false_branch"), (1, 3, "true_branch"), (3, 1, "back_edge")],
        [],
    ),
    "for_continue_goes_to_head_not_update": (
        "c",
        "int f(int n) { for (i = 0; i < n; i++) { if (x) continue; y(); } }",
        [
            (["i = 0"], None),
            ([], "i < n"),
            ([], None),
            ([], "(x)"),
            (["continue;"], None),
            ([], None),
            ([], None),
            (["y();", "i++"], None),
        ],
        [
            (0, 1, "fallthrough"),
            (1, 2, "false_branch"),
            (1, 3, "true_branch"),
            (3, 4, "true_branch"),
            (4, 1, "continue"),
            (3, 6, "false_branch"),
            (6, 7, "fallthrough"),
            (7, 1, "back_edge"),
        ],
        [],
    ),
    "for_without_condition": (
        "c",
        "int f(void) { for (;;) { if (x) break; } }",
        [([], None), ([], None), ([], None), ([], "(x)"), (["break;"], None), ([], None), ([], None), ([], None)],
        [
            (0, 1, "fallthrough"),
            (1, 2, "false_branch"),
            (1, 3, "true_branch"),
            (3, 4, "true_branch"),
            (4, 2, "break"),
            (3, 6, "false_branch"),
            (6, 7, "fallthrough"),
            (7, 1, "back_edge"),
        ],
        [],
    ),
    "do_while_continue_goes_to_condition": (
        "c",
        "int f(void) { do { if (x) continue; y(); } while (z); w(); }",
        [
            ([], None),
            ([], "(x)"),
            ([], "(z)"),
            (["w();"], None),
            (["continue;"], None),
            ([], None),
            ([], None),
            (["y();"], None),
        ],
        [
            (0, 1, "fallthrough"),
            (1, 4, "true_branch"),
            (4, 2, "continue"),
            (1, 6, "false_branch"),
            (6, 7, "fallthrough"),
            (7, 2, "fallthrough"),
            (2, 1, "back_edge"),
            (2, 3, "false_branch"),
        ],
        [],
    ),
    "statements_after_return": (
        "c",
        "int f(void) { return 1; x(); return 2; }",
        [(["return 1;"], None), (["x();", "return 2;"], None), ([], None)],
        [(0, 1, "return"), (1, 2, "return")],
        [1, 2],
    ),
    "if_after_return": (
        "c",
        "int f(int a) { return a; if (a) x(); }",
        [(["return a;"], None), ([], "(a)"), (["x();"], None), ([], None), ([], None)],
        [(0, 1, "return"), (1, 2, "true_branch"), (1, 3, "false_branch"), (2, 4, "fallthrough"), (3, 4, "fallthrough")],
        [1, 4],
    ),
    "break_outside_loop": (
        "c",
        "int f(void) { break; x(); }",
        [(["break;"], None), (["x();"], None)],
        [],
        [1],
    ),
    "switch_is_a_plain_statement": (
        "c",
        "int f(int a) { while (a) { switch (a) { case 1: break; case 2: return 0; } a--; } }",
        [([], None), ([], "(a)"), ([], None), (["switch (a) { case 1: break; case 2: return 0; }", "a--;"], None)],
        [(0, 1, "fallthrough"), (1, 2, "false_branch"), (1, 3, "true_branch"), (3, 1, "back_edge")],
        [],
    ),
    "comments_are_statements": (
        "c",
        "int f(void) { /* c */ x(); // d\n}",
        [(["/* c */", "x();", "// d"], None)],
        [],
        [0],
    ),
    "cpp_constructs": (
        "cpp",
        "int f(int a) { if (a > 0) { x(); } for (int v : xs) { if (v) break; } try { return 1; } catch (...) {} }",
        [
            ([], "(a > 0)"),
            (["x();"], None),
            ([], None),
            (["for (int v : xs) { if (v) break; }", "try { return 1; } catch (...) {}"], None),
        ],
        [(0, 1, "true_branch"), (0, 2, "false_branch"), (1, 3, "fallthrough"), (2, 3, "fallthrough")],
        [3],
    ),
    "cpp_do_while": (
        "cpp",
        "int f() { do x(); while (y); }",
        [([], None), (["x();"], None), ([], "(y)"), ([], None)],
        [(0, 1, "fallthrough"), (1, 2, "fallthrough"), (2, 1, "back_edge"), (2, 3, "false_branch")],
        [3],
    ),
    "rust_statements": (
        "rust",
        "fn f() -> i32 { let a = 1; g(a); a + 1 }",
        [(["let a = 1;", "g(a)", "a + 1"], None)],
        [],
        [0],
    ),
    "rust_loop_without_control_flow": (
        "rust",
        "fn f() { loop { tick(); } }",
        [([], None), (["tick()"], None), ([], None)],
        [(0, 1, "fallthrough"), (1, 1, "back_edge")],
        [2],
    ),
    "rust_labelled_break_targets_innermost_loop": (
        "rust",
        "fn f() { 'outer: loop { loop { break 'outer; } } }",
        [([], None), ([], None), ([], None), (["break 'outer"], None), ([], None), ([], None)],
        [(0, 1, "fallthrough"), (1, 3, "fallthrough"), (3, 4, "break"), (4, 1, "back_edge")],
        [5],
    ),
    "rust_loop_continue": (
        "rust",
        "fn f() { loop { continue; } }",
        [([], None), (["continue"], None), ([], None), ([], None)],
        [(0, 1, "fallthrough"), (1, 1, "continue")],
        [3],
    ),
    "rust_for_has_no_condition": (
        "rust",
        "fn f(v: Vec<i32>) { for x in v { g(x); } }",
        [([], None), ([], None), ([], None), (["g(x)"], None)],
        [(0, 1, "fallthrough"), (1, 2, "false_branch"), (1, 3, "true_branch"), (3, 1, "back_edge")],
        [],
    ),
    "rust_while": (
        "rust",
        "fn f(mut n: u32) { while n > 0 { n -= 1; } }",
        [([], None), ([], "n > 0"), ([], None), (["n -= 1"], None)],
        [(0, 1, "fallthrough"), (1, 2, "false_branch"), (1, 3, "true_branch"), (3, 1, "back_edge")],
        [],
    ),
    "rust_if_else_with_return": (
        "rust",
        "fn f(a: bool) -> i32 { if a { return 1; } else { 2 } }",
        [([], "a"), (["return 1"], None), ([], None), (["2"], None), ([], None)],
        [(0, 1, "true_branch"), (1, 2, "return"), (0, 3, "false_branch"), (3, 4, "fallthrough")],
        [2, 4],
    ),
}


@pytest.mark.parametrize("case", CONSTRUCTS.values(), ids=CONSTRUCTS.keys())
def test_constructs(case):
    key, source, blocks, edges, exits = case
    assert as_text(source, build(key, source)) == (blocks, edges, exits)


# (key, source, blocks as (byte_range, statements, condition), edges, exits)
ELSE_COMMENTS = {
    "c_comment_after_else": (
        "c",
        "int f(int a) { if (a) x(); else /* e */ y(); }",
        [((13, 13), [], "(a)"), ((22, 26), ["x();"], None), ((32, 44), ["/* e */", "y();"], None), ((44, 44), [], None)],
        IF_EDGES,
        [3],
    ),
    "c_comments_after_else": (
        "c",
        "int f(int a) { if (a) x(); else /* e */ // g\n y(); }",
        [
            ((13, 13), [], "(a)"),
            ((22, 26), ["x();"], None),
            ((32, 50), ["/* e */", "// g", "y();"], None),
            ((50, 50), [], None),
        ],
        IF_EDGES,
        [3],
    ),
    # the comment is the if's own child, outside both branches
    "c_comment_before_else": (
        "c",
        "int f(int a) { if (a) x(); /* b */ else y(); }",
        [((13, 13), [], "(a)"), ((22, 26), ["x();"], None), ((40, 44), ["y();"], None), ((44, 44), [], None)],
        IF_EDGES,
        [3],
    ),
    "cpp_comment_after_else_before_block": (
        "cpp",
        "int f(int a) { if (a) x(); else /* e */ { y(); return 1; } }",
        [
            ((13, 13), [], "(a)"),
            ((22, 26), ["x();"], None),
            ((32, 56), ["/* e */", "y();", "return 1;"], None),
            ((56, 56), [], None),
            ((58, 58), [], None),
        ],
        [(0, 1, "true_branch"), (0, 2, "false_branch"), (2, 3, "return"), (1, 4, "fallthrough")],
        [3, 4],
    ),
    "c_comments_in_else_if_chain": (
        "c",
        "int f(int a) { if (a) x(); else /* e */ if (b) y(); else // h\n z(); }",
        [
            ((13, 13), [], "(a)"),
            ((22, 26), ["x();"], None),
            ((32, 39), ["/* e */"], "(b)"),
            ((47, 51), ["y();"], None),
            ((57, 67), ["// h", "z();"], None),
            ((67, 67), [], None),
            ((67, 67), [], None),
        ],
        ELSE_IF_EDGES,
        [6],
    ),
    "rust_comment_after_else": (
        "rust",
        "fn f() { if a { x(); } else /* e */ { y(); } }",
        [((7, 7), [], "a"), ((16, 19), ["x()"], None), ((28, 41), ["/* e */", "y()"], None), ((44, 44), [], None)],
        IF_EDGES,
        [3],
    ),
    "rust_comment_before_else": (
        "rust",
        "fn f() { if a { x(); } /* b */ else { y(); } }",
        [((7, 7), [], "a"), ((16, 19), ["x()"], None), ((38, 41), ["y()"], None), ((44, 44), [], None)],
        IF_EDGES,
        [3],
    ),
    "rust_line_comment_between_else_and_if": (
        "rust",
        "fn f() { if a { x(); } else // e\n if b { y(); } }",
        [
            ((7, 7), [], "a"),
            ((16, 19), ["x()"], None),
            ((28, 32), ["// e"], "b"),
            ((41, 44), ["y()"], None),
            ((34, 34), [], None),
            ((47, 47), [], None),
            ((47, 47), [], None),
        ],
        ELSE_IF_EDGES,
        [6],
    ),
}


@pytest.mark.parametrize("case", ELSE_COMMENTS.values(), ids=ELSE_COMMENTS.keys())
def test_comments_around_else(case):
    key, source, blocks, edges, exits = case
    graph = build(key, source)
    texts, _, _ = as_text(source, graph)
    assert [(b.byte_range, *t) for b, t in zip(graph.blocks, texts)] == blocks
    assert (graph.edges, graph.exits) == (edges, exits)


def test_for_update_after_body_reverses_byte_range():
    source = "int f(int n) { for (i = 0; i < n; i++) { b(); } }"
    body = build("c", source).blocks[3]
    call, update = source.index("b();"), source.index("i++")
    assert body.statements == [(call, call + 4), (update, update + 3)]
    assert body.byte_range == (call, update + 3)
    assert body.byte_range[1] < body.byte_range[0]


def test_blocks_made_at_construct_positions():
    source = "int f(int a) { x(); while (a) a--; }"
    graph = build("c", source)
    start, end = source.index("while"), source.index("; }") + 1
    assert [b.byte_range for b in graph.blocks] == [
        (15, 19),
        (start, start),
        (end, end),
        (source.index("a--"), end),
    ]


def deep_c_source(levels):
    parts = []
    for i in range(levels):
        parts.append(("{", "if (a) ", "while (b) ")[i % 3])
    return "int f(void) {" + "".join(parts) + "x;" + "}" * ((levels + 2) // 3) + "}"


def test_deeply_nested_c_body(small_stack):
    levels = 100_000
    source = deep_c_source(levels)
    graph = small_stack(lambda: build("c", source))
    constructs = levels - (levels + 2) // 3
    assert len(graph.blocks) == 1 + 3 * constructs
    assert len(graph.edges) == 4 * constructs
    x = source.index("x;")
    assert sum(b.statements == [(x, x + 2)] for b in graph.blocks) == 1
    assert graph.exits == [len(graph.blocks) - 1]


def test_deeply_nested_rust_body(small_stack):
    levels = 100_000
    source = "fn f() {" + "loop { if a {" * (levels // 2) + "g();" + "} }" * (levels // 2) + "}"
    graph = small_stack(lambda: build("rust", source))
    assert len(graph.blocks) == 1 + 5 * (levels // 2)
    assert len(graph.edges) == 6 * (levels // 2)
    # the outermost join block is made last and loops back to its body
    assert graph.exits == []


@pytest.mark.parametrize(
    "key, source",
    [
        ("python", "def f():\n    return 1\n"),
        ("javascript", "function f() { return 1; }"),
        ("typescript", "function f(): number { return 1; }"),
        ("tsx", "function f() { return 1; }"),
        ("go", "package m\nfunc f() { }\n"),
        ("java", "class A { void f() { return; } }"),
        ("lua", "function f() return 1 end"),
    ],
)
def test_non_cfg_languages_give_none(key, source):
    assert velbrook.function_cfg(key, source, "f") is None


@pytest.mark.parametrize("key", ["C", "Rust", "c++", ""])
def test_unknown_key_raises(key):
    with pytest.raises(ValueError, match="^unknown language key: "):
        velbrook.function_cfg(key, "int f(){}", "f")


@pytest.mark.parametrize("name", ["g", "F", " f", "f ", ""])
def test_name_must_match_exactly(name):
    assert velbrook.function_cfg("c", "int f(){ return 0; }", name) is None


def test_first_match_in_document_order():
    source = "int f(void) { return 1; }\nint f(void) { while (1) {} }\n"
    graph = build("c", source)
    assert graph.edges == [(0, 1, "return")]


def test_match_without_body_is_passed_over():
    source = "struct S { void f() = delete; };\nint f() { return 1; }\n"
    graph = build("cpp", source)
    stmt = source.index("return 1;")
    assert graph.blocks[0].statements == [(stmt, stmt + 9)]


def test_enclosing_function_wins_over_nested_namesake():
    source = "fn f() { fn f() { loop {} } g(); }"
    graph = build("rust", source)
    inner = source.index("fn f() { loop")
    assert graph.blocks[0].statements == [(inner, inner + len("fn f() { loop {} }")), (source.index("g()"), source.index("g()") + 3)]
    assert graph.edges == []


def test_selects_by_name_among_functions():
    source = "int g(void) { return 0; }\nint f(int a) { if (a) x(); }\n"
    blocks, edges, exits = as_text(source, build("c", source))
    assert blocks[0] == ([], "(a)")
    assert exits == [3]


def test_nameless_function_never_matches():
    assert velbrook.function_cfg("c", "int (*pick(int))(int) { return 0; }", "") is None


@pytest.fixture
def example_graph():
    return build("c", EXAMPLE)


def test_lists_are_fresh_on_every_read(example_graph):
    g = example_graph
    for attr in ("blocks", "edges", "exits"):
        first = getattr(g, attr)
        assert type(first) is list
        assert first is not getattr(g, attr)
        first.clear()
        assert getattr(g, attr) != []
    block = g.blocks[0]
    stmts = block.statements
    assert stmts is not block.statements
    stmts.append((1, 2))
    assert block.statements == [(17, 27)]


def test_blocks_are_independent_copies(example_graph):
    first, second = example_graph.blocks, example_graph.blocks
    for a, b in zip(first, second):
        assert a is not b
        assert (a.id, a.statements, a.byte_range, a.condition_range) == (
            b.id,
            b.statements,
            b.byte_range,
            b.condition_range,
        )
    assert type(first[0]) is velbrook.BasicBlock
    assert type(example_graph) is velbrook.FunctionCfg


def test_values_are_tuples(example_graph):
    g = example_graph
    assert all(type(e) is tuple and len(e) == 3 and type(e[2]) is str for e in g.edges)
    block = g.blocks[0]
    assert type(block.byte_range) is tuple
    assert type(block.condition_range) is tuple
    assert all(type(s) is tuple for s in block.statements)
    assert g.blocks[1].condition_range is None


def test_attributes_are_read_only(example_graph):
    with pytest.raises(AttributeError):
        example_graph.entry = 1
    with pytest.raises(AttributeError):
        example_graph.blocks[0].id = 5
