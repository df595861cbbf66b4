"""Running the `vorn` command as a user does, for the command's tests."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
SCRIPT = Path(sys.executable).parent / "vorn"

# The installed console script (where the build wrote one) and `python -m vorn`.
COMMANDS = [pytest.param([sys.executable, "-m", "vorn"], id="python-m")]
if SCRIPT.exists():
    COMMANDS.insert(0, pytest.param([str(SCRIPT)], id="script"))


def vorn(*args, command=None, stdin=None, env=None, cwd=None):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        (command or [sys.executable, "-m", "vorn"]) + [str(a) for a in args],
        input=stdin,
        capture_output=True,
        text=True,
        env=full_env,
        cwd=cwd,
        timeout=120,
    )


def uniform_program(n, measure=True):
    """H on every qubit: every outcome about equally often."""
    lines = ["OPENQASM 2.0;", 'include "qelib1.inc";', f"qreg q[{n}];", f"creg c[{n}];", "h q;"]
    if measure:
        lines.append("measure q -> c;")
    return "\n".join(lines) + "\n"


def table_rows(stdout):
    """(key, count, share text) of each row of a printed table, in order."""
    lines = stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("outcome "))
    rows = []
    for line in lines[start + 1 :]:
        if line.startswith(("read ", "…")):
            break
        key, count, share = line.split()[:3]
        rows.append((key, int(count), share))
    return rows
