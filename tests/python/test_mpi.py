"""vorn-mpi under mpirun: counts and written states against run() of the same file, the output
formats, and every failure's message and exit status. Each mpirun call runs under a timeout."""
import json
import os
import random
import struct
import subprocess

import numpy as np
import pytest

from vorn_python import Circuit, run

VORN_MPI = os.environ.get("VORN_MPI", "")
pytestmark = pytest.mark.skipif(
    not (VORN_MPI and os.path.exists(VORN_MPI)),
    reason="vorn-mpi is not built (MPI support off or not found); VORN_MPI names the binary",
)

TIMEOUT = 120
SEED = 20261208

# Open MPI refuses root without these two, which CI needs; elsewhere they change nothing.
MPI_ENV = dict(os.environ, OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1")
# --oversubscribe: more ranks than cores. The vader setting keeps shared-memory transfers working
# in containers that forbid cross-process memory access.
MPIRUN = ["mpirun", "--oversubscribe", "--mca", "btl_vader_single_copy_mechanism", "none"]


def mpirun(ranks, *args, stdin=None):
    return subprocess.run(
        MPIRUN + ["-n", str(ranks), VORN_MPI, *map(str, args)],
        env=MPI_ENV,
        input=stdin,
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )


ONE_QUBIT = ["h", "x", "y", "z", "s", "sdg", "t", "tdg", "id"]
ROTATIONS = ["rx", "ry", "rz"]


def random_program(n, gates, rng, non_finite=False):
    """Every gate kind, operands drawn over all qubits (the top ones are global under mpirun)."""
    lines = ["OPENQASM 2.0;", 'include "qelib1.inc";', f"qreg q[{n}];", f"creg c[{n}];"]

    def angle():
        if non_finite and rng.random() < 0.04:
            return rng.choice(["0/0", "1/0"])  # NaN and infinity
        return repr(rng.uniform(-4, 4))

    for _ in range(gates):
        qs = rng.sample(range(n), 3)
        kind = rng.randrange(6)
        if kind == 0:
            lines.append(f"{rng.choice(ONE_QUBIT)} q[{qs[0]}];")
        elif kind == 1:
            lines.append(f"{rng.choice(ROTATIONS)}({angle()}) q[{qs[0]}];")
        elif kind == 2:
            lines.append(f"u3({angle()}, {angle()}, {angle()}) q[{qs[0]}];")
        elif kind == 3:
            lines.append(f"{rng.choice(['cx', 'cz', 'swap'])} q[{qs[0]}], q[{qs[1]}];")
        else:
            lines.append(f"{rng.choice(['ccx', 'cswap'])} q[{qs[0]}], q[{qs[1]}], q[{qs[2]}];")
    lines.append("measure q -> c;")
    return "\n".join(lines) + "\n"


def qft_program(n):
    """The quantum Fourier transform from h, rz and cx, as the workloads write it."""
    lines = ["OPENQASM 2.0;", 'include "qelib1.inc";', f"qreg q[{n}];", f"creg c[{n}];"]
    for i in range(n):
        lines.append(f"x q[{i}];" if i % 3 == 0 else f"ry(0.3) q[{i}];")
    for i in reversed(range(n)):
        lines.append(f"h q[{i}];")
        for j in reversed(range(i)):
            half = repr(np.pi / 2 ** (i - j + 1))
            lines += [f"rz({half}) q[{j}];", f"cx q[{j}], q[{i}];", f"rz(-{half}) q[{i}];",
                      f"cx q[{j}], q[{i}];", f"rz({half}) q[{i}];"]
    lines.append("measure q -> c;")
    return "\n".join(lines) + "\n"


def layers_program(n, layers, rng):
    """Random rotation layers with CZ or CX between neighbours."""
    lines = ["OPENQASM 2.0;", 'include "qelib1.inc";', f"qreg q[{n}];", f"creg c[{n}];"]
    for layer in range(layers):
        for q in range(n):
            lines.append(f"{rng.choice(ROTATIONS)}({rng.uniform(0, 6.28)!r}) q[{q}];")
        gate = "cz" if layer % 4 < 2 else "cx"
        for q in range(layer % 2, n - 1, 2):
            lines.append(f"{gate} q[{q}], q[{q + 1}];")
    lines.append("measure q -> c;")
    return "\n".join(lines) + "\n"


def without_nan_sign(array):
    """The bytes of an array with every NaN's sign bit cleared."""
    single = array.dtype in (np.complex64, np.float32)
    floats = np.ascontiguousarray(array).view(np.float32 if single else np.float64)
    return np.where(np.isnan(floats), np.abs(floats), floats).tobytes()


def check_against_run(tmp_path, text, ranks, precision, shots=2000, nan_sign_free=False):
    path = tmp_path / "circuit.qasm"
    path.write_text(text)
    state_file = tmp_path / "state.npy"
    probabilities_file = tmp_path / "probabilities.npy"
    done = mpirun(ranks, path, "--shots", shots, "--seed", SEED, "--precision", precision, "--json",
                  "--statevector", state_file, "--probabilities", probabilities_file)
    assert done.returncode == 0, done.stderr
    got = json.loads(done.stdout)
    expected = run(Circuit.from_qasm(text), shots=shots, seed=SEED, precision=precision)
    assert got["counts"] == expected.counts()
    assert got["ranks"] == ranks and got["precision"] == precision
    state = np.load(state_file)
    probabilities = np.load(probabilities_file)
    assert state.dtype == expected.statevector().dtype
    assert probabilities.dtype == expected.probabilities().dtype
    if nan_sign_free:
        assert np.isnan(state.view(state.real.dtype)).any()
        assert without_nan_sign(state) == without_nan_sign(expected.statevector())
        assert without_nan_sign(probabilities) == without_nan_sign(expected.probabilities())
    else:
        assert state.tobytes() == expected.statevector().tobytes()
        assert probabilities.tobytes() == expected.probabilities().tobytes()


# ---- bit-identical to a single process --------------------------------------------------------


@pytest.mark.parametrize("ranks", [1, 2, 4])
@pytest.mark.parametrize("precision", ["f64", "f32"])
def test_random_circuits_of_every_gate_kind(tmp_path, ranks, precision):
    rng = random.Random(ranks * 10 + len(precision))
    for n in (5, 9):
        check_against_run(tmp_path, random_program(n, 120, rng), ranks, precision)


@pytest.mark.parametrize("ranks", [2, 4])
def test_workload_like_circuits(tmp_path, ranks):
    rng = random.Random(ranks)
    check_against_run(tmp_path, qft_program(12), ranks, "f64", shots=5000)
    check_against_run(tmp_path, layers_program(14, 6, rng), ranks, "f32", shots=5000)


@pytest.mark.parametrize("ranks", [2, 4])
@pytest.mark.parametrize("precision", ["f64", "f32"])
def test_nan_and_infinite_angles(tmp_path, ranks, precision):
    # Counts are identical; the state up to the sign of its NaNs, which the vectorised kernels
    # do not fix across vector lengths.
    rng = random.Random(7 + ranks)
    text = random_program(8, 60, rng, non_finite=True)
    text = text.replace("measure q -> c;", "rx(0/0) q[7];\nmeasure q -> c;")
    check_against_run(tmp_path, text, ranks, precision, nan_sign_free=True)


@pytest.mark.parametrize("precision", ["f64", "f32"])
def test_nan_states_exact_when_slices_take_the_parallel_path(tmp_path, precision):
    # From 8192 amplitudes per rank on, a slice goes through the same kernel path as the whole
    # state, so even the NaNs' signs and payloads are the single process's.
    rng = random.Random(15)
    text = random_program(15, 80, rng, non_finite=True)
    text = text.replace("measure q -> c;", "rx(0/0) q[14];\nmeasure q -> c;")
    check_against_run(tmp_path, text, 2, precision, shots=500)
    state = np.load(tmp_path / "state.npy")
    assert np.isnan(state.view(state.real.dtype)).any()


def test_global_phase_and_no_measurement(tmp_path):
    text = ('OPENQASM 3.0;\ninclude "stdgates.inc";\nqubit[6] q;\ngphase(0.7);\n'
            "h q[5];\ncx q[5], q[0];\n")
    expected = run(Circuit.from_qasm(text), shots=10, seed=1)
    path = tmp_path / "phase.qasm"
    path.write_text(text)
    done = mpirun(2, path, "--seed", 1, "--statevector", tmp_path / "s.npy")
    assert done.returncode == 0, done.stderr
    assert "no measurements: no counts\n" in done.stdout
    assert np.load(tmp_path / "s.npy").tobytes() == expected.statevector().tobytes()


# ---- expectation values ------------------------------------------------------------------------


def pauli_value(state, factors):
    """<state|P|state> by index arithmetic: P = i^y X^x Z^z, (P a)_i = i^y (-1)^|(i^x) & z| a_(i^x)."""
    state = state.astype(np.complex128)
    idx = np.arange(state.size)
    x = sum(1 << q for q, letter in factors.items() if letter in "XY")
    z = sum(1 << q for q, letter in factors.items() if letter in "ZY")
    y = sum(1 for letter in factors.values() if letter == "Y")
    source = idx ^ x
    parity = np.zeros(state.size, dtype=np.int64)
    for q in range(state.size.bit_length()):
        if (z >> q) & 1:
            parity ^= (source >> q) & 1
    return np.vdot(state, (1j ** y) * (1 - 2 * parity) * state[source]).real


def observable(terms):
    """The sparse text of [(coefficient, {qubit: letter})] and its value on a state."""
    text = " + ".join(
        f"{c!r}*" + " ".join(f"{letter}{q}" for q, letter in sorted(f.items())) if f else repr(c)
        for c, f in terms)
    return text, lambda state: sum(c * pauli_value(state, f) for c, f in terms)


def bits(value):
    return struct.pack("<d", value)


def expectations(tmp_path, text, ranks, precision, observables):
    path = tmp_path / "circuit.qasm"
    path.write_text(text)
    args = [path, "--shots", 100, "--seed", SEED, "--precision", precision, "--json"]
    for obs in observables:
        args += ["--expect", obs]
    done = mpirun(ranks, *args)
    assert done.returncode == 0, done.stderr
    got = json.loads(done.stdout)
    assert [e["observable"] for e in got["expectations"]] == list(observables)
    return [e["value"] for e in got["expectations"]]


@pytest.mark.parametrize("precision", ["f64", "f32"])
def test_expectations_are_the_same_bits_for_every_rank_count(tmp_path, precision):
    # Strings flipping the global qubits (7 and 8 under 4 ranks), local ones, Z-only ones with
    # global bits, Y phases, a constant and a dense label; values against NumPy on run()'s state.
    rng = random.Random(31 + len(precision))
    text = random_program(9, 150, rng)
    terms = [
        [(0.5, {0: "Z", 1: "Z"}), (-1.25, {2: "X"}), (1.0, {3: "Y"})],
        [(1.0, {8: "X", 7: "X"}), (1.0, {8: "Y", 7: "Y"}), (1.0, {8: "Z", 7: "Z"})],
        [(0.75, {8: "Y", 0: "X", 4: "Z"}), (-0.3, {7: "X", 5: "Y", 6: "Y"}), (2.0, {})],
        [(1.0, {8: "Z", 1: "Z"}), (0.1, {6: "X"})],
    ]
    observables = [observable(t) for t in terms]
    texts = [t for t, _ in observables]
    texts.append("0.25*XIIIIIIIY")
    state = run(Circuit.from_qasm(text), shots=0, seed=SEED, precision=precision).statevector()
    expected = [value(state) for _, value in observables]
    expected.append(0.25 * pauli_value(state, {8: "X", 0: "Y"}))
    seen = [expectations(tmp_path, text, ranks, precision, texts) for ranks in (1, 2, 4)]
    for values in seen[1:]:
        assert [bits(v) for v in values] == [bits(v) for v in seen[0]]
    np.testing.assert_allclose(seen[0], expected, rtol=0, atol=1e-12)


def test_expectations_over_slices_of_several_units_and_chunks(tmp_path):
    # 2^20 amplitudes: 2 ranks hold slices of 2^19 in two exchange chunks of 2^18 (f64), 4 ranks
    # one chunk each; units of 2^14 inside.
    text = layers_program(20, 3, random.Random(5))
    _, value = observable([(1.0, {19: "X", 18: "X"}), (1.0, {19: "Y", 18: "Y"})])
    texts = ["X19 X18 + Y19 Y18", "X19 Y17 - 0.5*Z18 X0", "Y18 Z19 + X15 Z3", "Z19 Z0 + Z17"]
    seen = [expectations(tmp_path, text, ranks, "f64", texts) for ranks in (1, 2, 4)]
    for values in seen[1:]:
        assert [bits(v) for v in values] == [bits(v) for v in seen[0]]
    state = run(Circuit.from_qasm(text), shots=0, seed=SEED).statevector()
    assert seen[0][0] == pytest.approx(value(state), abs=1e-12)


def test_expectation_lines_in_the_table_and_the_json_entry():
    args = ["--seed", 7, "--expect", "Z0 Z1", "--expect", "-0.5*XX + 2"]
    done = mpirun(2, "-", *args, "--json", stdin=BELL)
    obj = json.loads(done.stdout)
    assert list(obj) == ["file", "n_qubits", "n_cbits", "gates", "shots", "seed", "precision",
                         "threads", "ranks", "counts", "expectations", "times"]
    assert [e["observable"] for e in obj["expectations"]] == ["Z0 Z1", "-0.5*XX + 2"]
    values = [e["value"] for e in obj["expectations"]]
    # |amplitude|^2 of the Bell state is 0.5000000000000001 at f64.
    assert values == [pytest.approx(1.0, abs=1e-15), pytest.approx(1.5, abs=1e-15)]
    done = mpirun(2, "-", *args, stdin=BELL)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[-3:-1] == [f"<Z0 Z1> = {values[0]!r}", f"<-0.5*XX + 2> = {values[1]!r}"]
    assert lines[-1].startswith("read ")


@pytest.mark.parametrize(
    "args, message",
    [
        (["--expect", "Z0 + Z2"],
         "vorn-mpi: observable: qubit index 2 is not below the qubit count 2 in term 'Z2' at "
         "position 5"),
        (["--expect", "Z0", "--expect", "1j*X1"],
         "vorn-mpi: observable: complex coefficient '1j' (coefficients are real) in term "
         "'1j*X1' at position 0"),
        (["--expect"], "vorn-mpi: --expect needs an observable"),
    ],
)
def test_bad_observables_are_refused_before_the_run(args, message):
    done = mpirun(2, "-", *args, stdin=BELL)
    assert done.returncode == 2
    assert done.stderr.count(message) == 1 and done.stdout == ""


# ---- dynamic programs -----------------------------------------------------------------------


TELEPORT = """OPENQASM 3.0;
include "stdgates.inc";
qubit[3] q;
bit[2] m;
bit[1] r;
ry(0.7) q[0];
rz(0.4) q[0];
h q[1];
cx q[1], q[2];
cx q[0], q[1];
h q[0];
m[0] = measure q[0];
m[1] = measure q[1];
if (m[1] == 1) x q[2];
if (m[0] == 1) z q[2];
r[0] = measure q[2];
"""

# Resets of entangled qubits, one of them global under 2 and 4 ranks, then the gates go on.
RESETS = """OPENQASM 3.0;
include "stdgates.inc";
qubit[4] q;
bit[4] c;
h q[3];
cx q[3], q[0];
ry(1.1) q[2];
reset q[3];
cx q[2], q[3];
reset q[0];
h q[0];
c = measure q;
"""

# A mid-circuit measurement of the top qubit (global from 2 ranks on) whose outcome steers gates
# on the others, and a global qubit measured again after it was flipped back.
GLOBAL_MEASURE = """OPENQASM 3.0;
include "stdgates.inc";
qubit[5] q;
bit t;
bit[5] c;
ry(0.9) q[4];
cx q[4], q[1];
t = measure q[4];
if (t) { x q[4]; ry(0.3) q[0]; } else { h q[2]; }
cx q[0], q[3];
c = measure q;
"""


def many_branches(n):
    """Every qubit measured mid-circuit and reused: the shots split into up to 2^n branches."""
    lines = ["OPENQASM 3.0;", 'include "stdgates.inc";', f"qubit[{n}] q;", f"bit[{n}] m;",
             f"bit[{n}] c;"]
    for q in range(n):
        lines.append(f"ry({0.3 + 0.4 * q!r}) q[{q}];")
    for q in range(n):
        lines.append(f"m[{q}] = measure q[{q}];")
        lines.append(f"if (m[{q}]) rx(0.8) q[{(q + 1) % n}];")
        lines.append(f"cx q[{q}], q[{(q + 2) % n}];")
    lines.append("c = measure q;")
    return "\n".join(lines) + "\n"


# Dynamic, yet with one final state: the measured qubit is certain to give 1, and the reset
# qubit is certainly 0; a global phase comes last.
ONE_FINAL_STATE = """OPENQASM 3.0;
include "stdgates.inc";
qubit[4] q;
bit t;
bit[4] c;
gphase(0.4);
x q[3];
h q[0];
cx q[0], q[1];
t = measure q[3];
if (t) { ry(0.5) q[3]; rz(1.2) q[2]; }
reset q[2];
h q[2];
c = measure q;
"""


def vorn_run(path, shots, precision):
    import vorn

    return vorn.run(vorn.load(str(path)), shots, SEED, precision)


@pytest.mark.parametrize("ranks", [1, 2, 4])
@pytest.mark.parametrize(
    "name, text, precision",
    [("teleport", TELEPORT, "f64"), ("resets", RESETS, "f32"),
     ("global_measure", GLOBAL_MEASURE, "f64"), ("many_branches", many_branches(6), "f64")],
)
def test_dynamic_programs_count_as_vorn_run(tmp_path, ranks, name, text, precision):
    path = tmp_path / f"{name}.qasm"
    path.write_text(text)
    done = mpirun(ranks, path, "--shots", 3000, "--seed", SEED, "--precision", precision, "--json")
    assert done.returncode == 0, done.stderr
    got = json.loads(done.stdout)
    expected = vorn_run(path, 3000, precision).counts()
    assert got["counts"] == expected
    assert len(expected) > 1
    if name == "many_branches":
        assert len(expected) > 50


@pytest.mark.parametrize("ranks", [1, 2, 4])
@pytest.mark.parametrize("precision", ["f64", "f32"])
def test_dynamic_program_with_one_final_state_writes_it(tmp_path, ranks, precision):
    path = tmp_path / "one.qasm"
    path.write_text(ONE_FINAL_STATE)
    done = mpirun(ranks, path, "--shots", 500, "--seed", SEED, "--precision", precision, "--json",
                  "--statevector", tmp_path / "s.npy", "--probabilities", tmp_path / "p.npy")
    assert done.returncode == 0, done.stderr
    expected = vorn_run(path, 500, precision)
    assert json.loads(done.stdout)["counts"] == expected.counts()
    assert np.load(tmp_path / "s.npy").tobytes() == expected.statevector().tobytes()
    assert np.load(tmp_path / "p.npy").tobytes() == expected.probabilities().tobytes()


def test_dynamic_program_without_one_final_state_refuses_to_write_it(tmp_path):
    path = tmp_path / "teleport.qasm"
    path.write_text(TELEPORT)
    done = mpirun(2, path, "--seed", SEED, "--statevector", tmp_path / "s.npy")
    assert done.returncode == 1
    assert done.stderr.count("the final state depends on measurement outcomes") == 1
    assert not (tmp_path / "s.npy").exists()
    # The counts are still printed, as `vorn run` prints them.
    assert done.stdout.startswith(f"{path}: 3 qubits, 3 classical bits")


@pytest.mark.parametrize("ranks", [1, 2])
def test_a_loop_that_never_ends_stops_every_rank_with_one_message(tmp_path, ranks):
    # Every rank walks the same rounds (each measurement a collective step: 4 ranks on this
    # machine's two cores would take minutes) and stops at the same one.
    path = tmp_path / "spin.qasm"
    path.write_text('OPENQASM 3.0;\ninclude "stdgates.inc";\nqubit[3] q;\nbit c;\n'
                    "while (!c) { x q[2]; x q[2]; c = measure q[2]; }\n")
    done = mpirun(ranks, path, "--shots", "10", "--seed", SEED)
    assert (done.returncode, done.stdout) == (1, "")
    message = f"vorn-mpi: {path}: the 'while' loop at line 5:1 ran 1000000 rounds without ending"
    assert message in done.stderr.splitlines()
    assert done.stderr.count("rounds without ending") == 1


# ---- output --------------------------------------------------------------------------------------


BELL = ('OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[2];\ncreg c[2];\n'
        "h q[0];\ncx q[0], q[1];\nmeasure q -> c;\n")


def test_table_and_json_from_stdin():
    done = mpirun(2, "-", "--seed", 7, stdin=BELL)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == ("<stdin>: 2 qubits, 2 classical bits, 2 gates, f64, 2 ranks × 1 thread, "
                        "seed 7, state 64 B (32 B per rank)")
    assert lines[1] == "outcome  count   share"
    counts = run(Circuit.from_qasm(BELL), shots=1024, seed=7).counts()
    rows = sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))
    for line, (key, count) in zip(lines[2:4], rows):
        assert line.startswith(f"{key:<7}  {count:>5} {100 * count / 1024:6.2f}%  ")
    assert lines[4].startswith("read ") and ", simulate " in lines[4] and ", sample " in lines[4]

    done = mpirun(2, "-", "--seed", 7, "--json", stdin=BELL)
    obj = json.loads(done.stdout)
    assert list(obj) == ["file", "n_qubits", "n_cbits", "gates", "shots", "seed", "precision",
                         "threads", "ranks", "counts", "times"]
    assert list(obj["times"]) == ["read", "simulate", "sample", "run"]
    assert list(obj["counts"].items()) == rows
    assert done.stdout == json.dumps(obj) + "\n"


