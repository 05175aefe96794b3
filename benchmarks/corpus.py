"""Real source files found on this machine, grouped by velbrook language key.

Shared by bench.py and memory.py. Nothing is downloaded: the corpus is what the
machine already holds (the Python standard library, the dependency cache, Go,
npm, the JDK's src.zip, the Rust standard library as rendered by rustdoc, ...).
"""

import functools
import glob
import hashlib
import html
import os
import random
import re
import sys
import zipfile

MAX_FILE = 1 << 20

# Extension -> key, in order of preference: a key's earlier extensions fill its
# byte budget first (so C gets every .c file before the many .h headers).
EXTENSIONS = {
    "c": "c", "cc": "cpp", "cpp": "cpp", "cxx": "cpp", "hpp": "cpp", "hxx": "cpp",
    "h": "c", "rs": "rust", "rs.html": "rust", "py": "python",
    "js": "javascript", "mjs": "javascript", "cjs": "javascript", "jsx": "javascript",
    "ts": "typescript", "tsx": "tsx", "adb": "ada", "ada": "ada", "ads": "ada",
    "go": "go", "java": "java", "cs": "csharp", "kt": "kotlin", "kts": "kotlin",
    "swift": "swift", "php": "php", "scala": "scala", "sc": "scala", "lua": "lua",
    **{e: "fortran" for e in ("f90", "f95", "f03", "f08", "F90", "F95", "F03", "F08")},
}
KEYS = ["c", "cpp", "rust", "python", "javascript", "typescript", "tsx", "ada", "go",
        "java", "csharp", "kotlin", "swift", "php", "fortran", "scala", "lua"]


def comment_key(key):
    """The key the comment-directive functions take: their table has no "tsx"."""
    return "typescript" if key == "tsx" else key


def default_roots():
    deps = os.environ.get("VELBROOK_DEPS_CACHE", os.path.expanduser("~/.cache/velbrook/deps"))
    home = os.path.expanduser("~")
    roots = [os.path.dirname(os.__file__), os.path.join(deps, "crates"), "/usr/lib",
             "/usr/share", "/usr/include", "/usr/src", "/usr/local",
             *(os.path.join(home, d) for d in (".rustup", ".cargo", "go"))]
    return [r for r in roots if os.path.isdir(r)]


def _extension(name):
    if name.endswith(".rs.html"):
        return "rs.html"
    return name.rpartition(".")[2] if "." in name else None


def _key_for(path, ext):
    # Headers under a C++ standard-library tree are C++, not C.
    if ext == "h" and "/c++/" in path:
        return "cpp"
    return EXTENSIONS[ext]


def _rustdoc_source(page):
    """The Rust source text behind one of rustdoc's "src/" pages, or None."""
    m = re.search(r'<pre class="rust"><code>(.*?)</code></pre>', page, re.S)
    if m is None:
        return None
    body = re.sub(r"<a href=#\d+ id=\d+ data-nosnippet>\d+</a>", "", m.group(1))
    return html.unescape(re.sub(r"<[^>]+>", "", body))


def _candidates(roots):
    """(key, preference, reader) for every file of a known extension."""
    order = list(EXTENSIONS)
    for root in roots:
        for folder, _dirs, files in os.walk(root):
            for name in files:
                ext = _extension(name)
                # rustdoc's output is used for its Rust sources only: its JS is generated.
                if ext not in EXTENSIONS or (ext == "rs.html") != ("/doc/rust/html/" in folder):
                    continue
                path = os.path.join(folder, name)
                try:
                    if not os.path.isfile(path) or os.path.getsize(path) > MAX_FILE:
                        continue
                except OSError:
                    continue
                yield _key_for(path, ext), order.index(ext), path, ext
    for archive in sorted({os.path.realpath(p) for p in glob.glob("/usr/lib/jvm/*/lib/src.zip")
                          if os.path.isfile(p)}):
        with zipfile.ZipFile(archive) as z:
            for info in z.infolist():
                if info.filename.endswith(".java") and info.file_size <= MAX_FILE:
                    yield "java", order.index("java"), f"{archive}!{info.filename}", "java"


@functools.lru_cache(maxsize=None)
def _archive(path):
    return zipfile.ZipFile(path)


def _read(path, ext):
    if "!" in path:
        archive, member = path.split("!", 1)
        data = _archive(archive).read(member)
    else:
        with open(path, "rb") as f:
            data = f.read()
    if ext == "rs.html":
        text = _rustdoc_source(data.decode("utf-8", "replace"))
        return None if text is None else text.encode("utf-8")
    return data


def corpus_files(dirs):
    """(key, preference, path, extension) for every file under DIR/KEY/ of each
    corpus folder (the layout of get_corpus.sh), whatever its extension or size."""
    for root in dirs:
        for key in KEYS:
            for folder, _dirs, files in os.walk(os.path.join(root, key)):
                for name in files:
                    path = os.path.join(folder, name)
                    if not name.startswith(".") and os.path.isfile(path):
                        yield key, 0, path, _extension(name)


def collect(max_bytes_per_key, roots=None, seed=0, corpus_dirs=()):
    """{key: [(path, bytes, str)]}, at most max_bytes_per_key bytes per key.

    The files come from the corpus folders when any are given, else from the
    machine's own trees. Files that are not valid UTF-8 and exact duplicates
    are left out; the choice within one extension is a fixed-seed shuffle, so
    runs see the same files.
    """
    found = {}
    candidates = corpus_files(corpus_dirs) if corpus_dirs else _candidates(roots or default_roots())
    for key, pref, path, ext in candidates:
        found.setdefault(key, []).append((pref, path, ext))
    rng = random.Random(seed)
    corpus, seen = {}, set()
    for key in KEYS:
        entries = sorted(found.get(key, []))
        rng.shuffle(entries)
        entries.sort(key=lambda e: e[0])
        files, total = [], 0
        for _pref, path, ext in entries:
            if total >= max_bytes_per_key:
                break
            try:
                data = _read(path, ext)
                text = data.decode("utf-8") if data is not None else None
            except (OSError, UnicodeDecodeError, zipfile.BadZipFile):
                continue
            digest = hashlib.sha1(data).digest() if data else None
            if not data or digest in seen:
                continue
            seen.add(digest)
            files.append((path, data, text))
            total += len(data)
        corpus[key] = files
    return corpus


CFG_KEYS = ("c", "cpp", "rust")


def add_arguments(parser, mb):
    """The options both scripts share; mb is the default corpus size per language."""
    parser.add_argument("--module-dir", action="append", default=[],
                        help="directory holding the built velbrook module (prepended to sys.path)")
    parser.add_argument("--mb", type=float, default=mb,
                        help=f"corpus megabytes per language (default {mb:g})")
    parser.add_argument("--corpus", action="append", default=[], metavar="DIR",
                        help="take the files from DIR/KEY/ (as get_corpus.sh lays them out) "
                             "instead of the machine's own trees; may be repeated")


def from_args(args):
    """The corpus that the shared options describe."""
    return collect(int(args.mb * 1e6), corpus_dirs=args.corpus)


def function_names(vb, key, text):
    """The distinct names of the file's functions, in document order."""
    return list(dict.fromkeys(f.name for f in vb.function_fingerprints(key, text, 0) if f.name))


def import_velbrook(module_dirs):
    for d in reversed(module_dirs):
        sys.path.insert(0, os.path.abspath(d))
    import velbrook
    return velbrook
