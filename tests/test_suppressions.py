import pytest

import velbrook


def records(key, source):
    return [(s.comment_line, s.target_line, s.tool, s.rule) for s in velbrook.suppressions(key, source)]


def tool_rule(body):
    """Tool and rule of the C-style line comment "// <body>" on line 1, or None."""
    found = records("c", f"// {body}\nx\n")
    assert len(found) <= 1
    return found[0][2:] if found else None


# A whole-line comment holding "tools:suppress lint:r1" on line 2, or not.
COMMENT_FORMS = [
    ("c", "// tools:suppress lint:r1", True),
    ("c", "//tools:suppress lint:r1", True),
    ("c", "\t /* tools:suppress lint:r1 */\r", True),
    ("c", "/*tools:suppress lint:r1*/", True),
    ("c", "/* tools:suppress lint:r1", False),
    ("c", "/// tools:suppress lint:r1", False),
    ("c", "# tools:suppress lint:r1", False),
    ("c", "f(); // tools:suppress lint:r1", False),
    ("c", "\u00a0\u3000// tools:suppress lint:r1", True),
    ("c", "\ufeff// tools:suppress lint:r1", False),
    ("python", "# tools:suppress lint:r1", True),
    ("python", "    #tools:suppress lint:r1", True),
    ("python", "// tools:suppress lint:r1", False),
    ("ada", "-- tools:suppress lint:r1", True),
    ("ada", "--[[ tools:suppress lint:r1 ]]", False),
    ("lua", "--[[ tools:suppress lint:r1 ]]", True),
    ("lua", "--[[tools:suppress lint:r1]]", True),
    ("lua", "-- tools:suppress lint:r1", True),
    ("lua", "--[[ tools:suppress lint:r1", False),
    ("fortran", "! tools:suppress lint:r1", True),
    ("fortran", "!tools:suppress lint:r1", True),
    ("fortran", "// tools:suppress lint:r1", False),
]


@pytest.mark.parametrize("key, line, found", COMMENT_FORMS)
def test_comment_forms(key, line, found):
    expected = [(2, 3, "lint", "r1")] if found else []
    assert records(key, f"x\n{line}\ny\n") == expected


def test_body_runs_from_first_opener_to_last_closer():
    assert records("c", "/* tools:suppress a:b*/x/*c */\n") == [(1, None, "a", "b*/x/*c")]


# Comment bodies and the (tool, rule) they give; None is no suppression.
BODIES = [
    ("tools:suppress lint:no-goto", ("lint", "no-goto")),
    ("tools:suppress   lint:no-goto   ", ("lint", "no-goto")),
    ("tools:suppress\tlint:no-goto", None),
    ("tools:suppress\u00a0lint:no-goto", None),
    ("tools:suppress", None),
    ("tools:suppresslint:no-goto", None),
    ("Tools:suppress lint:no-goto", None),
    ("tools:SUPPRESS lint:no-goto", None),
    # first token and its colon
    ("tools:suppress lint", None),
    ("tools:suppress :rule", None),
    ("tools:suppress lint:", None),
    ("tools:suppress lint: rule", None),
    ("tools:suppress lint:a:b::", ("lint", "a:b::")),
    ("tools:suppress HASH:abc", ("HASH", "abc")),
    ("tools:suppress JUSTIFICATION:why", ("JUSTIFICATION", "why")),
    ("tools:suppress lint:r HASH:1", ("lint", "r")),
    ("tools:suppress ü:ß", ("ü", "ß")),
    # quotes group but do not cut
    ('tools:suppress "my lint:no goto"', ('"my lint', 'no goto"')),
    ('tools:suppress "my tool":"a rule" x', ('"my tool"', '"a rule"')),
    ('tools:suppress a"b c":d e', ('a"b c"', "d")),
    ('tools:suppress lint:"r  s', ("lint", '"r  s')),
    ('tools:suppress "lint:r s t', ('"lint', "r s t")),
    # separators
    ("tools:suppress lint:r\u00a0more", ("lint", "r")),
    ("tools:suppress lint:r\u3000more", ("lint", "r")),
    ("tools:suppress lint:r\u2009more", ("lint", "r")),
    ("tools:suppress lint:r\x1fmore", ("lint", "r\x1fmore")),
    ("tools:suppress lint:r\u200bmore", ("lint", "r\u200bmore")),
    ("tools:suppress lint:r\ufeffmore", ("lint", "r\ufeffmore")),
]


@pytest.mark.parametrize("body, expected", BODIES)
def test_body(body, expected):
    assert tool_rule(body) == expected


