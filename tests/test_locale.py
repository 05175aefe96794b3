import ctypes
import importlib.util
import json
import locale
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import velbrook
from children import run_child

ROOT = Path(__file__).resolve().parent.parent
_spec = importlib.util.spec_from_file_location("gen_charclass", ROOT / "tools" / "gen_charclass.py")
gen_charclass = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(gen_charclass)
LIBC = ctypes.CDLL(None)
IDEOGRAPHIC_SPACE, EM_SPACE = "\u3000", "\u2003"

# Sources whose parse once followed the caller's locale: a scanner asked the C
# library whether a non-ASCII character is a space, a letter or a digit, and
# under LC_CTYPE=C it said no. The last one's scanner passed the character
# through a plain char, unsigned on Linux aarch64. Each row gives the
# fingerprints (name, nodes, hash) that every locale and CPU must answer.
CASES = [
    ("cpp", f'auto s = R"{IDEOGRAPHIC_SPACE}(text){IDEOGRAPHIC_SPACE}";\nint f(){{ return g(1); }}\n', []),
    ("javascript", f"function f(){{ let a = 1\n{EM_SPACE}(g)(2) }}\n",
     [(None, 26, 0x24130fb7365e486c), ("f", 25, 0x7749c69700fd3e0e)]),
    ("typescript", f"function f(){{ let a = 1\n{IDEOGRAPHIC_SPACE}(g)(2) }}\n",
     [(None, 26, 0x24130fb7365e486c), ("f", 25, 0x7749c69700fd3e0e)]),
    ("tsx", f"function f(){{ let a = 1\n{IDEOGRAPHIC_SPACE}(g)(2) }}\n",
     [(None, 26, 0x24130fb7365e486c), ("f", 25, 0x7749c69700fd3e0e)]),
    ("php", f"<?php function f() {{ $x = <<<{IDEOGRAPHIC_SPACE}EOT\nabc\nEOT;\n g(1); }}\n",
     [(None, 33, 0x2de0562199691f6d), ("f", 31, 0xdc83d73630f14ab6)]),
    ("php", f"<?php function f() {{ $x = <<<EOT\nabc\nEOT{IDEOGRAPHIC_SPACE};\n g(1); }}\n",
     [(None, 32, 0x6b117e014cddac9d), ("f", 30, 0x7e225799509a0645)]),
    ("csharp", f'class C {{ void F() {{ var s = ${IDEOGRAPHIC_SPACE}"""\n  a\n  """; G(1); }} }}\n',
     [("F", 32, 0xd7e487bffc27db47)]),
    ("scala", f"def f() = {{\n  g(1){IDEOGRAPHIC_SPACE}\n  h(2)\n}}\n", [("f", 22, 0x21041d374c962d8f)]),
    ("rust", "fn f() { let x = 1.\u00e9; g(1); }\n", [("f", 26, 0xc8a10a12154f8337)]),
    ("rust", "fn f() { let x = 1.\u0660; g(1); }\n", [("f", 26, 0x5bd9a4babaabf21d)]),
    ("lua", f"function f(){IDEOGRAPHIC_SPACE}--[[ x ]] g(1)\nend\n", [("f", 18, 0x5cfce472fe39a3d0)]),
    ("swift", f"func f() {{\n  g(1){IDEOGRAPHIC_SPACE}\n  h(2)\n}}\n", [("f", 25, 0xe5d089435d991b7f)]),
    ("kotlin", f"fun f() {{{IDEOGRAPHIC_SPACE}\n  g(1)\n  h(2)\n}}\n", []),
    ("fortran", f"program q\n  print *, a{IDEOGRAPHIC_SPACE}\nend program q\n", [("q", 15, 0xc9941973e333ea7e)]),
    ("fortran", 'program q\n  print *, a\u00e9_"x"\nend program q\n', [("q", 18, 0xdcd002e4a60d4bc6)]),
]
SOURCES = [(key, source) for key, source, _ in CASES]