def test_seed_is_drawn_and_printed_when_not_given(tmp_path):
    done = mpirun(2, "-", "--json", stdin=BELL)
    obj = json.loads(done.stdout)
    assert obj["counts"] == run(Circuit.from_qasm(BELL), shots=1024, seed=obj["seed"]).counts()


# ---- failures ------------------------------------------------------------------------------------


def test_front_end_error_is_printed_once_with_status_2():
    text = "OPENQASM 2.0;\nqreg q[2];\nh q[2];\n"
    with pytest.raises(ValueError) as info:
        Circuit.from_qasm(text)
    done = mpirun(2, "-", stdin=text)
    assert done.returncode == 2
    assert done.stderr.count(str(info.value)) == 1 and done.stdout == ""


@pytest.mark.parametrize(
    "ranks, text, status, message",
    [
        (3, BELL, 2, "the number of ranks must be a power of two (got 3)"),
        (4, BELL, 2, "4 ranks need more than 2 qubits; this circuit has 2"),
        (4, BELL.replace("[2]", "[3]").replace("cx", "cz"), 2,
         "this circuit's two-target gates need 2"),
        (2, BELL.replace("[2]", "[44]"), 1,
         "rank 1 of 2 cannot hold its part of the state: cannot allocate the state vector of 43"),
    ],
)
def test_refusals_before_any_work(ranks, text, status, message):
    done = mpirun(ranks, "-", stdin=text)
    assert done.returncode == status, done.stderr
    assert done.stderr.count(message) == 1 and done.stdout == ""


