import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import velbrook

PROGRAM = Path(__file__).parent / "embed" / "reinit.c"


def embed_flags():
    """Flags to build a program that embeds this interpreter; None without its library."""
    var = sysconfig.get_config_var
    found = [d for d in (var("LIBDIR"), var("LIBPL")) if d and (Path(d) / var("LDLIBRARY")).exists()]
    if not found:
        return None
    libs = f"{var('LIBS')} {var('SYSLIBS')} {var('LINKFORSHARED')}".split()
    return [f"-I{var('INCLUDEPY')}", f"-L{found[0]}", f"-Wl,-rpath,{found[0]}", f"-lpython{var('LDVERSION')}", *libs]


def test_module_is_built_afresh_after_the_interpreter_is_reinitialised(tmp_path):
    compiler = shutil.which("cc")
    flags = embed_flags()
    if not compiler or flags is None:
        pytest.skip("needs a C compiler and the interpreter's embed library")
    program = tmp_path / "reinit"
    # The compiler runs without the sanitizer runtime a sanitizer run preloads.
    build_env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run([compiler, str(PROGRAM), "-o", str(program), *flags], env=build_env, check=True)
    home = f"{sys.base_prefix}:{sys.base_exec_prefix}"
    run_env = dict(os.environ, PYTHONHOME=home, PYTHONPATH=os.path.dirname(velbrook.__file__))
    done = subprocess.run([str(program)], env=run_env, capture_output=True, text=True, timeout=300)
    assert (done.returncode, done.stdout) == (0, "reinit: ok\n"), done.stderr
