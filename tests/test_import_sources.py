import pytest

import velbrook

GRAMMAR_KEYS = [
    "c", "cpp", "rust", "python", "javascript", "typescript", "tsx", "ada", "go",
    "java", "csharp", "kotlin", "swift", "php", "fortran", "scala", "lua",
]


def imports(key, text):
    source = text if isinstance(text, bytes) else text.encode("utf-8")
    return velbrook.import_sources(key, source)


C_INCLUDES = '#include <stdio.h>\n#include "util/str.h"\n#include CONFIG_HEADER\n'

JS_IMPORTS = """\
import "./polyfill";
import React, { useState as us } from "react";
import * as path from 'path';
export { helper } from "./helper";
export * from "./all";
const fs = require("fs");
const lazy = import("./lazy");
"""

TS_IMPORTS = JS_IMPORTS + """\
import fs2 = require("fs2");
import type { T } from "./types";
import Alias = Some.Namespace;
"""

CASES = [
    ("c", C_INCLUDES, ["stdio.h", "util/str.h", "CONFIG_HEADER"]),
    ("cpp", C_INCLUDES + "#include <vector>\n", ["stdio.h", "util/str.h", "CONFIG_HEADER", "vector"]),
    ("c", '#include ""\n#include " spaced name.h "\n', ["", " spaced name.h "]),
    ("c", "int x = ;;; }\n#include <after_error.h>\n", ["after_error.h"]),
    (
        "go",
        'package main\n\nimport (\n\t"fmt"\n\tf "os"\n\t. "math"\n\t_ "net/http"\n\t`raw/path`\n)\n'
        'import "strings"\n',
        ["fmt", "os", "math", "net/http", "`raw/path`", "strings"],
    ),
    (
        "php",
        "<?php\nrequire_once 'config.php';\ninclude __DIR__ . \"/x.php\";\n"
        "require 'a' . 'b';\ninclude_once(\"paren.php\");\n",
        ["config.php", '__DIR__ . "/x.php"', "a' . 'b", '("paren.php")'],
    ),
    (
        "php",
        "<?php\nuse Foo\\Bar as Baz;\nuse App\\Models\\{User, Post};\n"
        "use function Foo\\helper;\nuse A, B\\C;\n",
        ["Foo\\Bar", "App\\Models", "User", "Post", "Foo\\helper", "A", "B\\C"],
    ),
    (
        "lua",
        "local a = require \"dq\"\nlocal b = require 'sq'\nlocal c = require(\"paren\")\n"
        "local d = require(modname)\nlocal e = require [[long]]\n"
        "local f = Require(\"no\")\nlocal g = pkg.require(\"no\")\nlocal h = load(\"no\")\n",
        ["dq", "sq", "paren", "modname", "[[long]]"],
    ),
    (
        "ada",
        "with Ada.Text_IO, Interfaces;\nuse Ada.Text_IO;\n"
        "procedure Main is begin null; end Main;\n",
        ["Ada.Text_IO", "Interfaces"],
    ),
    (
        "rust",
        "use std::collections::HashMap;\nuse std::{fmt, io::{self, Write as W}};\n"
        "use crate::a as b;\npub use super::*;\nextern crate foo;\n",
        ["std::collections::HashMap", "std::{fmt, io::{self, Write as W}}", "crate::a as b", "super::*"],
    ),
    (
        "java",
        "import java.util.*;\nimport static java.lang.Math.max;\nimport java.util.List;\n"
        "import static org.junit.Assert.*;\n",
        ["java.util", "java.lang.Math.max", "java.util.List", "org.junit.Assert"],
    ),
    (
        "swift",
        "import Foundation\nimport UIKit.UIView\n@testable import MyApp\nimport struct Foo.Bar\n",
        ["Foundation", "UIKit.UIView", "MyApp", "Foo.Bar"],
    ),
    (
        "scala",
        "import scala.collection.mutable\nimport a.b.{C, D}\nimport x.y, z.w\n"
        "import java.util._\nimport p.{Q => R}\n",
        ["scala.collection.mutable", "a.b", "x.y.z.w", "java.util", "p"],
    ),
    (
        "python",
        "import os.path as osp, sys\nfrom a.b import c, d\nfrom . import x\n"
        "from ..pkg import y\nfrom __future__ import annotations\nimport a.b.c\nfrom m import *\n",
        ["os.path", "sys", "a.b", ".", "..pkg", "a.b.c", "m"],
    ),
    (
        "csharp",
        "using System;\nusing static System.Math;\nusing Json = Newtonsoft.Json;\n"
        "global using System.Linq;\nclass A { void M() { using (var x = F()) {} } }\n",
        ["System", "System.Math", "Json", "System.Linq"],
    ),
    (
        "kotlin",
        "package p\nimport kotlinx.coroutines.flow.Flow as F\nimport a.b.*\nimport single\n",
        ["kotlinx.coroutines.flow.Flow", "a.b", "single"],
    ),
    (
        "fortran",
        "program p\n  use iso_fortran_env, only: int32\n  use, intrinsic :: iso_c_binding\n"
        "  include \"common.inc\"\n#include \"cpp.h\"\nend program p\n",
        ["iso_fortran_env", "iso_c_binding", "common.inc"],
    ),
    ("javascript", JS_IMPORTS, ["./polyfill", "react", "path"]),
    ("typescript", TS_IMPORTS, ["./polyfill", "react", "path", "fs2", "./types"]),
    ("tsx", TS_IMPORTS, []),
]