def test_bad_arguments_and_unwritable_output(tmp_path):
    done = mpirun(1, "-", "--precision", "F64", stdin=BELL)
    assert done.returncode == 2
    assert "precision 은 'f32' 또는 'f64' 여야 합니다 (입력: \"F64\")" in done.stderr
    done = mpirun(2, tmp_path / "missing.qasm")
    assert done.returncode == 2 and done.stderr.count("cannot read") == 1
    done = mpirun(2, "-", "--statevector", tmp_path / "no" / "such" / "dir.npy", stdin=BELL)
    assert done.returncode == 1
    assert done.stderr.count("cannot write") == 1 and done.stdout == ""


@pytest.mark.parametrize("precision", ["f64", "f32"])
@pytest.mark.parametrize("width", [2, 4, 5])
def test_fused_runs_give_the_same_bits_for_any_rank_count(tmp_path, precision, width):
    """--fuse K: the written state is the same bytes on 1, 2 and 4 ranks, and the bytes of
    vorn.run(..., fusion=K) in one process."""
    import vorn

    rng = random.Random(width)
    path = tmp_path / "p.qasm"
    gates = random_program(7, 90, rng).splitlines()[:-1]
    path.write_text("\n".join(gates + qft_program(7).splitlines()[4:]) + "\n")
    # Eight ranks leave 4 local qubits, too few for width 5.
    rank_counts = (1, 2, 4, 8) if width <= 4 else (1, 2, 4)
    states = []
    for ranks in rank_counts:
        out = tmp_path / f"s{ranks}.npy"
        done = mpirun(ranks, path, "--seed", SEED, "--precision", precision, "--fuse", width,
                      "--statevector", out)
        assert done.returncode == 0, done.stderr
        states.append(np.load(out).tobytes())
    single = vorn.run(vorn.load(path), shots=0, precision=precision, fusion=width)
    assert states == [single.statevector().tobytes()] * len(rank_counts)


