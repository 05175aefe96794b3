import pytest

import velbrook


def regions(key, source):
    return [(r.byte_range, r.line_range, r.tools) for r in velbrook.ignored_regions(key, source)]


def unclosed_first_line(source):
    """The region an unclosed "tools:off" on line 1 of a two-line source gives."""
    return [((0, len(source.encode())), (1, 2), None)]


# Whether the first line is a whole-line comment whose body is "tools:off".
COMMENT_FORMS = [
    ("c", "// tools:off", True),
    ("c", "//tools:off", True),
    ("c", " \t// tools:off  \r", True),
    ("c", " \t//tools:off  \r", True),
    ("c", "/* tools:off */", True),
    ("c", "/*tools:off*/", True),
    ("c", "\t/*  tools:off\t*/ ", True),
    ("c", "/* tools:off", False),
    ("c", "tools:off */", False),
    ("c", "x = 1; // tools:off", False),
    ("c", "/* a */ x /* tools:off */", False),
    ("c", "/// tools:off", False),
    ("c", "//! tools:off", False),
    ("c", "# tools:off", False),
    ("c", "\u00a0// tools:off", True),
    ("c", "\u3000// tools:off\u3000", True),
    ("c", "\u2028\u205f// tools:off\u0085", True),
    ("c", "\ufeff// tools:off", False),
    ("c", "\u200b// tools:off", False),
    ("c", "\x1f// tools:off", False),
    ("c", "// tools:off\ufeff", False),
    ("python", "# tools:off", True),
    ("python", "#tools:off", True),
    ("python", "\t#\ttools:off\r", True),
    ("python", "## tools:off", False),
    ("python", "// tools:off", False),
    ("python", "/* tools:off */", False),
    ("ada", "-- tools:off", True),
    ("ada", "--tools:off", True),
    ("ada", "--[[ tools:off ]]", False),
    ("ada", "# tools:off", False),
    ("lua", "--[[ tools:off ]]", True),
    ("lua", "--[[tools:off]]", True),
    ("lua", "  --[[ tools:off ]]\r", True),
    ("lua", "-- tools:off", True),
    ("lua", "--[[ tools:off", False),
    ("lua", "-- [[ tools:off ]]", False),
    ("lua", "// tools:off", False),
    ("fortran", "!tools:off", True),
    ("fortran", "  ! tools:off", True),
    ("fortran", "!! tools:off", False),
    ("fortran", "c tools:off", False),
    ("fortran", "# tools:off", False),
    ("fortran", "// tools:off", False),
]


@pytest.mark.parametrize("key, line, is_marker", COMMENT_FORMS)
def test_comment_forms(key, line, is_marker):
    source = line + "\nx\n"
    assert regions(key, source) == (unclosed_first_line(source) if is_marker else [])


@pytest.mark.parametrize(
    "key, opener, closer",
    [("c", "// ", ""), ("c", "/* ", " */"), ("python", "# ", ""), ("ada", "-- ", ""),
     ("lua", "-- ", ""), ("lua", "--[[ ", " ]]"), ("fortran", "! ", "")],
)
def test_region_in_every_syntax(key, opener, closer):
    source = f"x\n{opener}tools:off{closer}\ny\n{opener}tools:on{closer}\nz\n"
    end = source.index("\nz")
    assert regions(key, source) == [((2, end), (2, 4), None)]


def test_worked_example():
    assert regions("c", "a\n// tools:off\nb\n// tools:on\nc\n") == [((2, 28), (2, 4), None)]


def test_worked_example_crlf_keeps_carriage_return_in_end():
    assert regions("c", "a\r\n// tools:off\r\nb\r\n// tools:on\r\nc\r\n") == [((3, 32), (2, 4), None)]


def test_unclosed_region_runs_to_end_of_source():
    assert regions("python", "a\n# tools:off\nb") == [((2, 15), (2, 3), None)]


@pytest.mark.parametrize(
    "source, expected",
    [
        ("x\n// tools:off", [((2, 14), (2, 2), None)]),
        ("x\n// tools:off\n", [((2, 15), (2, 2), None)]),
        ("// tools:off\n\n\n", [((0, 15), (1, 3), None)]),
        ("// tools:on", []),
    ],
)
def test_region_at_end_of_source(source, expected):
    assert regions("c", source) == expected


def test_byte_range_counts_utf8_bytes():
    source = "é€😀\n// tools:off\nλ\n// tools:on\n"
    start = len("é€😀\n".encode())
    end = len("é€😀\n// tools:off\nλ\n// tools:on".encode())
    assert regions("c", source) == [((start, end), (2, 4), None)]


