#!/usr/bin/env python3
"""Fetch, verify and unpack the pinned crates of deps.lock.json.

The crates (the tree-sitter runtime and the grammars) come from the Rust crate
registry through cargo, its own client: a throw-away manifest that asks for the
exact locked versions is fetched with a private CARGO_HOME, and the downloaded
.crate archives (gzipped tars) are checked against the sha256 of the lock file
before they enter a cache outside the source tree, where they are unpacked.
A cache that already holds every verified archive needs no cargo and no
network at all.

A package may name patches (unified diffs, paths relative to the crate) kept
in the source tree: they are applied, every hunk exactly where it says, to a
copy of the unpacked crate beside it in the cache, and each file they change
must then have the sha256 the lock file gives for it.

An sdist carries the archives in the source tree's crates/ folder (git-ignored):
--fill-bundle copies them there when the sdist is made, and --bundle takes them
from there, verified again, into the cache before anything is downloaded.

The script writes a CMake include file that names the runtime and grammar
sources; CMakeLists.txt runs it at configure time.

Cache location: $VELBROOK_DEPS_CACHE, else $XDG_CACHE_HOME/velbrook/deps,
else ~/.cache/velbrook/deps; the crates live in its crates/ folder.
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

MANIFEST = """\
[package]
name = "velbrook-deps"
version = "0.0.0"
edition = "2021"
publish = false

[lib]
path = "lib.rs"

[dependencies]
{dependencies}
"""


class FetchError(Exception):
    pass


class DownloadError(FetchError):
    """cargo is missing or failed; the message says which."""


def cache_root() -> Path:
    env = os.environ.get("VELBROOK_DEPS_CACHE")
    if env:
        return Path(env)
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(Path.home(), ".cache")
    return Path(base) / "velbrook" / "deps"


def label(pkg: dict) -> str:
    return f"{pkg['name']} {pkg['version']}"


def sha256_of(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def cargo_command():
    found = os.environ.get("CARGO") or shutil.which("cargo")
    if found:
        return found
    # rustup's default place, for shells that never sourced its env file.
    home = Path(os.environ.get("CARGO_HOME") or Path.home() / ".cargo")
    if os.access(home / "bin" / "cargo", os.X_OK):
        return str(home / "bin" / "cargo")
    return None


def archive_name(pkg: dict) -> str:
    return f"{pkg['name']}-{pkg['version']}.crate"


def missing_error(pkgs: list, crates: Path, bundle, reason: str) -> FetchError:
    bundled = f" and not bundled in {bundle}" if bundle else ""
    return FetchError(
        f"{len(pkgs)} pinned crates are missing from the dependency cache {crates}{bundled}: "
        + ", ".join(label(p) for p in pkgs) + f".\n{reason}\nEither install cargo, the Rust "
        "package manager, with access to the Rust crate registry, or put these files into "
        f"{crates}: " + " ".join(archive_name(p) for p in pkgs))


def verify(pkg: dict, path: Path, named: Path) -> None:
    digest = sha256_of(path)
    if digest != pkg["sha256"]:
        raise FetchError(f"sha256 mismatch for {label(pkg)} in {named}: "
                         f"expected {pkg['sha256']}, got {digest}")


def copy_verified(pkg: dict, source: Path, target: Path) -> None:
    """Copy the archive source to target through a temporary file, checking its sha256."""
    tmp = target.with_name(f".{target.name}.tmp{os.getpid()}")
    try:
        shutil.copyfile(source, tmp)
        verify(pkg, tmp, source)
        os.replace(tmp, target)
    finally:
        tmp.unlink(missing_ok=True)


def take_bundled(pkgs: list, bundle: Path, crates: Path) -> list:
    """Check every archive of the bundle; copy those the cache lacks into it. Returns the rest."""
    rest = []
    for p in pkgs:
        source, target = bundle / archive_name(p), crates / archive_name(p)
        if source.exists():
            if target.exists():
                verify(p, source, source)
            else:
                copy_verified(p, source, target)
        elif not target.exists():
            rest.append(p)
    return rest


def fill_bundle(pkgs: list, crates: Path, bundle: Path) -> None:
    """Make bundle hold the verified archives of pkgs and no other."""
    bundle.mkdir(parents=True, exist_ok=True)
    wanted = {archive_name(p) for p in pkgs}
    for stale in bundle.glob("*.crate"):
        if stale.name not in wanted:
            stale.unlink()
    for p in pkgs:
        copy_verified(p, crates / archive_name(p), bundle / archive_name(p))


def download(pkgs: list, crates: Path) -> None:
    """Fetch the crates of pkgs with cargo and move the verified archives into crates/."""
    cargo = cargo_command()
    if cargo is None:
        raise DownloadError("cargo was not found (on PATH, as $CARGO or in ~/.cargo/bin), "
                            "so they cannot be downloaded.")
    print(f"fetch_deps: downloading {', '.join(label(p) for p in pkgs)} with {cargo}",
          file=sys.stderr)
    with tempfile.TemporaryDirectory(dir=crates) as tmp:
        project = Path(tmp) / "project"
        project.mkdir()
        dependencies = "\n".join(f'{json.dumps(p["name"])} = "={p["version"]}"' for p in pkgs)
        (project / "Cargo.toml").write_text(MANIFEST.format(dependencies=dependencies))
        (project / "lib.rs").write_text("")
        home = Path(tmp) / "cargo-home"
        env = dict(os.environ, CARGO_HOME=str(home), CARGO_TERM_COLOR="never",
                   CARGO_TERM_PROGRESS_WHEN="never")
        proc = subprocess.run([cargo, "fetch", "--manifest-path", str(project / "Cargo.toml")],
                              cwd=project, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
        if proc.returncode != 0:
            raise DownloadError(f"Downloading them with {cargo} failed:\n"
                                + proc.stdout[-3000:].rstrip())
        failures = []
        for p in pkgs:
            found = sorted((home / "registry" / "cache").glob(f"*/{archive_name(p)}"))
            if not found:
                failures.append(f"cargo fetch left no archive of {label(p)}")
                continue
            digest = sha256_of(found[0])
            if digest != p["sha256"]:
                failures.append(f"sha256 mismatch for {label(p)}: "
                                f"expected {p['sha256']}, got {digest}")
                continue
            os.replace(found[0], crates / archive_name(p))
        if failures:
            raise FetchError("\n".join(failures))


def safe_extract(archive: Path, target: Path) -> None:
    """Unpack archive into target, dropping the archive's single top-level folder."""
    with tarfile.open(archive, "r:gz") as tar:
        members = []
        for m in tar.getmembers():
            parts = Path(m.name).parts
            if len(parts) < 2 or m.issym() or m.islnk() or m.isdev():
                continue
            rel = Path(*parts[1:])
            if rel.is_absolute() or ".." in rel.parts:
                raise FetchError(f"unsafe path {m.name!r} in {archive.name}")
            m.name = str(rel)
            members.append(m)
        tar.extractall(target, members=members)


