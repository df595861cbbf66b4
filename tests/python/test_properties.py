"""Property tests of the `vorn` package and the `vorn` command with arbitrary arguments: every
call either succeeds or raises one of the documented exceptions (TypeError, ValueError,
OverflowError, MemoryError); the command ends with status 0, 1 or 2 and never shows a
traceback."""
import contextlib
import io
import math
import os
import tempfile
from pathlib import Path

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import vorn  # noqa: E402
from vorn import cli  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
DOCUMENTED = (TypeError, ValueError, OverflowError, MemoryError)
# Enough examples to reach the odd corners, few enough that the file runs in seconds.
SETTINGS = settings(
    max_examples=150,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

# Any Python value an argument may be given: small and huge integers, special floats, text,
# bytes, containers, None and objects of no numeric kind.
anything = st.one_of(
    st.integers(-3, 6),
    st.integers(min_value=-(1 << 70), max_value=1 << 70),
    st.floats(allow_nan=True, allow_infinity=True),
    st.booleans(),
    st.none(),
    st.text(max_size=6),
    st.binary(max_size=4),
    st.complex_numbers(allow_nan=True),
    st.lists(st.integers(-2, 4), max_size=3),
    st.just(object()),
    st.just(np.int64(1)),
    st.just(np.float32(0.5)),
)

GATES = [
    "h", "x", "y", "z", "s", "sdg", "t", "tdg", "id", "rx", "ry", "rz",
    "cx", "cz", "swap", "ccx", "cswap", "measure", "reset", "unitary", "bit", "bits",
    "register", "to_qasm", "measure_all",
]  # fmt: skip


def outcome(fn, *args, **kwargs):
    """fn's value, or the documented exception it raised; anything else fails the test."""
    try:
        return fn(*args, **kwargs)
    except DOCUMENTED as e:
        assert str(e), f"{type(e).__name__} without a message"
        return e


@SETTINGS
@given(st.lists(st.tuples(st.sampled_from(GATES), st.lists(anything, max_size=4)), max_size=12))
def test_program_methods_take_any_arguments(calls):
    p = vorn.Program(3, 3)
    for name, args in calls:
        outcome(getattr(p, name), *args)
    # Whatever was added still forms a program that writes, summarises and runs.
    assert p.to_qasm("3.0").startswith("OPENQASM 3.0;")
    p.summary()
    r = vorn.run(p, shots=8, seed=1)
    assert sum(r.counts().values()) == 8


@SETTINGS
@given(anything, anything)
def test_program_sizes(num_qubits, num_bits):
    got = outcome(vorn.Program, num_qubits, num_bits)
    if isinstance(got, vorn.Program):
        assert got.num_qubits == num_qubits and got.num_bits == num_bits


# Shots are bounded here (huge counts are refused or merely slow); at f32 a draw past the rounded
# total of the probabilities lands on the last index, as the sampler specifies, so that an
# outcome of probability 0 appears about once in 10^7 shots: a few hundred shots never meet it.
shot_counts = st.one_of(
    st.integers(-3, 300),
    st.sampled_from([1 << 64, -(1 << 70), 2.0, "8", None, b"1", np.uint8(3)]),
)


@SETTINGS
@given(
    shot_counts,
    st.one_of(st.none(), st.integers(-1, 1 << 65), anything),
    st.one_of(st.sampled_from(["f32", "f64", "F64", "f16", ""]), anything),
)
def test_run_arguments(shots, seed, precision):
    p = vorn.Program(2, 2)
    p.h(0)
    p.measure(0, 0)
    p.cx(0, 1)
    p.measure(1, 1)
    got = outcome(vorn.run, p, shots=shots, seed=seed, precision=precision)
    if isinstance(got, vorn.Result):
        assert sum(got.counts().values()) == shots
        assert len(got.memory()) == shots
        assert set(got.counts()) <= {"00", "11"}


@SETTINGS
@given(st.one_of(anything, st.sampled_from([vorn.Program(1), "x", b"x", 3])))
def test_run_of_what_is_not_a_program(program):
    assert isinstance(outcome(vorn.run, program, shots=1, seed=0), (vorn.Result, TypeError))


# Texts made of the reader's words: mostly near-programs, which reach deep into the reader.
WORDS = [
    "OPENQASM 2.0;", "OPENQASM 3.0;", 'include "qelib1.inc";', 'include "stdgates.inc";',
    'include "missing.inc";', "qreg q[3];", "creg c[3];", "qubit[2] r;", "bit[2] b;", "h q[0];",
    "cx q[0],q[1];", "rx(pi/3) q[1];", "u3(0.1,0.2,0.3) q[2];", "measure q -> c;",
    "c[0] = measure q[1];", "reset q[0];", "if (c==1) x q[2];", "if (c[0]) { x q[1]; }",
    "else { z q[0]; }", "gate g(a) x { rz(a) x; }", "g(1e308) q[0];", "barrier q;", "{", "}",
    "(", ")", ";", "q[7]", "-", "nan", "1e999", "for", "while", "\x00", "é", "\t", "\n",
]  # fmt: skip
qasm_text = st.one_of(
    st.lists(st.sampled_from(WORDS), max_size=14).map(" ".join),
    st.text(max_size=40),
)


@SETTINGS
@given(qasm_text)
def test_from_qasm_of_any_text(text):
    got = outcome(vorn.Program.from_qasm, text)
    if isinstance(got, vorn.Program):
        written = got.to_qasm("3.0")
        assert vorn.Program.from_qasm(written).to_qasm("3.0") == written
        if got.num_qubits <= 12:
            r = outcome(vorn.run, got, shots=4, seed=3)
            # A program of no qubits is refused with a ValueError; any other runs.
            assert isinstance(r, vorn.Result) or got.num_qubits == 0
            if isinstance(r, vorn.Result):
                assert len(r.memory()) == 4


@SETTINGS
@given(st.one_of(qasm_text.map(str.encode), st.binary(max_size=40)))
def test_load_of_any_file(data):
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "program.qasm"
        path.write_bytes(data)
        got = outcome(vorn.load, path)
        if isinstance(got, vorn.Program):
            got.summary()


observable_text = st.text(alphabet="XYZI0123 +-*.e5jn", max_size=16)
observable_spec = st.one_of(
    observable_text,
    st.dictionaries(observable_text, anything, max_size=3),
    st.lists(st.tuples(anything, anything), max_size=3),
    st.lists(anything, max_size=3),
    anything,
)


@SETTINGS
@given(observable_spec, st.one_of(st.sampled_from(["f32", "f64"]), anything))
def test_observables_and_expectations(spec, precision):
    p = vorn.Program(3)
    p.h(0)
    p.cx(0, 1)
    p.ry(0.3, 2)
    obs = outcome(vorn.Observable, spec)
    if not isinstance(obs, vorn.Observable):
        return
    value = outcome(vorn.expectation, p, obs, precision=precision)
    if isinstance(value, float):
        # |<H>| is at most the sum of the coefficients' magnitudes.
        bound = sum(abs(c) for _, c in obs.terms)
        assert math.isnan(value) or abs(value) <= bound * (1 + 1e-9) + 1e-12


# ---- the command ----

OPTIONS = [
    "--shots", "--seed", "--precision", "--threads", "--transpile", "--json", "--all",
    "--statevector", "--probabilities", "--plot", "--top", "--expect", "--to", "-o", "--help",
    "-h", "--bogus",
]  # fmt: skip
VALUES = [
    "0", "1", "3", "-1", "18446744073709551616", "abc", "", "f32", "f64", "2.0", "3.0", "1e3",
    "Z0", "Z0 Z1", "Q9", "0.5*XX", "out.npy", "out.png", "out.txt", "sub/dir/out.npy",
    "/proc/forbidden.npy", ".",
]  # fmt: skip


@st.composite
def command_lines(draw):
    command = draw(st.sampled_from(["run", "info", "convert", "plot", "frobnicate", "--help"]))
    argv = [command]
    if draw(st.booleans()):
        argv.append(draw(st.sampled_from(["FILE", "BINARY", "MISSING", "DIR", "-", "JSON"])))
    for _ in range(draw(st.integers(0, 5))):
        argv.append(draw(st.sampled_from(OPTIONS)))
        if draw(st.integers(0, 3)):
            argv.append(draw(st.sampled_from(VALUES)))
    return argv


def run_command(argv, folder, text):
    """The command's status and output, run in this process (as the console script runs it)."""
    names = {
        "FILE": str(Path(folder) / "program.qasm"),
        "BINARY": str(Path(folder) / "binary.qasm"),
        "MISSING": str(Path(folder) / "missing.qasm"),
        "DIR": folder,
        "JSON": str(Path(folder) / "result.json"),
    }
    argv = [names.get(a, a) for a in argv]
    argv = [str(Path(folder) / a) if a.startswith(("out.", "sub/")) else a for a in argv]
    out, err = io.StringIO(), io.StringIO()
    status = None
    stdin = io.TextIOWrapper(io.BytesIO(text.encode()), encoding="utf-8")
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        old_stdin = os.sys.stdin
        os.sys.stdin = stdin
        try:
            status = cli.main(argv)
        except SystemExit as e:
            status = e.code
        finally:
            os.sys.stdin = old_stdin
    return status, out.getvalue(), err.getvalue()


@settings(SETTINGS, max_examples=120)
@given(command_lines(), qasm_text)
def test_command_lines(argv, text):
    with tempfile.TemporaryDirectory() as folder:
        Path(folder, "program.qasm").write_text(text)
        Path(folder, "binary.qasm").write_bytes(b"\xff\xfe\x00OPENQASM")
        Path(folder, "result.json").write_text('{"counts": {"0": 1}, "shots": "x"}')
        status, out, err = run_command(argv, folder, text)
    assert status in (0, 1, 2, None), (argv, status, err)
    assert "Traceback" not in out + err
    if status not in (0, None):
        # One clear message: the failure is said on standard error.
        assert err.strip(), (argv, status)


@pytest.mark.parametrize("example", ["bell.qasm", "teleport.qasm"])
@settings(SETTINGS, max_examples=40)
@given(st.data())
def test_mutated_examples(example, data):
    """Examples with spans deleted, repeated or replaced by reader words run, info and convert
    with a documented status."""
    text = (EXAMPLES / example).read_text()
    for _ in range(data.draw(st.integers(1, 3))):
        start = data.draw(st.integers(0, len(text)))
        end = data.draw(st.integers(start, min(len(text), start + 12)))
        action = data.draw(st.sampled_from(["delete", "repeat", "word"]))
        if action == "delete":
            text = text[:start] + text[end:]
        elif action == "repeat":
            text = text[:end] + text[start:end] + text[end:]
        else:
            text = text[:start] + data.draw(st.sampled_from(WORDS)) + text[end:]
    with tempfile.TemporaryDirectory() as folder:
        Path(folder, "program.qasm").write_text(text)
        for argv in (
            ["run", "FILE", "--shots", "16", "--seed", "1"],
            ["info", "FILE"],
            ["convert", "FILE", "--to", "2.0"],
        ):
            status, out, err = run_command(argv, folder, text)
            assert status in (0, 1, 2), (argv, status, err)
            assert "Traceback" not in out + err


# ---- what the fuzzers found ----


@pytest.mark.parametrize(
    "text, name, line, col",
    [
        ("OPENQASM 3;\nqubit q;\nbit extern = measure q;\n", "extern", 3, 5),
        ("OPENQASM 3.0;\nqubit[2] q;\nbit[2] let;\n", "let", 3, 8),
        ('OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[1];\ncreg int[1];\n', "int", 4, 6),
    ],
)
def test_bit_registers_named_by_reserved_words_are_refused(text, name, line, col):
    """The dynamic reading once took these, and then had no text to write them as."""
    what = "creg name" if "creg" in text else "bit name"
    with pytest.raises(ValueError) as raised:
        vorn.Program.from_qasm(text)
    assert str(raised.value) == (
        f"qasm parse error at line {line}:{col}: expected {what} identifier, got the reserved "
        f'word "{name}"'
    )
    # The specified reading keeps no register names, and reads them as before.
    if "OPENQASM 2.0" in text:
        from vorn_python import Circuit

        assert Circuit.from_qasm(text).num_qubits() == 1