ANSWERS = """
import json, locale, sys
import velbrook
if len(sys.argv) > 2:
    locale.setlocale(locale.LC_CTYPE, sys.argv[2])

def plain(results):
    return [{n: getattr(r, n) for n in dir(r) if not n.startswith("_")} for r in results]

answers = [[plain(velbrook.call_edges(key, source)), plain(velbrook.function_fingerprints(key, source, 0)),
            velbrook.import_sources(key, source.encode())] for key, source in json.loads(sys.argv[1])]
print(json.dumps({"ctype": locale.setlocale(locale.LC_CTYPE), "answers": answers}))
"""


def answers(setting):
    """Every function's answers for SOURCES in a child interpreter whose
    LC_CTYPE comes from setting: ("env", value) sets LC_ALL, ("call", value)
    has the child call setlocale first."""
    how, value = setting
    if how == "env":
        report = run_child(ANSWERS, json.dumps(SOURCES), env={"LC_ALL": value})
    else:
        report = run_child(ANSWERS, json.dumps(SOURCES), value)
    assert report["ctype"] == value
    return report["answers"]


def c_utf8_available():
    try:
        with gen_charclass.ctype("C.UTF-8"):
            return True
    except locale.Error:
        return False


needs_c_utf8 = pytest.mark.skipif(not c_utf8_available(), reason="the C library has no C.UTF-8 locale")


@pytest.mark.parametrize("key, source, expected", CASES, ids=[f"{k}-{i}" for i, (k, _, _) in enumerate(CASES)])
@pytest.mark.parametrize("ctype", ["C", "C.UTF-8"])
def test_fingerprints_are_the_same_under_every_locale_in_process(key, source, expected, ctype):
    if ctype == "C.UTF-8" and not c_utf8_available():
        pytest.skip("the C library has no C.UTF-8 locale")
    with gen_charclass.ctype(ctype):
        found = [(fp.name, fp.node_count, fp.hash) for fp in velbrook.function_fingerprints(key, source, 2)]
    assert found == expected


@needs_c_utf8
def test_every_answer_is_the_same_in_interpreters_started_under_each_locale():
    reference = answers(("env", "C.UTF-8"))
    assert answers(("env", "C")) == reference
    assert answers(("call", "C")) == reference


def undefined_symbols(path):
    done = subprocess.run(["nm", "-D", "--undefined-only", path], capture_output=True, text=True, check=True)
    return [line.split()[-1] for line in done.stdout.splitlines() if line.strip()]


@pytest.mark.skipif(not shutil.which("nm") or not sys.platform.startswith("linux"), reason="needs nm and an ELF module")
def test_module_imports_no_character_classification_or_locale_from_the_c_library():
    classification = re.compile(
        r"(isw|tow|wctype|wctrans|__ctype_|(is|to)(alnum|alpha|blank|cntrl|digit|graph|lower|print|punct|space|upper|"
        r"xdigit)\b|.*locale)")
    names = [n.split("@")[0] for n in undefined_symbols(velbrook.__file__)]
    assert [n for n in names if classification.match(n)] == []


@pytest.mark.skipif(gen_charclass.libc_version(LIBC) != "glibc 2.36" or not c_utf8_available(),
                    reason="the tables are glibc 2.36's answers under C.UTF-8; this C library is another")
def test_tables_are_the_c_library_answers_for_every_code_point():
    assert gen_charclass.render(gen_charclass.classify(LIBC), gen_charclass.libc_version(LIBC)) == \
        (ROOT / "src" / "charclass.c").read_text()
    # Past the last code point, where every negative value a scanner passes
    # lands, no class holds; the runtime asks isprint of ASCII characters only.
    with gen_charclass.ctype(gen_charclass.LOCALE):
        for f in gen_charclass.classifiers(LIBC):
            assert [v for v in (0x110000, 0x10FFFF + 2, 0x7FFFFFFF, 0xFFFFFF80, 0xFFFFFFFF) if f(v)] == []
        assert [ch for ch in range(-128, 256) if bool(LIBC.isprint(ch)) != (0x20 <= ch < 0x7F)] == []
