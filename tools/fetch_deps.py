#!/usr/bin/env python3
"""Fetch, verify and unpack the pinned source packages of deps.lock.json.

Archives are downloaded with the registries' own clients (``npm pack`` and
``pip download``) into a cache outside the source tree, checked against the
sha256 of the lock file and unpacked next to them.  A cache that already
holds a verified archive needs no network at all.

The script writes a CMake include file that names the runtime and grammar
source directories; CMakeLists.txt runs it at configure time.

Cache location: $VELBROOK_DEPS_CACHE, else $XDG_CACHE_HOME/velbrook/deps,
else ~/.cache/velbrook/deps.
"""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path


class FetchError(Exception):
    pass


def cache_root() -> Path:
    env = os.environ.get("VELBROOK_DEPS_CACHE")
    if env:
        return Path(env)
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(Path.home(), ".cache")
    return Path(base) / "velbrook" / "deps"


def sha256_of(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def archive_name(pkg: dict) -> str:
    return f"{pkg['id']}-{pkg['version']}.tar.gz"


def run_client(cmd: list, pkg: dict) -> None:
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if proc.returncode != 0:
        raise FetchError(
            f"download of {pkg['name']} {pkg['version']} failed ({' '.join(cmd[:3])} ...):\n"
            + proc.stdout[-2000:]
        )


def pip_command() -> list:
    probe = subprocess.run([sys.executable, "-m", "pip", "--version"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if probe.returncode == 0:
        return [sys.executable, "-m", "pip"]
    for exe in ("pip3", "pip"):
        found = shutil.which(exe)
        if found:
            return [found]
    raise FetchError("no pip client found to download Python-index packages")


def download(pkg: dict, dest: Path) -> None:
    """Download the package's source archive to dest with its registry's client."""
    with tempfile.TemporaryDirectory(dir=dest.parent) as tmp:
        if pkg["registry"] == "npm":
            npm = shutil.which("npm")
            if not npm:
                raise FetchError(f"npm is needed to download {pkg['name']} {pkg['version']}")
            run_client([npm, "pack", f"{pkg['name']}@{pkg['version']}",
                        "--pack-destination", tmp, "--silent"], pkg)
        elif pkg["registry"] == "pypi":
            run_client(pip_command() + ["download", "--no-deps", "--no-binary", ":all:",
                                        "-q", "-d", tmp,
                                        f"{pkg['name']}=={pkg['version']}"], pkg)
        else:
            raise FetchError(f"unknown registry {pkg['registry']!r} for {pkg['name']}")
        files = [p for p in Path(tmp).iterdir() if p.is_file()]
        if len(files) != 1:
            raise FetchError(f"expected one archive for {pkg['name']} {pkg['version']}, got {files}")
        shutil.move(str(files[0]), dest)


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


def ensure(pkg: dict, root: Path) -> Path:
    downloads = root / "downloads"
    sources = root / "src"
    downloads.mkdir(parents=True, exist_ok=True)
    sources.mkdir(parents=True, exist_ok=True)
    archive = downloads / archive_name(pkg)
    if archive.exists() and sha256_of(archive) != pkg["sha256"]:
        archive.unlink()
    if not archive.exists():
        download(pkg, archive)
        digest = sha256_of(archive)
        if digest != pkg["sha256"]:
            archive.unlink()
            raise FetchError(f"sha256 mismatch for {pkg['name']} {pkg['version']}: "
                             f"expected {pkg['sha256']}, got {digest}")
    target = sources / f"{pkg['id']}-{pkg['version']}"
    stamp = target / ".velbrook-sha256"
    if stamp.exists() and stamp.read_text().strip() == pkg["sha256"]:
        return target
    if target.exists():
        shutil.rmtree(target)
    tmp = Path(tempfile.mkdtemp(dir=sources))
    try:
        safe_extract(archive, tmp)
        (tmp / ".velbrook-sha256").write_text(pkg["sha256"] + "\n")
        tmp.rename(target)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise
    return target


def cmake_path(p: Path) -> str:
    return str(p).replace("\\", "/")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--lock", default=str(Path(__file__).resolve().parent.parent / "deps.lock.json"))
    ap.add_argument("--cmake-out", help="write the CMake include file here")
    args = ap.parse_args()

    lock = json.loads(Path(args.lock).read_text())
    root = cache_root()
    runtime = None
    grammars = []
    try:
        for pkg in lock["packages"]:
            where = ensure(pkg, root)
            if "runtime" in pkg:
                runtime = where / pkg["runtime"]
            for name, sub in pkg.get("grammars", {}).items():
                src = where / sub
                if not (src / "parser.c").exists():
                    raise FetchError(f"{pkg['name']} {pkg['version']} has no {sub}/parser.c")
                grammars.append((name, src))
    except FetchError as e:
        print(f"fetch_deps: error: {e}", file=sys.stderr)
        return 1
    if runtime is None or not (runtime / "src" / "lib.c").exists():
        print("fetch_deps: error: the lock file names no complete tree-sitter runtime", file=sys.stderr)
        return 1

    lines = [f'set(VELBROOK_TS_RUNTIME "{cmake_path(runtime)}")',
             'set(VELBROOK_GRAMMARS "")']
    for name, src in grammars:
        lines.append(f'list(APPEND VELBROOK_GRAMMARS "{name}")')
        lines.append(f'set(VELBROOK_GRAMMAR_{name} "{cmake_path(src)}")')
    text = "\n".join(lines) + "\n"
    if args.cmake_out:
        Path(args.cmake_out).write_text(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
