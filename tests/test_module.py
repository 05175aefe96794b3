import importlib
import os
import sys

import pytest

import velbrook

CLASSES = ["LanguageInfo", "CallEdge", "BasicBlock", "FunctionCfg", "Fingerprint", "Suppression", "IgnoredRegion"]
FUNCTIONS = [
    "languages",
    "supported_languages_report",
    "call_edges",
    "import_sources",
    "function_cfg",
    "function_fingerprints",
    "suppressions",
    "ignored_regions",
]


def test_all_lists_classes_then_functions():
    assert velbrook.__all__ == CLASSES + FUNCTIONS
    assert velbrook.__doc__ == ""


def test_reimport_returns_the_same_module():
    first = sys.modules["velbrook"]
    del sys.modules["velbrook"]
    try:
        again = importlib.import_module("velbrook")
    finally:
        sys.modules["velbrook"] = first
    assert again is first
    assert len(again.__all__) == 15


MODULE_REFUSAL = "velbrook does not support sub-interpreters"
# From 3.12 on, a sub-interpreter that checks for multi-phase init refuses the
# module before its init runs.
CPYTHON_REFUSAL = "module velbrook does not support loading in subinterpreters"
SUBINTERPRETER_IMPORT = """
import sys
sys.path.insert(0, {folder!r})
try:
    import velbrook
    outcome = "imported"
except BaseException as e:
    outcome = f"{{type(e).__name__}}: {{e}}"
with open({report!r}, "w") as f:
    f.write(outcome)
"""


def stdlib_interpreters():
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            return importlib.import_module(name)
        except ImportError:
            pass
    pytest.skip("this CPython has no sub-interpreter module")


def run_in_default_subinterpreter(code):
    interpreters = stdlib_interpreters()
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)


def run_in_legacy_subinterpreter(code):
    """Runs code in a sub-interpreter that lets single-phase modules run their init."""
    interpreters = stdlib_interpreters()
    if not hasattr(interpreters, "new_config"):
        # Before 3.13 the stdlib module cannot choose the configuration;
        # Py_NewInterpreter always gives the legacy one.
        pytest.importorskip("_testcapi").run_in_subinterp(code)
        return
    interp = interpreters.create("legacy")
    try:
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)


@pytest.mark.parametrize(
    "run, refusals",
    [
        (run_in_default_subinterpreter, (MODULE_REFUSAL, CPYTHON_REFUSAL)),
        (run_in_legacy_subinterpreter, (MODULE_REFUSAL,)),
    ],
    ids=["default", "legacy"],
)
def test_second_interpreter_is_refused(tmp_path, run, refusals):
    report = tmp_path / "outcome"
    run(SUBINTERPRETER_IMPORT.format(folder=os.path.dirname(velbrook.__file__), report=str(report)))
    outcome = report.read_text()
    assert outcome.startswith("ImportError: ") and any(r in outcome for r in refusals), outcome
    assert velbrook.call_edges("c", "void f(void) { g(); }")[0].callee == "g"


SIGNATURES = {
    "languages": "()",
    "supported_languages_report": "()",
    "call_edges": "(language_key, source)",
    "import_sources": "(language_key, source)",
    "function_cfg": "(language_key, source, function_name)",
    "function_fingerprints": "(language_key, source, min_nodes)",
    "suppressions": "(language_key, source)",
    "ignored_regions": "(language_key, source)",
}

