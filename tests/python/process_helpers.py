"""Runs code in a fresh interpreter, as a user's script would run."""
import os
import subprocess
import sys
import textwrap


def run_python(code, *args, timeout=60, cwd=None, **env):
    """Runs `code` (or `-m module` with args) with this environment plus `env`.

    The environment is inherited so that an editable install can find its build tools.
    """
    command = [sys.executable, *args] if code is None else [sys.executable, "-c", textwrap.dedent(code)]
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout, cwd=cwd,
                          env={**os.environ, "ORVA_CONSOLE": "off", **env})