# Comment bodies after "// " and the tools they give; "none" is no marker.
MARKERS = [
    ("tools:off", None),
    ("tools:off a", ["a"]),
    ("tools:off   a", ["a"]),
    ("tools:off  a , b,, c ", ["a", "b", "c"]),
    ("tools:off a b, c", ["a b", "c"]),
    ("tools:off a,a", ["a", "a"]),
    ("tools:off Lint:X, Foo::Bar", ["Lint:X", "Foo::Bar"]),
    ("tools:off ,a,", ["a"]),
    ("tools:off a,\u00a0b\u3000,\u2003c", ["a", "b", "c"]),
    ("tools:off a,\u200bb", ["a", "\u200bb"]),
    ("tools:off é, ü", ["é", "ü"]),
    ("tools:off ,, ,", "none"),
    ("tools:off ,\u3000,", "none"),
    ("tools:off\ta", "none"),
    ("tools:off,a", "none"),
    ("tools:offa", "none"),
    ("tools:off:", "none"),
    ("Tools:off", "none"),
    ("tools:OFF", "none"),
    ("tools: off", "none"),
    ("tools:on x", "none"),
    ("tools:onx", "none"),
    ("TOOLS:ON", "none"),
]


@pytest.mark.parametrize("body, tools", MARKERS)
def test_marker_grammar(body, tools):
    # Line 3 closes the region only when line 1 opened it and "tools:on" is a marker.
    source = f"// {body}\nx\n// tools:on\n"
    found = regions("c", source)
    if tools == "none":
        assert found == []
    else:
        assert found == [((0, len(source.encode()) - 1), (1, 3), tools)]


@pytest.mark.parametrize("body", ["tools:on x", "tools:onx", "Tools:on", "tools:on:"])
def test_malformed_on_does_not_close(body):
    source = f"// tools:off\n// {body}\nx\n"
    assert regions("c", source) == [((0, len(source)), (1, 3), None)]


# Directive k (1-based) stands on line 2k - 1, each followed by a line "x".
# Expected regions: (first directive, closing directive or None when unclosed, tools).
STATE_RULES = [
    ([], []),
    (["tools:on", "tools:on"], []),
    (["tools:off", "tools:on"], [(1, 2, None)]),
    (["tools:off a", "tools:off b", "tools:on"], [(1, 3, ["a"])]),
    (["tools:off", "tools:off b", "tools:on"], [(1, 3, None)]),
    (["tools:off a", "tools:on", "tools:on"], [(1, 2, ["a"])]),
    (["tools:on", "tools:off", "tools:on", "tools:off b", "tools:on"], [(2, 3, None), (4, 5, ["b"])]),
    (["tools:off ,", "tools:on"], []),
    (["tools:off a", "tools:on", "tools:off"], [(1, 2, ["a"]), (3, None, None)]),
]


@pytest.mark.parametrize("directives, expected", STATE_RULES)
def test_state_rules(directives, expected):
    lines = [f"// {d}" for d in directives]
    source = "".join(f"{line}\nx\n" for line in lines)
    starts = [sum(len(line) + 3 for line in lines[:k]) for k in range(len(lines))]

    def region(first, last, tools):
        begin = starts[first - 1]
        if last is None:
            return ((begin, len(source)), (2 * first - 1, 2 * len(lines)), tools)
        return ((begin, starts[last - 1] + len(lines[last - 1])), (2 * first - 1, 2 * last - 1), tools)

    assert regions("c", source) == [region(*r) for r in expected]


def test_text_inside_string_literal_counts():
    source = 's = """\n# tools:off\n"""\n# tools:on\n'
    assert regions("python", source) == [((8, len(source) - 1), (2, 4), None)]


@pytest.mark.parametrize("source", ["", "\n\n", "int x;\n/* tools */\n// tools:offf\n"])
def test_no_regions(source):
    assert velbrook.ignored_regions("c", source) == []


def test_keyword_arguments():
    (region,) = velbrook.ignored_regions(source="# tools:off\n", language_key="python")
    assert (region.byte_range, region.line_range, region.tools) == ((0, 12), (1, 1), None)


def test_tools_list_is_a_fresh_copy():
    (region,) = velbrook.ignored_regions("c", "// tools:off a, b\n")
    tools = region.tools
    tools.append("c")
    assert region.tools == ["a", "b"]
    assert region.tools is not region.tools


@pytest.mark.parametrize("key", ["tsx", "Python", "c ", "C", ""])
def test_unknown_language_key(key):
    with pytest.raises(ValueError) as info:
        velbrook.ignored_regions(key, "// tools:off\n")
    assert str(info.value) == f"unknown language key: {key}"


@pytest.mark.parametrize("key", ["c", "tsx", "nope"])
def test_wrongly_typed_source_is_reported_before_the_key(key):
    with pytest.raises(TypeError) as info:
        velbrook.ignored_regions(key, 1)
    assert str(info.value) == "argument 'source': 'int' object cannot be converted to 'PyString'"


def test_bytes_source_is_refused():
    with pytest.raises(TypeError) as info:
        velbrook.ignored_regions("c", b"// tools:off\n")
    assert str(info.value) == "argument 'source': 'bytes' object cannot be converted to 'PyString'"
