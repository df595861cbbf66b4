"""The `vorn` command on bad input and failures: exit status, one clear message, no traceback."""
import os
import pty
import select
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from cli_support import COMMANDS, EXAMPLES, table_rows, vorn
from vorn_python import Circuit, run

BELL = EXAMPLES / "bell.qasm"


def assert_fails(got, status, stderr):
    assert got.returncode == status
    assert got.stderr == stderr
    assert "Traceback" not in got.stdout + got.stderr


@pytest.mark.parametrize(
    "program, stderr",
    [
        (
            'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[2];\nh q[0] $;\n',
            "<stdin>:4:8: error: qasm lex error at line 4:8: unexpected character '$'\n"
            "h q[0] $;\n       ^\n",
        ),
        (
            # A tab stays a tab under the line; a Korean character takes two cells.
            'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[2];\n\t// 양자\n\tfoo q[1];\n',
            "<stdin>:5:2: error: qasm unknown gate 'foo' at line 5:2\n\tfoo q[1];\n\t^\n",
        ),
    ],
)
def test_reader_errors_are_shown_as_a_compiler_shows_them(program, stderr):
    message = stderr.split(": error: ", 1)[1].split("\n", 1)[0]
    with pytest.raises(ValueError) as raised:
        Circuit.from_qasm(program)
    assert str(raised.value) == message
    assert_fails(vorn("run", "-", stdin=program), 2, stderr)


@pytest.mark.parametrize(
    "program, stderr",
    [
        (
            "OPENQASM 3.0;\nqubit[2] q;\n  bit[1] c; extern f(int) -> int;\n",
            "<stdin>:3:13: error: qasm unsupported feature: OpenQASM 3.0 extern declaration (no "
            "extern functions are available) 'extern' at line 3:13\n"
            "  bit[1] c; extern f(int) -> int;\n            ^\n",
        ),
        (
            # The quoted path holds what looks like a position; the caret goes to the include.
            'OPENQASM 2.0;\ninclude "at line 9:9.inc";\n',
            '<stdin>:2:1: error: qasm parse error at line 2:1: include of "at line 9:9.inc": '
            'file not found (tried "at line 9:9.inc")\ninclude "at line 9:9.inc";\n^\n',
        ),
        (
            "OPENQASM 2.0;\nqreg q[2];\nh q[2];\n",
            "<stdin>:3:1: error: qasm qubit index 2 out of range (n_qubits=2) (at line 3:1)\n"
            "h q[2];\n^\n",
        ),
    ],
)
def test_errors_of_the_programs_reading_mode(program, stderr):
    """The shell tool reads in the vorn package's mode: what it still refuses, with the
    position, and includes looked up as files."""
    assert_fails(vorn("run", "-", stdin=program), 2, stderr)


@pytest.mark.parametrize("command", COMMANDS)
def test_unreadable_inputs(command, tmp_path):
    (tmp_path / "latin1.qasm").write_bytes(b"OPENQASM 2.0;\n// caf\xe9\n")
    for args, stderr in [
        ((tmp_path / "none.qasm",), f"vorn: {tmp_path / 'none.qasm'}: no such file\n"),
        ((tmp_path,), f"vorn: {tmp_path}: is a directory, not an OpenQASM file\n"),
        ((tmp_path / "latin1.qasm",),
         f"vorn: {tmp_path / 'latin1.qasm'}: not UTF-8 text (byte 0xe9 at line 2:7)\n"),
    ]:
        assert_fails(vorn("run", *args, command=command), 2, stderr)
    # The other subcommands read their files the same way.
    message = f"vorn: {tmp_path}: is a directory, not an OpenQASM file\n"
    for subcommand in (["info"], ["convert", "--to", "3.0"], ["plot", "-o", "x.png"]):
        assert_fails(vorn(*subcommand, tmp_path), 2, message)
    saved = tmp_path / "bad.json"
    saved.write_text('{"counts": 3}')
    assert_fails(vorn("plot", saved, "-o", tmp_path / "x.png"), 2,
                 f"vorn: {saved}: not a result saved by vorn run --json\n")


@pytest.mark.parametrize(
    "args",
    [
        ("run", BELL, "--shots", "-1"),
        ("run", BELL, "--seed", str(2**64)),
        ("run", BELL, "--precision", "f16"),
        ("run", BELL, "--threads", "0"),
        ("run", BELL, "--plot", "h.gif"),
        ("convert", BELL, "--to", "4.0"),
        ("convert", BELL),
        ("plot", "r.json"),
    ],
)
def test_options_out_of_range_get_argparses_error(args):
    got = vorn(*args)
    assert got.returncode == 2 and got.stdout == ""
    assert got.stderr.startswith("usage: vorn ") and "error: " in got.stderr
    assert "Traceback" not in got.stderr