def controlled_program(n, rng):
    """Rotation layers, then gates of the controlled kernel with controls wanting 1 and 0 and
    targets anywhere, the top qubits (global on 2 to 8 ranks) included, then rotations again."""
    lines = ['OPENQASM 3.0;', 'include "stdgates.inc";', f"qubit[{n}] q;", f"bit[{n}] c;"]
    for q in range(n):
        lines.append(f"ry({rng.uniform(-3, 3)!r}) q[{q}];")
    gates = ["x", "h", f"rx({rng.uniform(-3, 3)!r})", f"U({rng.uniform(-3, 3)!r}, 0.4, -1.1)",
             f"p({rng.uniform(-3, 3)!r})", "inv @ s", "pow(3) @ t"]
    for round_ in range(12):
        qubits = rng.sample(range(n), rng.randint(2, 5))
        *controls, target = qubits
        if round_ % 4 == 0:
            target = n - 1 - round_ % 3  # a target at a global position
            controls = [q for q in controls if q != target] or [0]
        ones = rng.randint(0, len(controls))
        modifiers = []
        if ones:
            modifiers.append(f"ctrl({ones}) @")
        if len(controls) > ones:
            modifiers.append(f"negctrl({len(controls) - ones}) @")
        operands = ", ".join(f"q[{q}]" for q in controls + [target])
        lines.append(f"{' '.join(modifiers)} {rng.choice(gates)} {operands};")
        lines.append(f"rx({rng.uniform(-3, 3)!r}) q[{rng.randrange(n)}];")
    lines.append("c = measure q;")
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("precision", ["f64", "f32"])
def test_controlled_kernel_gates_give_the_same_bits_on_any_rank_count(tmp_path, precision):
    """Controls at global positions select the ranks that apply the gate: the written state is
    vorn.run's bytes exactly on 1, 2, 4 and 8 ranks, fused too, and the shots the same."""
    import vorn

    path = tmp_path / "ctrl.qasm"
    path.write_text(controlled_program(7, random.Random(31)))
    assert vorn.load(path).summary()["gates"]["mcu"] >= 8
    for fuse in ([], ["--fuse", "3"]):
        single = vorn.run(vorn.load(path), shots=600, seed=SEED, precision=precision,
                          fusion=int(fuse[1]) if fuse else 0)
        for ranks in (1, 2, 4, 8):
            out = tmp_path / f"s{ranks}.npy"
            done = mpirun(ranks, path, "--seed", SEED, "--shots", 600, "--precision", precision,
                          "--json", "--statevector", out, *fuse)
            assert done.returncode == 0, done.stderr
            assert np.load(out).tobytes() == single.statevector().tobytes(), (ranks, fuse)
            assert json.loads(done.stdout)["counts"] == single.counts()