@pytest.mark.parametrize(
    "key, text, expected", CASES, ids=[f"{i}-{case[0]}" for i, case in enumerate(CASES)]
)
def test_sources_per_language(key, text, expected):
    assert imports(key, text) == expected


@pytest.mark.parametrize("key", GRAMMAR_KEYS)
def test_empty_source(key):
    assert velbrook.import_sources(key, b"") == []


def test_duplicates_and_nesting_keep_document_order():
    text = (
        "#include <a.h>\n#ifdef X\n#  if Y\n#include \"b.h\"\n#  endif\n#include <a.h>\n"
        "#endif\n#include <a.h>\n"
    )
    assert imports("c", text) == ["a.h", "b.h", "a.h", "a.h"]


def test_invalid_utf8_empties_only_its_own_entry():
    source = b'#include <before.h>\n#include "\xffbad.h"\nchar *s = "\xfe";\n#include <after.h>\n'
    assert velbrook.import_sources("c", source) == ["before.h", "", "after.h"]


@pytest.mark.parametrize(
    "text, expected",
    [
        # Lua identifiers take any non-ASCII character, so Unicode spaces end up
        # inside the node text and must be trimmed there.
        ("require(mod\u00a0)", ["mod"]),
        ("require(\u2003mod\u3000)", ["mod"]),
        ("require\u3000('m')", ["m"]),
        # The zero-width space is not white space.
        ("require(mod\u200b)", ["mod\u200b"]),
        ("require\u200b('m')", []),
    ],
)
def test_trimming_uses_unicode_white_space(text, expected):
    assert imports("lua", text) == expected


def test_deeply_nested_source(small_stack):
    depth = 100_000
    text = (
        "#include <first.h>\n" + "#if X\n" * depth + '#include "inner.h"\n'
        + "#endif\n" * depth + "int x = " + "(" * depth + "1" + ")" * depth + ";\n"
        + "#include <last.h>\n"
    )
    assert small_stack(lambda: imports("c", text)) == ["first.h", "inner.h", "last.h"]


def test_bytes_subclass_is_accepted():
    class Source(bytes):
        pass

    assert velbrook.import_sources("go", Source(b'import "fmt"')) == ["fmt"]


@pytest.mark.parametrize("key", ["c", "nope"])
@pytest.mark.parametrize("source", ['#include "a.h"', bytearray(b'#include "a.h"')])
def test_non_bytes_source_is_refused_before_the_key(key, source):
    name = type(source).__qualname__
    with pytest.raises(TypeError) as info:
        velbrook.import_sources(key, source)
    assert str(info.value) == (
        f"argument 'source': '{name}' object cannot be converted to 'PyBytes'"
    )


def test_unknown_key():
    with pytest.raises(ValueError, match="^unknown language key: C$"):
        velbrook.import_sources("C", b'#include "a.h"')