def test_a_state_that_does_not_fit_is_refused(tmp_path):
    program = "OPENQASM 2.0;\nqreg q[40];\nh q[0];\n"
    refused = vorn("run", "-", stdin=program)
    assert refused.returncode == 1 and refused.stdout == ""
    assert refused.stderr.startswith(
        "vorn: <stdin>: the state of 40 qubits at f64 needs 16384.0 GiB, ")
    assert refused.stderr.endswith(" GiB available (--force runs it anyway)\n")
    # Forced, the run's own MemoryError is reported the same way.
    forced = vorn("run", "-", "--force", "--precision", "f32", stdin=program)
    assert forced.returncode == 1 and forced.stdout == ""
    assert forced.stderr.startswith("vorn: <stdin>: the state of 40 qubits at f32 needs 8192.0 GiB")
    assert forced.stderr.endswith(" GiB available\n")


def test_a_program_the_engine_refuses_is_one_line():
    got = vorn("run", "-", stdin="OPENQASM 2.0;\nqreg q[0];\n")
    assert_fails(got, 1, "vorn: <stdin>: a program needs at least one qubit to run\n")


def test_an_unwritable_output_leaves_the_others(tmp_path):
    missing = tmp_path / "no" / "state.npy"
    got = vorn("run", BELL, "--seed", 4, "--statevector", missing,
               "--probabilities", tmp_path / "p.npy", "--plot", tmp_path / "no" / "h.svg")
    assert_fails(got, 1, f"vorn: cannot write {missing}: No such file or directory\n"
                         f"vorn: cannot write {tmp_path / 'no' / 'h.svg'}: "
                         "No such file or directory\n")
    result = run(Circuit.from_qasm(BELL.read_text()), seed=4)
    assert dict((k, c) for k, c, _ in table_rows(got.stdout)) == result.counts()
    assert np.load(tmp_path / "p.npy").tobytes() == result.probabilities().tobytes()

    got = vorn("convert", BELL, "--to", "2.0", "-o", tmp_path)
    assert_fails(got, 1, f"vorn: cannot write {tmp_path}: Is a directory\n")


def test_plot_without_matplotlib_still_prints_the_counts(tmp_path):
    # A package that fails to import stands in for a missing matplotlib.
    (tmp_path / "matplotlib").mkdir()
    (tmp_path / "matplotlib" / "__init__.py").write_text("raise ImportError('not installed')\n")
    got = vorn("run", BELL, "--seed", 2, "--plot", tmp_path / "h.png",
               env={"PYTHONPATH": os.pathsep.join([str(tmp_path)] + sys.path)})
    assert got.returncode == 2 and "Traceback" not in got.stderr
    assert "python3-matplotlib" in got.stderr and got.stderr.count("\n") == 1
    expected = run(Circuit.from_qasm(BELL.read_text()), seed=2).counts()
    assert dict((k, c) for k, c, _ in table_rows(got.stdout)) == expected
    assert not (tmp_path / "h.png").exists()


def long_program(n_qubits=24, layers=600):
    lines = ["OPENQASM 2.0;", 'include "qelib1.inc";', f"qreg q[{n_qubits}];", "h q;"]
    for layer in range(layers):
        lines += [f"rx(0.{layer + 1}) q[{layer % n_qubits}];",
                  f"cx q[{layer % n_qubits}],q[{(layer + 7) % n_qubits}];"]
    return "\n".join(lines) + "\n"


def start_long_run(tmp_path, stderr, *options):
    path = tmp_path / "long.qasm"
    path.write_text(long_program())
    return subprocess.Popen([sys.executable, "-m", "vorn", "run", path, *options],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr)


def read_for(fd, seconds, until=None):
    """What fd gives within `seconds` (or until `until` appears); an end of file stops early."""
    got = b""
    deadline = time.monotonic() + seconds
    try:
        while (until is None or until not in got) and time.monotonic() < deadline:
            if select.select([fd], [], [], 0.1)[0]:
                chunk = os.read(fd, 4096)
                if not chunk:
                    break
                got += chunk
    except OSError:
        pass  # a terminal whose process has ended
    return got


def interrupt(process):
    assert process.poll() is None, "the run ended before the interrupt"
    process.send_signal(signal.SIGINT)
    start = time.monotonic()
    try:
        status = process.wait(timeout=10)
    finally:
        process.kill()
    return status, time.monotonic() - start


@pytest.mark.parametrize("terminal, options, shows_time", [
    (True, (), True), (True, ("--json",), False), (False, (), False),
])
def test_ctrl_c_ends_a_long_run_at_once_and_time_shows_only_on_a_terminal(
    tmp_path, terminal, options, shows_time
):
    if terminal:
        reader, writer = pty.openpty()
    else:
        reader, writer = os.pipe()
    process = start_long_run(tmp_path, writer, *options)
    os.close(writer)
    # The time shows after half a second; a run that shows none is given two.
    shown = read_for(reader, 60 if shows_time else 2, until=b"running, ")
    assert (b"long.qasm: running, " in shown) == shows_time
    status, seconds = interrupt(process)
    assert status == 130 and seconds < 3
    shown += read_for(reader, 1)
    os.close(reader)
    assert b"Traceback" not in shown and process.stdout.read() == b""
    if not shows_time:
        assert shown == b""