def made_once(target: Path, stamp_text: str, make) -> Path:
    """target, made by make(folder) in a temporary folder beside it unless its
    stamp already says stamp_text."""
    stamp = target / ".velbrook-stamp"

    def made() -> bool:
        return stamp.exists() and stamp.read_text().strip() == stamp_text

    if made():
        return target
    if target.exists():
        shutil.rmtree(target)
    tmp = Path(tempfile.mkdtemp(dir=target.parent))
    try:
        make(tmp)
        (tmp / ".velbrook-stamp").write_text(stamp_text + "\n")
        try:
            tmp.rename(target)
        except OSError:
            # Another configure made the same folder meanwhile.
            if not made():
                raise
            shutil.rmtree(tmp)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise
    return target


def unpack(pkg: dict, crates: Path) -> Path:
    return made_once(crates / f"{pkg['name']}-{pkg['version']}", pkg["sha256"],
                     lambda tmp: safe_extract(crates / archive_name(pkg), tmp))


HUNK = re.compile(r"@@ -(\d+)(?:,(\d+))? \+\d+(?:,(\d+))? @@")


def apply_patch(patch: Path, root: Path) -> None:
    """Apply a unified diff to the files under root, with no fuzz: the lines
    each hunk removes or keeps must stand exactly where it says."""
    lines = patch.read_bytes().decode().splitlines(keepends=True)
    i = 0
    while i < len(lines):
        if not lines[i].startswith("--- "):
            i += 1
            continue
        if i + 1 >= len(lines) or not lines[i + 1].startswith("+++ b/"):
            raise FetchError(f"{patch.name}: no '+++ b/' line after line {i + 1}")
        rel = lines[i + 1][len("+++ b/"):].split("\t")[0].strip()
        path = root / rel
        if ".." in Path(rel).parts or not path.is_file():
            raise FetchError(f"{patch.name} changes {rel}, which the crate does not have")
        content = path.read_bytes().decode().splitlines(keepends=True)
        offset = 0
        i += 2
        while i < len(lines) and lines[i].startswith("@@"):
            m = HUNK.match(lines[i])
            if not m:
                raise FetchError(f"{patch.name}: malformed hunk header at line {i + 1}")
            start, old_len, new_len = int(m[1]), int(m[2] or 1), int(m[3] or 1)
            old, new = [], []
            i += 1
            while i < len(lines) and (len(old) < old_len or len(new) < new_len):
                tag, body = lines[i][:1], lines[i][1:]
                if tag not in (" ", "-", "+"):
                    raise FetchError(f"{patch.name}: unexpected line {i + 1} in a hunk")
                if tag != "+":
                    old.append(body)
                if tag != "-":
                    new.append(body)
                i += 1
            at = start - 1 + offset if old_len else start + offset
            if content[at:at + len(old)] != old:
                raise FetchError(f"{patch.name} does not apply to {rel} at line {start}")
            content[at:at + len(old)] = new
            offset += len(new) - len(old)
        path.write_bytes("".join(content).encode())