def top_qubits_program(n, rng):
    """Rotation layers with gates on the top three qubits together (global from 8 ranks on):
    two- and three-qubit gates among them, and single-qubit gates on them a few gates apart."""
    lines = layers_program(n, 3, rng).splitlines()[:-1]
    top = [n - 1, n - 2, n - 3]
    for round_ in range(6):
        a, b, c = rng.sample(top, 3)
        lines += [f"u3({rng.uniform(-3, 3)!r}, {rng.uniform(-3, 3)!r}, 0.5) q[{a}];",
                  f"{rng.choice(['cx', 'cz', 'swap'])} q[{a}], q[{b}];",
                  f"ry({rng.uniform(-3, 3)!r}) q[{round_ % 3}];",
                  f"rx({rng.uniform(-3, 3)!r}) q[{c}];",
                  f"{rng.choice(['ccx', 'cswap'])} q[{c}], q[{a}], q[{b}];",
                  f"h q[{b}];", f"cx q[{round_}], q[{c}];"]
    lines.append("measure q -> c;")
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("precision", ["f64", "f32"])
@pytest.mark.parametrize("width", [2, 3, 4, 5])
def test_fused_group_exchanges_give_the_same_bits(tmp_path, precision, width):
    """Operations with several global targets, and global targets close together, come in by one
    exchange within a group of ranks: the state is still vorn.run(..., fusion=K)'s bytes on 1, 2,
    4 and 8 ranks, and the shots drawn from it the same."""
    import vorn

    path = tmp_path / "top.qasm"
    path.write_text(top_qubits_program(10, random.Random(40 + width)))
    single = vorn.run(vorn.load(path), shots=700, seed=SEED, precision=precision, fusion=width)
    for ranks in (1, 2, 4, 8):
        out = tmp_path / f"s{ranks}.npy"
        done = mpirun(ranks, path, "--seed", SEED, "--shots", 700, "--precision", precision,
                      "--fuse", width, "--json", "--statevector", out)
        assert done.returncode == 0, done.stderr
        assert np.load(out).tobytes() == single.statevector().tobytes(), ranks
        assert json.loads(done.stdout)["counts"] == single.counts()


