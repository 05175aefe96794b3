
import pytest

import velbrook


def names(key, source):
    """(kind, name) of every function-kind node, in pre-order."""
    return [(f.kind, f.name) for f in velbrook.function_fingerprints(key, source, 0)]


def edges(key, source):
    return [(e.caller, e.callee, e.is_external) for e in velbrook.call_edges(key, source)]


FD = "function_definition"
JS_ROOT = ("program", None)
KEYWORD = ("function", None)

NAMING = [
    # C and C++ declarators
    ("c", "int *make(void) {}", [(FD, "make")]),
    ("c", "char **f(void) {}", [(FD, "f")]),
    ("cpp", "int Foo::bar() const {}", [(FD, "Foo::bar")]),
    ("cpp", "Foo::~Foo() {}", [(FD, "Foo::~Foo")]),
    ("cpp", "class Foo { ~Foo() {} };", [(FD, "~Foo")]),
    ("cpp", "class A { int *m() { return 0; } };", [(FD, "m")]),
    ("cpp", "bool operator==(const A &a) const {}", [(FD, "operator==")]),
    ("cpp", "int &get() {}", [(FD, None)]),
    ("c", "int (*pick(int))(int) {}", [(FD, None)]),
    ("c", "int (x) { h(); }", [(FD, None)]),
    # JavaScript, TypeScript, TSX
    ("javascript", "const add = (a, b) => a + b;", [JS_ROOT, ("arrow_function", "add")]),
    ("javascript", "const f = function g() {};", [JS_ROOT, ("function_expression", "g"), KEYWORD]),
    ("javascript", "const h = function () {};", [JS_ROOT, ("function_expression", "h"), KEYWORD]),
    (
        "javascript",
        'x = {"k": () => 1, m: () => 2}; g(() => 3);',
        [JS_ROOT, ("arrow_function", '"k"'), ("arrow_function", "m"), ("arrow_function", None)],
    ),
    ("javascript", "class A { run = () => {} }", [JS_ROOT, ("arrow_function", None)]),
    ("typescript", "class A { run = () => {} }", [JS_ROOT, ("arrow_function", "run")]),
    ("tsx", "class A { run = () => {} }", [JS_ROOT, ("arrow_function", "run")]),
    ("javascript", "function* gen() {}", [JS_ROOT, ("generator_function_declaration", "gen"), KEYWORD]),
    ("javascript", "const q = function* () {};", [JS_ROOT, ("generator_function", None), KEYWORD]),
    ("javascript", "const q = function* r() {};", [JS_ROOT, ("generator_function", "r"), KEYWORD]),
    ("javascript", "o = { m() {}, *g() {} };", [JS_ROOT, ("method_definition", "m"), ("method_definition", "g")]),
    # Python
    ("python", "def run():\n    pass\n", [(FD, "run")]),
    # Ada
    ("ada", "procedure P is begin null; end P;", [("subprogram_body", "P")]),
    ("ada", "function F return Integer is (1);", [("expression_function_declaration", "F"), KEYWORD]),
    ("ada", "task body T is begin null; end T;", [("task_body", "T")]),
    # Lua
    ("lua", "function M.f() end", [("function_declaration", "M.f"), KEYWORD]),
    ("lua", "function M:m() end", [("function_declaration", "M:m"), KEYWORD]),
    ("lua", "local g = function() end", [(FD, "g"), KEYWORD]),
    ("lua", "a, b = 1, function() end", [(FD, "b"), KEYWORD]),
    # Every named child of the value list counts, a comment too; a value past the targets has no name.
    (
        "lua",
        "a, b, c = function() end, --[[x]] function() end, function() end",
        [(FD, "a"), KEYWORD, (FD, "c"), KEYWORD, (FD, None), KEYWORD],
    ),
    ("lua", "M.f = function() end", [(FD, None), KEYWORD]),
    ("lua", "t = { run = function() end }", [(FD, "run"), KEYWORD]),
    ("lua", "return function() end", [(FD, None), KEYWORD]),
    # Fortran: units and their keyword tokens
    ("fortran", "program demo\nend program demo\n", [("program", "demo"), ("program", None), ("program", None)]),
    ("fortran", "x = 1\nend\n", [("program", None)]),
    (
        "fortran",
        "function area(r)\n  area = r\nend function area\n",
        [("function", "area"), KEYWORD, KEYWORD],
    ),
    (
        "fortran",
        "subroutine s(x)\nend subroutine s\n",
        [("subroutine", "s"), ("subroutine", None), ("subroutine", None)],
    ),
    (
        "fortran",
        "module m\ncontains\nmodule procedure foo\nend procedure foo\nend module m\n",
        [("module_procedure", "foo")],
    ),
    # Others
    ("swift", "class A { init() {} }\nfunc g() {}", [("init_declaration", "init"), ("function_declaration", "g")]),
    (
        "go",
        "package main\nfunc main() { f := func() {}; _ = f }\nfunc (r T) M() {}",
        [("function_declaration", "main"), ("func_literal", None), ("method_declaration", "M")],
    ),
    ("kotlin", "fun foo() {}", [("function_declaration", "foo")]),
    (
        "java",
        "class A { A() {} void m() {} }",
        [JS_ROOT, ("constructor_declaration", "A"), ("method_declaration", "m")],
    ),
    ("java", "class A { void () {} }", [JS_ROOT, ("method_declaration", "")]),
    (
        "csharp",
        "class A { A() {} void M() { void L() {} } }",
        [("constructor_declaration", "A"), ("method_declaration", "M"), ("local_function_statement", "L")],
    ),
    (
        "php",
        "<?php function f() {} class A { function m() {} } $g = fn() => 1;",
        [JS_ROOT, (FD, "f"), KEYWORD, ("method_declaration", "m"), KEYWORD, ("arrow_function", None)],
    ),
    ("rust", "fn main() {}", [("function_item", "main")]),
    ("scala", "def f(x: Int): Int = x\nobject O { def g() = 1 }", [(FD, "f"), (FD, "g")]),
]