@pytest.mark.parametrize(
    "tail",
    [
        "HASH:1 HASH:2",
        "HASH:",
        "hash:x JUSTIFICATION:",
        'JUSTIFICATION:"why not" JUSTIFICATION:"""',
        'HASH:"a b" JUSTIFICATION:"unterminated reason',
        "JUSTIFICATION:a:b HASH:c:d HASH:e lint:other",
        '"""',
    ],
)
def test_hash_and_justification_tokens_leave_the_record_alone(tail):
    source = f"// tools:suppress lint:r {tail}\n\n// next\n"
    assert records("c", source) == [(1, 3, "lint", "r")]


def test_suppression_has_exactly_four_attributes():
    (s,) = velbrook.suppressions("c", "// tools:suppress a:b HASH:1 JUSTIFICATION:x\n")
    assert [name for name in dir(s) if not name.startswith("_")] == ["comment_line", "rule", "target_line", "tool"]
    assert s.target_line is None


@pytest.mark.parametrize(
    "source, expected",
    [
        ("", []),
        ("\n\n", []),
        ("int x; /* tools:suppress a:b */\n", []),
        ("x\n// tools:suppress a:b", [(2, None, "a", "b")]),
        ("x\n// tools:suppress a:b\n", [(2, None, "a", "b")]),
        ("// tools:suppress a:b\n\n \t\n\u3000\r\n", [(1, None, "a", "b")]),
        ("x\ny\n// tools:suppress a:b\n\n\nz\n", [(3, 6, "a", "b")]),
        ("// tools:suppress a:b\n// tools:suppress c:d\n\nz\n", [(1, 2, "a", "b"), (2, 4, "c", "d")]),
        ("// tools:suppress a:b\n  \n// tools:off\n", [(1, 3, "a", "b")]),
        ("// tools:suppress a:b\n// plain comment\n", [(1, 2, "a", "b")]),
        ("// tools:suppress a:b\n\r\r\nz", [(1, 3, "a", "b")]),
        ("a\rb\n// tools:suppress a:b\rc\nz\n", [(2, 3, "a", "b")]),
        ("a\r// tools:suppress a:b\nz\n", []),
    ],
)
def test_lines_and_targets(source, expected):
    assert records("c", source) == expected


@pytest.mark.parametrize(
    "source",
    [
        "x\n// tools:suppress a:b\n\n  \nf();\n// tools:suppress c:d x\n// tools:suppress e:f\n",
        "# tools:suppress a:b\n\n\n",
        "x\n\n-- tools:suppress a:b\n",
    ],
)
@pytest.mark.parametrize("key", ["c", "python", "ada"])
def test_crlf_gives_the_same_records(key, source):
    assert records(key, source.replace("\n", "\r\n")) == records(key, source)


def test_text_inside_string_literal_counts():
    source = 'x = """\n# tools:suppress a:b\n"""\n'
    assert records("python", source) == [(2, 3, "a", "b")]


def test_suppression_inside_ignored_region_is_reported():
    source = "// tools:off\n// tools:suppress a:b\nf();\n// tools:on\n"
    assert records("c", source) == [(2, 3, "a", "b")]
    assert len(velbrook.ignored_regions("c", source)) == 1


def test_many_comments():
    source = "// tools:suppress a:b\n\n" * 20000 + "f();\n"
    found = records("c", source)
    assert len(found) == 20000
    assert found[0] == (1, 3, "a", "b")
    assert found[-1] == (39999, 40001, "a", "b")


def test_keyword_arguments():
    (s,) = velbrook.suppressions(source="# tools:suppress a:b\n", language_key="python")
    assert (s.comment_line, s.target_line, s.tool, s.rule) == (1, None, "a", "b")


@pytest.mark.parametrize("key", ["tsx", "Python", "c ", "C", ""])
def test_unknown_language_key(key):
    with pytest.raises(ValueError) as info:
        velbrook.suppressions(key, "// tools:suppress a:b\n")
    assert str(info.value) == f"unknown language key: {key}"


@pytest.mark.parametrize("key", ["c", "tsx", "nope"])
@pytest.mark.parametrize(
    "source, type_name", [(1, "int"), (None, "NoneType"), (b"// tools:suppress a:b\n", "bytes")]
)
def test_wrongly_typed_source_is_reported_before_the_key(key, source, type_name):
    with pytest.raises(TypeError) as info:
        velbrook.suppressions(key, source)
    assert str(info.value) == f"argument 'source': '{type_name}' object cannot be converted to 'PyString'"


def test_language_key_is_converted_first():
    with pytest.raises(TypeError) as info:
        velbrook.suppressions(1, 2)
    assert str(info.value) == "argument 'language_key': 'int' object cannot be converted to 'PyString'"