# Gates on the top two qubits of ten and one on a local qubit: one dense operation with two
# global targets from 4 ranks on.
TOP_PAIR = ('OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[10];\nry(0.3) q[0];\n'
            "u3(0.1, 0.2, 0.3) q[9];\nu3(0.4, 0.5, 0.6) q[8];\ncx q[9], q[8];\nh q[1];\n")


@pytest.mark.parametrize("ranks, traded", [(1, 0), (2, 1 / 2), (4, 3 / 4), (8, 3 / 4)])
def test_two_global_targets_cost_one_group_exchange_each_way(tmp_path, ranks, traded):
    """With both targets global, each rank sends 3/4 of its slice to bring them in and as much to
    take them home (two pairwise exchanges each way would send the whole slice each way)."""
    import vorn

    out = tmp_path / "s.npy"
    done = subprocess.run(
        MPIRUN + ["-n", str(ranks), VORN_MPI, "-", "--fuse", "4", "--statevector", str(out)],
        env=dict(MPI_ENV, VORN_MPI_STATS="1"), input=TOP_PAIR, capture_output=True, text=True,
        timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr
    slice_bytes = 16 * 2 ** 10 // ranks
    exchanges = 2 if ranks > 1 else 0
    assert (f"exchange: {exchanges} exchanges, {int(2 * traded * slice_bytes)} bytes sent per "
            "rank (most)") in done.stderr
    single = vorn.run(vorn.Program.from_qasm(TOP_PAIR), shots=0, fusion=4)
    assert np.load(out).tobytes() == single.statevector().tobytes()


def test_fuse_without_a_width_and_its_refusals(tmp_path):
    path = tmp_path / "p.qasm"
    path.write_text(random_program(6, 30, random.Random(3)))
    done = mpirun(2, path, "--seed", SEED, "--fuse", "--json")
    assert done.returncode == 0, done.stderr
    assert sum(json.loads(done.stdout)["counts"].values()) == 1024
    path.write_text(random_program(4, 30, random.Random(3)))
    done = mpirun(2, path, "--fuse=7")
    assert done.returncode == 2 and "fusion width" in done.stderr
    done = mpirun(4, path, "--fuse", "3")
    assert done.returncode == 2 and "--fuse 3" in done.stderr


def test_fused_dynamic_programs_draw_the_same_shots_on_any_rank_count(tmp_path):
    import vorn

    path = tmp_path / "d.qasm"
    path.write_text(
        'OPENQASM 3.0;\ninclude "stdgates.inc";\nqubit[6] q;\nbit[6] c;\n'
        "h q[0];\ncx q[0], q[5];\nry(0.4) q[2];\nrx(1.1) q[4];\ncx q[4], q[1];\n"
        "c[0] = measure q[0];\nif (c[0]) { x q[3]; }\nrz(0.3) q[5];\ncx q[2], q[3];\n"
        "h q[2];\ncz q[5], q[1];\nc = measure q;\n")
    single = vorn.run(vorn.load(path), shots=500, seed=SEED, fusion=3).counts()
    for ranks in (1, 2, 4):
        done = mpirun(ranks, path, "--seed", SEED, "--shots", 500, "--fuse", 3, "--json")
        assert done.returncode == 0, done.stderr
        assert json.loads(done.stdout)["counts"] == single