DOCS = {
    "supported_languages_report": "Human-readable language summary, for `--supported-languages`-style flags.",
    "call_edges": "Call-graph edges for every named function/macro in `source`, parsed as\n`language_key`.",
    "import_sources": "Import/use-statement sources in `source`, for Ce/Ca coupling metrics.",
    "function_cfg": "Control-flow graph for the first function named `function_name` found in\n"
    "`source`. Returns `None` if the language isn't modeled by `build_function_cfg`\n"
    "(only `c`, `cpp`, `rust` today) or no matching function is found.",
    "function_fingerprints": "Structural fingerprints for every function-like subtree in `source`,\n"
    "ignoring identifier/literal text (Type-2 clone detection).",
    "suppressions": "`tools:suppress TOOL:RULE` single-line suppression comments in `source`.",
    "ignored_regions": "`tools:off` / `tools:on` ignored regions in `source`.",
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_signature_doc_and_binding(name):
    fn = getattr(velbrook, name)
    assert fn.__text_signature__ == SIGNATURES[name]
    assert fn.__self__ is velbrook
    assert fn.__module__ == "velbrook"
    assert fn.__name__ == name
    if name in DOCS:
        assert fn.__doc__ == DOCS[name]
    else:
        assert fn.__doc__.count("\n") == 1 and "compiled" in fn.__doc__


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda: velbrook.call_edges("c"), TypeError, "call_edges() missing 1 required positional argument: 'source'"),
        (
            lambda: velbrook.call_edges(),
            TypeError,
            "call_edges() missing 2 required positional arguments: 'language_key' and 'source'",
        ),
        (
            lambda: velbrook.function_cfg(),
            TypeError,
            "function_cfg() missing 3 required positional arguments: 'language_key', 'source', and 'function_name'",
        ),
        (
            lambda: velbrook.function_cfg("c", function_name="f"),
            TypeError,
            "function_cfg() missing 1 required positional argument: 'source'",
        ),
        (
            lambda: velbrook.call_edges("c", "x", "y"),
            TypeError,
            "call_edges() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda: velbrook.call_edges("c", "x", language_key="c"),
            TypeError,
            "call_edges() got multiple values for argument 'language_key'",
        ),
        (
            lambda: velbrook.call_edges("c", "x", lang="c"),
            TypeError,
            "call_edges() got an unexpected keyword argument 'lang'",
        ),
        (
            lambda: velbrook.call_edges(1, "x"),
            TypeError,
            "argument 'language_key': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: velbrook.call_edges("c", b"x"),
            TypeError,
            "argument 'source': 'bytes' object cannot be converted to 'PyString'",
        ),
        (
            lambda: velbrook.function_cfg("c", "x", None),
            TypeError,
            "argument 'function_name': 'NoneType' object cannot be converted to 'PyString'",
        ),
        (
            lambda: velbrook.import_sources("c", "x"),
            TypeError,
            "argument 'source': 'str' object cannot be converted to 'PyBytes'",
        ),
        (
            lambda: velbrook.import_sources("nope", bytearray(b"x")),
            TypeError,
            "argument 'source': 'bytearray' object cannot be converted to 'PyBytes'",
        ),
        (
            lambda: velbrook.import_sources("nope", memoryview(b"x")),
            TypeError,
            "argument 'source': 'memoryview' object cannot be converted to 'PyBytes'",
        ),
        (
            lambda: velbrook.suppressions("nope", 3),
            TypeError,
            "argument 'source': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: velbrook.function_fingerprints("c", "x", 1.5),
            TypeError,
            "argument 'min_nodes': 'float' object cannot be interpreted as an integer",
        ),
        (lambda: velbrook.CallEdge(), TypeError, "No constructor defined for CallEdge"),
        (lambda: velbrook.Fingerprint(1, x=2), TypeError, "No constructor defined for Fingerprint"),
    ],
)
def test_argument_errors(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == text


@pytest.mark.parametrize("value", [-1, 2**64, -(2**70)])
def test_min_nodes_out_of_range_is_overflow(value):
    with pytest.raises(OverflowError) as info:
        velbrook.function_fingerprints("c", "int f(){}", value)
    assert "min_nodes" not in str(info.value)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        raise TypeError("custom reason")


@pytest.mark.parametrize("value", [0, True, False, 2**64 - 1, Index(3)])
def test_min_nodes_accepted(value):
    assert isinstance(velbrook.function_fingerprints("c", "int f(){}", value), list)


def test_min_nodes_index_type_error_names_the_argument():
    with pytest.raises(TypeError, match=r"^argument 'min_nodes': custom reason$"):
        velbrook.function_fingerprints("c", "", BadIndex())


class ReasonIndex:
    def __init__(self, reason):
        self.reason = reason

    def __index__(self):
        raise TypeError(self.reason)


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize(
    "reason, text",
    [
        ("a\x00b", "a\x00b"),
        ("\ud800x", "\ud800x"),
        ("\x00", "\x00"),
        ("caf\u00e9 \U0001f600", "caf\u00e9 \U0001f600"),
        (Unprintable(), "<unprintable>"),
    ],
)
def test_min_nodes_reason_is_kept_whole(reason, text):
    with pytest.raises(TypeError) as info:
        velbrook.function_fingerprints("c", "", ReasonIndex(reason))
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'min_nodes': " + text


def test_min_nodes_reason_keeps_the_cause():
    cause = KeyError("k")

    class Chained:
        def __index__(self):
            raise TypeError("a\x00b") from cause

    with pytest.raises(TypeError) as info:
        velbrook.function_fingerprints("c", "", Chained())
    assert str(info.value) == "argument 'min_nodes': a\x00b"
    assert info.value.__cause__ is cause


@pytest.mark.parametrize("name", ["a\x00b", "\x00", "\ud800", "x\udcff\x00y", "caf\u00e9"])
@pytest.mark.parametrize("fn", ["call_edges", "suppressions", "function_cfg"])
def test_unexpected_keyword_is_kept_whole(fn, name):
    args = ("c", "x", "f")[: 3 if fn == "function_cfg" else 2]
    with pytest.raises(TypeError) as info:
        getattr(velbrook, fn)(*args, **{name: 1})
    assert str(info.value) == f"{fn}() got an unexpected keyword argument '{name}'"


def qualname_meta(read):
    class Meta(type):
        def __getattribute__(cls, name):
            return read() if name == "__qualname__" else super().__getattribute__(name)

    return Meta


class NoQualname(metaclass=qualname_meta(lambda: 1 / 0)):
    pass


class IntQualname(metaclass=qualname_meta(lambda: 5)):
    pass


def named(qualname):
    cls = type("Named", (), {})
    cls.__qualname__ = qualname
    return cls()


@pytest.mark.parametrize(
    "value, shown",
    [
        (named("a\x00b"), "a\x00b"),
        (named("\ud800"), "\ud800"),
        (named("Outer.\x00\udcff.Inner"), "Outer.\x00\udcff.Inner"),
        (named("caf\u00e9"), "caf\u00e9"),
        (NoQualname(), "<failed to extract type name>"),
        (IntQualname(), "<failed to extract type name>"),
    ],
)
@pytest.mark.parametrize(
    "call, param, target",
    [
        (lambda v: velbrook.call_edges(v, ""), "language_key", "PyString"),
        (lambda v: velbrook.function_cfg("c", "", v), "function_name", "PyString"),
        (lambda v: velbrook.import_sources("c", v), "source", "PyBytes"),
    ],
)
def test_type_name_in_conversion_error_is_kept_whole(call, param, target, value, shown):
    with pytest.raises(TypeError) as info:
        call(value)
    assert str(info.value) == f"argument '{param}': '{shown}' object cannot be converted to '{target}'"


def test_lone_surrogate_raises_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        velbrook.call_edges("c", "int f() {}\ud800")
    with pytest.raises(UnicodeEncodeError):
        velbrook.call_edges("c\udcff", "")


def test_argument_errors_come_before_unknown_key():
    with pytest.raises(TypeError):
        velbrook.call_edges("no-such-key", 5)
    with pytest.raises(ValueError, match="^unknown language key: no-such-key$"):
        velbrook.call_edges(source="", language_key="no-such-key")


def test_keywords_in_any_order():
    assert velbrook.call_edges(source="int f(){}", language_key="c") == []


@pytest.mark.parametrize("name", ["languages", "supported_languages_report"])
def test_no_argument_functions_refuse_arguments(name):
    with pytest.raises(TypeError):
        getattr(velbrook, name)(1)


@pytest.mark.parametrize("name", CLASSES)
def test_result_classes(name):
    cls = getattr(velbrook, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name and cls.__qualname__ == name
    assert cls.__doc__ is None
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


# A real result of each class, one of its attributes and the value it holds there.
SAMPLES = {
    "LanguageInfo": (lambda: velbrook.languages()[0], "key", "c"),
    "CallEdge": (lambda: velbrook.call_edges("c", "void f() { g(); }")[0], "caller", "f"),
    "BasicBlock": (lambda: velbrook.function_cfg("c", "int f(){}", "f").blocks[0], "byte_range", (7, 7)),
    "FunctionCfg": (lambda: velbrook.function_cfg("c", "int f(){}", "f"), "entry", 0),
    "Fingerprint": (lambda: velbrook.function_fingerprints("c", "int f(){}", 0)[0], "name", "f"),
    "Suppression": (lambda: velbrook.suppressions("c", "// tools:suppress a:b\nx;\n")[0], "tool", "a"),
    "IgnoredRegion": (lambda: velbrook.ignored_regions("c", "// tools:off\n// tools:on\n")[0], "line_range", (1, 2)),
}

CLASS_CHANGES = {
    "add": lambda cls, attr: setattr(cls, "extra", 1),
    "replace": lambda cls, attr: setattr(cls, attr, property(lambda self: "HIJACKED")),
    "delete": lambda cls, attr: delattr(cls, attr),
    "replace __new__": lambda cls, attr: setattr(cls, "__new__", staticmethod(lambda c: object.__new__(c))),
    "delete __new__": lambda cls, attr: delattr(cls, "__new__"),
}


@pytest.mark.parametrize("change", CLASS_CHANGES.values(), ids=CLASS_CHANGES.keys())
@pytest.mark.parametrize("name", CLASSES)
def test_result_classes_are_immutable(name, change):
    cls = getattr(velbrook, name)
    make, attr, value = SAMPLES[name]
    with pytest.raises(TypeError, match="immutable type") as info:
        change(cls, attr)
    assert type(info.value) is TypeError
    result = make()
    assert type(result) is cls and getattr(result, attr) == value
    assert not hasattr(cls, "extra")
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls()


def test_result_objects_are_read_only_and_fresh():
    info = velbrook.languages()[0]
    with pytest.raises(AttributeError):
        info.name = "D"
    with pytest.raises(AttributeError):
        del info.key
    with pytest.raises(AttributeError):
        info.extra = 1
    assert not hasattr(info, "__dict__")
    first = info.extensions
    first.append("zzz")
    assert info.extensions == ["c"]
    assert info.extensions is not info.extensions
    for attr in ("name", "key", "extensions", "explicit_only"):
        assert type(cls_attr := getattr(type(info), attr)).__name__ == "getset_descriptor"
        assert cls_attr.__doc__ == ""


@pytest.mark.parametrize("name", CLASSES)
def test_instances_hold_their_record(name):
    cls = getattr(velbrook, name)
    assert cls.__basicsize__ > object.__basicsize__
    assert cls.__itemsize__ == 0


# (smaller, larger) by the fields of their records
@pytest.mark.parametrize(
    "smaller, larger",
    [
        ("CallEdge", "Suppression"),  # two texts and a bool; two texts and two integers
        ("CallEdge", "Fingerprint"),  # two texts and a bool; two texts and six integers
        ("IgnoredRegion", "LanguageInfo"),  # four integers and an optional list; two texts and two lists
    ],
)
def test_instance_size_follows_the_record(smaller, larger):
    assert getattr(velbrook, smaller).__basicsize__ < getattr(velbrook, larger).__basicsize__


def test_objects_are_sized_as_their_class():
    objects = [
        velbrook.languages()[0],
        velbrook.call_edges("c", "void f() { g(); }")[0],
        velbrook.function_cfg("c", "int f(){}", "f").blocks[0],
        velbrook.function_cfg("c", "int f(){}", "f"),
        velbrook.function_fingerprints("c", "int f(){}", 0)[0],
        velbrook.suppressions("c", "// tools:suppress a:b\nx;\n")[0],
        velbrook.ignored_regions("c", "// tools:off\n// tools:on\n")[0],
    ]
    assert [type(o).__name__ for o in objects] == CLASSES
    assert all(sys.getsizeof(o) == type(o).__basicsize__ for o in objects)
