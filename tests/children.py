"""Child interpreters that import this velbrook."""

import json
import os
import subprocess
import sys

import velbrook


def child_env(**extra):
    """The environment of a child interpreter that imports this velbrook, with extra variables set."""
    env = dict(os.environ, **extra)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.dirname(velbrook.__file__), env.get("PYTHONPATH")]))
    return env


def run_child(code, *args, env=None):
    """What a child interpreter running code with args printed, as JSON; it must exit cleanly.
    env: variables to set in its environment."""
    child = subprocess.run([sys.executable, "-c", code, *map(str, args)],
                           capture_output=True, text=True, env=child_env(**(env or {})), timeout=600)
    assert child.returncode == 0, child.stderr[-2000:]
    return json.loads(child.stdout)