def patched(pkg: dict, pristine: Path, root: Path) -> Path:
    """A copy of the unpacked crate with the package's patches applied, beside
    it in the cache; every patched file checked against its sha256."""
    patches = [root / p for p in pkg["patches"]]
    digest = hashlib.sha256("".join(sha256_of(p) for p in patches).encode()).hexdigest()

    def make(tmp: Path) -> None:
        shutil.copytree(pristine, tmp, dirs_exist_ok=True, ignore=shutil.ignore_patterns(".velbrook-stamp"))
        for patch in patches:
            apply_patch(patch, tmp)
        for rel, expected in pkg["patched_sha256"].items():
            got = sha256_of(tmp / rel)
            if got != expected:
                raise FetchError(f"{rel} of {label(pkg)} after its patches: sha256 {got}, "
                                 f"expected {expected}")

    return made_once(pristine.with_name(f"{pristine.name}+{digest[:12]}"), f"{pkg['sha256']} {digest}", make)


def existing(pkg: dict, where: Path, rel: str) -> Path:
    path = where / rel
    if not path.exists():
        raise FetchError(f"{label(pkg)} has no {rel}")
    return path


def runtime_files(pkg: dict, where: Path) -> tuple:
    spec = pkg["runtime"]
    source = existing(pkg, where, spec["source"])
    existing(pkg, where, f"{spec['include']}/tree_sitter/api.h")
    return source, where / spec["include"]


def grammar_files(pkg: dict, where: Path, spec: dict) -> tuple:
    """The grammar's C sources and the folder that holds its tree_sitter/parser.h."""
    sources = [existing(pkg, where, spec["parser"])]
    if "scanner" in spec:
        sources.append(existing(pkg, where, spec["scanner"]))
    elif (sources[0].parent / "scanner.c").exists():
        raise FetchError(f"{label(pkg)} has a scanner.c beside {spec['parser']} "
                         "that the lock file does not name")
    existing(pkg, where, f"{spec['include']}/tree_sitter/parser.h")
    return sources, where / spec["include"]


def cmake_path(p: Path) -> str:
    return str(p).replace("\\", "/")


def cmake_list(paths: list) -> str:
    return ";".join(cmake_path(p) for p in paths)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--lock", default=str(Path(__file__).resolve().parent.parent / "deps.lock.json"))
    ap.add_argument("--cmake-out", help="write the CMake include file here")
    ap.add_argument("--bundle", type=Path,
                    help="a folder of bundled archives, read before anything is downloaded")
    ap.add_argument("--fill-bundle", action="store_true",
                    help="copy the verified archives into the --bundle folder")
    args = ap.parse_args()
    if args.fill_bundle and not args.bundle:
        ap.error("--fill-bundle needs --bundle")

    packages = json.loads(Path(args.lock).read_text())["packages"]
    crates = cache_root() / "crates"
    lines = ['set(VELBROOK_GRAMMARS "")']
    runtimes = []
    try:
        crates.mkdir(parents=True, exist_ok=True)
        for pkg in packages:
            archive = crates / archive_name(pkg)
            if archive.exists() and sha256_of(archive) != pkg["sha256"]:
                archive.unlink()
        missing = [p for p in packages if not (crates / archive_name(p)).exists()]
        if args.bundle and args.bundle.is_dir():
            missing = take_bundled(packages, args.bundle, crates)
        if missing:
            try:
                download(missing, crates)
            except DownloadError as e:
                raise missing_error(missing, crates, args.bundle, str(e)) from e
        if args.fill_bundle:
            fill_bundle(packages, crates, args.bundle)
        for pkg in packages:
            try:
                where = unpack(pkg, crates)
            except (OSError, tarfile.TarError) as e:
                raise FetchError(f"unpacking {label(pkg)} failed: {e}") from e
            if "patches" in pkg:
                where = patched(pkg, where, Path(args.lock).resolve().parent)
            if "runtime" in pkg:
                runtimes.append(runtime_files(pkg, where))
            for name, spec in pkg.get("grammars", {}).items():
                sources, include = grammar_files(pkg, where, spec)
                lines.append(f'list(APPEND VELBROOK_GRAMMARS "{name}")')
                lines.append(f'set(VELBROOK_GRAMMAR_{name}_SOURCES "{cmake_list(sources)}")')
                lines.append(f'set(VELBROOK_GRAMMAR_{name}_INCLUDE "{cmake_path(include)}")')
        if len(runtimes) != 1:
            raise FetchError(f"the lock file names {len(runtimes)} tree-sitter runtimes, not one")
    except (FetchError, OSError, tarfile.TarError) as e:
        print(f"fetch_deps: error: {e}", file=sys.stderr)
        return 1

    source, include = runtimes[0]
    lines[:0] = [f'set(VELBROOK_TS_RUNTIME_SOURCE "{cmake_path(source)}")',
                 f'set(VELBROOK_TS_RUNTIME_INCLUDE "{cmake_path(include)}")']
    text = "\n".join(lines) + "\n"
    if args.cmake_out:
        Path(args.cmake_out).write_text(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