@pytest.mark.parametrize("key,source,expected", NAMING)
def test_function_kinds_and_names(key, source, expected):
    assert names(key, source) == expected


CALLS = [
    # No named function, or calls outside every named function.
    ("c", "int x;", []),
    ("javascript", "foo(); bar();", []),
    ("c", "int (x) { h(); }", []),
    # Local names: functions anywhere in the file and macros of both forms.
    (
        "c",
        "#define MAX(a, b) ((a) > (b) ? (a) : (b))\n#define LIMIT 10\n"
        "int f(int x, int y) { g(); g(); g(); return MAX(x, y) + LIMIT() + ext(); }\n"
        "void g(void) {}\n",
        [("f", "g", False)] * 3 + [("f", "MAX", False), ("f", "LIMIT", False), ("f", "ext", True)],
    ),
    ("python", "def run(): pass\ndef main():\n    self.run()\n    run()\n", [("main", "self.run", True), ("main", "run", False)]),
    ("cpp", "int Foo::bar() {}\nvoid m() { bar(); Foo::bar(); }", [("m", "bar", True)]),
    ("java", "class A { void () { f(); } }", [("", "f", True)]),
    # Callee forms.
    ("c", "void f(struct S *s) { s->cb(); }", [("f", "cb", True)]),
    ("rust", "fn main() { v.push(1); }", [("main", "push", True)]),
    ("javascript", "function f() { console.log(x); }", [("f", "console.log", True)]),
    ("javascript", "function f() { console . /*c*/ log(x); }", [("f", "console . /*c*/ log", True)]),
    ("javascript", "function f() { a.b().c(); }", [("f", "a.b().c", True), ("f", "a.b", True)]),
    ("go", "package main\nfunc main() { fmt.Println(x) }", [("main", "fmt.Println", True)]),
    (
        "java",
        "class A { void m() { System.out.println(x); new ArrayList<String>(); } }",
        [("m", "println", True), ("m", "ArrayList<String>", True)],
    ),
    ("csharp", "class A { void M() { N(); o.P(); new B(); } }", [("M", "N", True), ("M", "o.P", True), ("M", "B", True)]),
    ("ada", "procedure P is begin Q; R(1); X := F(2); end P;", [("P", "Q", True), ("P", "R", True), ("P", "F", True)]),
    ("lua", "function f() g() M.h() end", [("f", "g", True), ("f", "M.h", True)]),
    ("kotlin", "fun f() { g(1); a.b(2) }", [("f", "g", True), ("f", "a.b", True)]),
    ("swift", "func f() { g(1) }", [("f", "g", True)]),
    ("scala", "def f() = { g(1); a.b(2) }", [("f", "g", True), ("f", "b", True)]),
    # Function nodes of other kinds give no edge; their arguments still count.
    ("c", "void f(void) { (*fp)(k()); f()(); }", [("f", "k", True), ("f", "f", False)]),
    ("cpp", "void f() { std::sort(g(), h()); }", [("f", "g", True), ("f", "h", True)]),
    # Nested functions, with and without parse errors.
    ("c", "void outer(void) { void inner(void) { h(); } }", [("outer", "h", True), ("inner", "h", True)]),
    ("c", "void outer(void) { int x = ; void inner(void) { h(); } }", [("inner", "h", True)]),
    ("c", "void outer(void) { void inner(void) { h(); int = ; } }", [("inner", "h", True)]),
    (
        "javascript",
        "function a() { x(); function b() { y(); function c() { z(); } w(); } v(); }",
        [("a", c, True) for c in "xyzwv"] + [("b", c, True) for c in "yzw"] + [("c", "z", True)],
    ),
    (
        "c",
        "void outer(void) { void f1(void) { k(); int = ; } void f2(void) { m(); } n(); }",
        [("outer", "n", True), ("f1", "k", True), ("f2", "m", True)],
    ),
    ("javascript", "function f() { arr.map((x) => g(x)); }", [("f", "arr.map", True), ("f", "g", True)]),
    ("javascript", "function f() { arr.map((x) => g(x)); let = ; }", [("f", "arr.map", True)]),
    # With a parse error, statement-keyword and parenthesized definitions are still entered.
    ("c", "void f() { foo bar while (x) { g(); } }", [("f", "g", True), ("while", "g", True)]),
    ("c", "void f() { foo bar baz (x) { g(); } }", [("baz", "g", True)]),
    ("c", "void f() { int y = ; int (x) { h(); } }", [("f", "h", True)]),
]


