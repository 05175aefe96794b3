import pytest

import velbrook

ROWS = [
    ("C", "c", ["c"], ["h"]),
    ("C++", "cpp", ["cpp", "cc", "cxx", "hpp", "hxx"], []),
    ("Rust", "rust", ["rs"], []),
    ("Python", "python", ["py"], []),
    ("JavaScript", "javascript", ["js", "mjs", "cjs", "jsx"], []),
    ("TypeScript", "typescript", ["ts", "tsx"], []),
    ("Ada", "ada", ["adb", "ada"], ["ads"]),
    ("Go", "go", ["go"], []),
    ("Java", "java", ["java"], []),
    ("C#", "csharp", ["cs"], []),
    ("Kotlin", "kotlin", ["kt", "kts"], []),
    ("Swift", "swift", ["swift"], []),
    ("PHP", "php", ["php"], []),
    ("Fortran", "fortran", ["f90", "f95", "f03", "f08", "F90", "F95", "F03", "F08"], []),
    ("Scala", "scala", ["scala", "sc"], []),
    ("Lua", "lua", ["lua"], []),
]

REPORT = (
    "Supported languages:\n"
    "  C           .c  (also .h when passed explicitly)\n"
    "  C++         .cpp .cc .cxx .hpp .hxx\n"
    "  Rust        .rs\n"
    "  Python      .py\n"
    "  JavaScript  .js .mjs .cjs .jsx\n"
    "  TypeScript  .ts .tsx\n"
    "  Ada         .adb .ada  (also .ads when passed explicitly)\n"
    "  Go          .go\n"
    "  Java        .java\n"
    "  C#          .cs\n"
    "  Kotlin      .kt .kts\n"
    "  Swift       .swift\n"
    "  PHP         .php\n"
    "  Fortran     .f90 .f95 .f03 .f08 .F90 .F95 .F03 .F08\n"
    "  Scala       .scala .sc\n"
    "  Lua         .lua\n"
)


def test_languages_table():
    rows = velbrook.languages()
    assert [(r.name, r.key, r.extensions, r.explicit_only) for r in rows] == ROWS
    assert all(type(r) is velbrook.LanguageInfo for r in rows)
    assert not hasattr(rows[0], "sloc_mode")


def test_languages_returns_new_objects_each_call():
    a, b = velbrook.languages(), velbrook.languages()
    assert a is not b and a[0] is not b[0]
    a[0].explicit_only.append("x")
    assert velbrook.languages()[0].explicit_only == ["h"]


def test_report_text():
    first = velbrook.supported_languages_report()
    assert first == REPORT
    assert len(first) == 479
    second = velbrook.supported_languages_report()
    assert second == first and second is not first


# The comment syntax of a key shows in which comments the directive scanners read.
COMMENT_FORMS = [
    ("c", "// tools:off\n"),
    ("csharp", "/* tools:off */\n"),
    ("python", "# tools:off\n"),
    ("ada", "-- tools:off\n"),
    ("lua", "--[[ tools:off ]]\n"),
    ("fortran", "! tools:off\n"),
]


@pytest.mark.parametrize("key, line", COMMENT_FORMS)
def test_comment_syntax_follows_the_table(key, line):
    assert len(velbrook.ignored_regions(key, line)) == 1
    assert velbrook.ignored_regions(key, "; tools:off\n") == []


@pytest.mark.parametrize(
    "key", ["tsx", "", "Python", "c ", " c", "C", "c++", "js", "c\x00x", "\x00", "lua\x00", "caf\u00e9\x00!"]
)
@pytest.mark.parametrize("fn", [velbrook.suppressions, velbrook.ignored_regions])
def test_comment_functions_refuse_keys_outside_the_table(fn, key):
    with pytest.raises(ValueError) as info:
        fn(key, "// tools:off\n")
    assert str(info.value) == "unknown language key: " + key