@pytest.mark.parametrize("key,source,expected", CALLS)
def test_call_edges(key, source, expected):
    assert edges(key, source) == expected


C_TARGETS = "void target(void) {}\nvoid other(void) {}\n"

ALIASES = [
    ("void f(void) { void (*fp)(void) = &target; fp(); }", [("f", "target", False)]),
    ("void f(void) { void (*fp)(void) = target; fp(); }", [("f", "target", False)]),
    ("void f(void) { void (*fp)(void) = (target); fp(); }", [("f", "target", False)]),
    ("void f(void) { void (*fp)(void) = (void (*)(void))target; fp(); }", [("f", "target", False)]),
    ("void f(void) { void (*fp)(void) = *target; fp(); }", [("f", "target", False)]),
    # The map is complete before calls are read; later assignments win.
    (
        "void f(void) { fp(); void (*fp)(void) = target; fp(); fp = other; fp = get_handler(); }",
        [("f", "other", False), ("f", "other", False), ("f", "get_handler", True)],
    ),
    # Never an alias: no initialiser, NULL, a call, a plain variable, a typedef'd type.
    ("void f(void) { void (*p)(void); p = target; p(); }", [("f", "p", True)]),
    ("void f(void) { void (*q)(void) = NULL; q = target; q(); }", [("f", "q", True)]),
    ("void f(void) { void (*q)(void) = pick(); q(); }", [("f", "pick", True), ("f", "q", True)]),
    ("void f(void) { int x = 1; x = target; x(); }", [("f", "x", True)]),
    ("typedef void (*cb_t)(void);\nvoid f(void) { cb_t c = target; c(); }", [("f", "c", True)]),
    # No chains.
    ("void f(void) { void (*a)(void) = target; void (*b)(void) = a; b(); }", [("f", "a", True)]),
    # Every init_declarator of a declaration.
    (
        "void f(void) { void (*a)(void) = target, (*b)(void) = other; a(); b(); }",
        [("f", "target", False), ("f", "other", False)],
    ),
    # Scope: per listed function, nested functions included.
    (
        "void outer(void) { void inner(void) { void (*p)(void) = target; } p(); }\nvoid next(void) { p(); }",
        [("outer", "target", False), ("next", "p", True)],
    ),
    ("void (*g)(void) = target;\nvoid f(void) { g(); }", [("f", "g", True)]),
    # With a parse error innermost, each function keeps its own map and its own calls.
    (
        "void a(void) { g(); void b(void) { void (*p)(void) = target; p(); void c(void) { p(); int = ; } } p(); }",
        [("a", "g", True), ("a", "target", False), ("b", "target", False), ("c", "p", True)],
    ),
]


@pytest.mark.parametrize("source,expected", ALIASES)
def test_function_pointer_aliases(source, expected):
    assert edges("c", C_TARGETS + source) == expected


def test_nested_function_names_are_local_names():
    source = "function outer() { function inner() {} inner(); helper(); }"
    assert edges("javascript", source) == [("outer", "inner", False), ("outer", "helper", True)]


DEPTH = 100_000


@pytest.mark.parametrize(
    "source,expected",
    [
        ("int f(){" + "(" * DEPTH + "g()" + ")" * DEPTH + ";}", [("f", "g", True)]),
        ("int f(){" + "{" * DEPTH + "g();" + "}" * DEPTH + "}", [("f", "g", True)]),
        ("int f(){" + "{" * DEPTH + "g(); int = ;" + "}" * DEPTH + "}", [("f", "g", True)]),
        ("int " + "*" * DEPTH + "f(void) { g(); }", [("f", "g", True)]),
        ("int f" + "(void)" * DEPTH + " { g(); }", [("f", "g", True)]),
        ("void target(void) {}\nvoid f(void) { void (" + "*" * DEPTH + "fp)(void) = target; fp(); }", [("f", "target", False)]),
    ],
    ids=["parentheses", "blocks", "blocks-with-error", "pointer-declarators", "function-declarators", "alias-declarator"],
)
def test_deep_nesting_does_not_exhaust_the_stack(small_stack, source, expected):
    assert small_stack(lambda: edges("c", source)) == expected
