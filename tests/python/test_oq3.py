"""OpenQASM 3 as the vorn package reads it: the extended gates and the modifiers against NumPy
matrices built here, each construct against the same program written out by hand and read by
vorn_python, inputs from the caller, and measurement-dependent code at run time."""
import json
import math

import numpy as np
import pytest

import vorn
import vorn_python
from cli_support import vorn as vorn_command



def expm_hermitian(p, a):
    """exp(i a P) for a Hermitian P, from its eigenvectors."""
    values, vectors = np.linalg.eigh(p)
    return vectors @ np.diag(np.exp(1j * a * values)) @ vectors.conj().T


I2 = np.eye(2, dtype=complex)
X = np.array([[0, 1], [1, 0]], dtype=complex)
Y = np.array([[0, -1j], [1j, 0]], dtype=complex)
Z = np.array([[1, 0], [0, -1]], dtype=complex)
H = np.array([[1, 1], [1, -1]], dtype=complex) / math.sqrt(2)
S = np.diag([1, 1j])
T = np.diag([1, np.exp(1j * math.pi / 4)])


def u3(theta, phi, lam):
    c, s = math.cos(theta / 2), math.sin(theta / 2)
    return np.array(
        [[c, -np.exp(1j * lam) * s], [np.exp(1j * phi) * s, np.exp(1j * (phi + lam)) * c]]
    )


def rx(t):
    return expm_hermitian(X, -t / 2)


def ry(t):
    return expm_hermitian(Y, -t / 2)


def rz(t):
    return expm_hermitian(Z, -t / 2)


def phase(t):
    return np.diag([1, np.exp(1j * t)])


SX = np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]]) / 2


def kron_ops(*factors):
    """The operator of factors given from qubit 0 up (qubit 0 is the least significant bit)."""
    out = np.array([[1]], dtype=complex)
    for f in factors:
        out = np.kron(f, out)
    return out


def controlled(u, n_controls=1, negated=()):
    """The matrix on (controls..., targets...) with qubit 0 the first control: u acts where
    every control is 1 (0 for the negated ones)."""
    k = int(round(math.log2(u.shape[0])))
    n = n_controls + k
    out = np.eye(2**n, dtype=complex)
    for i in range(2**n):
        for j in range(2**n):
            ci, cj = i & ((1 << n_controls) - 1), j & ((1 << n_controls) - 1)
            want = sum((0 if c in negated else 1) << c for c in range(n_controls))
            if ci == cj == want:
                out[i, j] = u[i >> n_controls, j >> n_controls]
            elif ci == cj and ci != want:
                out[i, j] = 1.0 if i == j else 0.0
            else:
                out[i, j] = 0.0
    return out


def unitary_of(n, call, prelude=""):
    """The matrix of a gate call on n qubits, one column per basis state, from vorn's final
    states."""
    columns = []
    for k in range(2**n):
        prep = "".join(f"x q[{b}];\n" for b in range(n) if (k >> b) & 1)
        text = f'OPENQASM 3.0;\ninclude "stdgates.inc";\n{prelude}qubit[{n}] q;\n{prep}{call}\n'
        columns.append(vorn.run(vorn.Program.from_qasm(text), shots=0).statevector())
    return np.array(columns).T


GATES = [
    ("rzz(0.7) q[0], q[1];", 2, lambda: expm_hermitian(np.kron(Z, Z), -0.35)),
    ("rxx(0.7) q[0], q[1];", 2, lambda: expm_hermitian(np.kron(X, X), -0.35)),
    ("ryy(0.7) q[0], q[1];", 2, lambda: expm_hermitian(np.kron(Y, Y), -0.35)),
    # Z on the first qubit argument (qubit 0), X on the second.
    ("rzx(0.7) q[0], q[1];", 2, lambda: expm_hermitian(kron_ops(Z, X), -0.35)),
    ("csx q[0], q[1];", 2, lambda: controlled(SX)),
    ("cs q[0], q[1];", 2, lambda: controlled(S)),
    ("cu(0.3, 0.5, 0.7, 0.9) q[0], q[1];", 2,
     lambda: controlled(np.exp(0.9j) * u3(0.3, 0.5, 0.7))),
    ("cp(0.4) q[0], q[1];", 2, lambda: controlled(phase(0.4))),
    ("cphase(0.4) q[0], q[1];", 2, lambda: controlled(phase(0.4))),
    ("crx(0.4) q[0], q[1];", 2, lambda: controlled(rx(0.4))),
    ("cry(0.4) q[0], q[1];", 2, lambda: controlled(ry(0.4))),
    ("crz(0.4) q[0], q[1];", 2, lambda: controlled(rz(0.4))),
    ("ch q[0], q[1];", 2, lambda: controlled(H)),
    ("cy q[0], q[1];", 2, lambda: controlled(Y)),
    ("sx q[0];", 1, lambda: SX),
    ("sxdg q[0];", 1, lambda: SX.conj().T),
    ("p(0.3) q[0];", 1, lambda: phase(0.3)),
    ("u1(0.3) q[0];", 1, lambda: phase(0.3)),
    ("u2(0.3, 0.5) q[0];", 1, lambda: u3(math.pi / 2, 0.3, 0.5)),
    ("u3(0.2, 0.3, 0.5) q[0];", 1, lambda: u3(0.2, 0.3, 0.5)),
    ("U(0.2, 0.3, 0.5) q[0];", 1, lambda: u3(0.2, 0.3, 0.5)),
    ("r(0.4, 0.3) q[0];", 1,
     lambda: expm_hermitian(math.cos(0.3) * X + math.sin(0.3) * Y, -0.2)),
    ("swap q[0], q[1];", 2, lambda: np.eye(4)[[0, 2, 1, 3]]),
    ("iswap q[0], q[1];", 2,
     lambda: np.array([[1, 0, 0, 0], [0, 0, 1j, 0], [0, 1j, 0, 0], [0, 0, 0, 1]])),
    ("ccz q[0], q[1], q[2];", 3, lambda: controlled(Z, 2)),
    ("cswap q[0], q[1], q[2];", 3, lambda: controlled(np.eye(4)[[0, 2, 1, 3]])),
    ("mcx q[0], q[1], q[2], q[3];", 4, lambda: controlled(X, 3)),
    ("c3x q[0], q[1], q[2], q[3];", 4, lambda: controlled(X, 3)),
    ("gphase(0.3);", 1, lambda: np.exp(0.3j) * I2),
]


@pytest.mark.parametrize("call,n,reference", GATES, ids=[g[0].split()[0] for g in GATES])
def test_gate_matrices_match_their_definitions(call, n, reference):
    np.testing.assert_allclose(unitary_of(n, call), reference(), atol=1e-12)


MODIFIED = [
    ("ctrl @ rz(0.6) q[0], q[1];", 2, lambda: controlled(rz(0.6))),
    ("negctrl @ h q[0], q[1];", 2, lambda: controlled(H, 1, negated=(0,))),
    ("ctrl(2) @ y q[0], q[1], q[2];", 3, lambda: controlled(Y, 2)),
    ("ctrl @ negctrl @ u3(0.2, 0.4, 0.8) q[0], q[1], q[2];", 3,
     lambda: controlled(u3(0.2, 0.4, 0.8), 2, negated=(1,))),
    ("ctrl(3) @ rx(0.9) q[0], q[1], q[2], q[3];", 4, lambda: controlled(rx(0.9), 3)),
    ("inv @ u3(0.2, 0.4, 0.8) q[0];", 1, lambda: u3(0.2, 0.4, 0.8).conj().T),
    ("inv @ s q[0];", 1, lambda: S.conj().T),
    ("pow(3) @ t q[0];", 1, lambda: np.linalg.matrix_power(T, 3)),
    ("pow(-2) @ sx q[0];", 1, lambda: np.linalg.matrix_power(SX.conj().T, 2)),
    ("pow(0.5) @ rx(0.8) q[0];", 1, lambda: rx(0.4)),
    ("pow(0.25) @ rzz(0.8) q[0], q[1];", 2, lambda: expm_hermitian(np.kron(Z, Z), -0.1)),
    ("ctrl @ gphase(0.5) q[0];", 1, lambda: phase(0.5)),
    ("ctrl @ swap q[0], q[1], q[2];", 3, lambda: controlled(np.eye(4)[[0, 2, 1, 3]])),
    ("inv @ ctrl @ g(0.3) q[0], q[1], q[2];", 3,
     lambda: controlled(np.exp(0.15j) * kron_ops(rx(0.3), S @ H)).conj().T),
]
# g acts on (a, b): h b, s b, rx(t) a, and a global phase of t / 2.
PRELUDE = "gate g(t) a, b { h b; s b; rx(t) a; gphase(t / 2); }\n"


@pytest.mark.parametrize("call,n,reference", MODIFIED, ids=[m[0] for m in MODIFIED])
def test_modifiers_match_reference_matrices(call, n, reference):
    np.testing.assert_allclose(unitary_of(n, call, PRELUDE), reference(), atol=1e-12)


def test_a_user_gate_shadows_a_builtin_one():
    text = 'include "stdgates.inc";\ngate cx a, b { h b; }\nqubit[2] q;\ncx q[0], q[1];'
    state = vorn.run(vorn.Program.from_qasm(text), shots=0).statevector()
    np.testing.assert_allclose(state, [1 / math.sqrt(2), 0, 1 / math.sqrt(2), 0], atol=1e-15)


def test_fractional_powers_outside_rotations_are_refused():
    with pytest.raises(ValueError, match=r"pow\(0.5\) of \"h\".*fractional power"):
        vorn.Program.from_qasm('include "stdgates.inc";\nqubit q;\npow(0.5) @ h q;')


# ---- each construct against the same program written out, read by vorn_python ----

WRITTEN_OUT = [
    # const, for over a range with a step, integer arithmetic in an index
    (
        "const int n = 4;\nqubit[n] q;\nfor int i in [0:2:n - 1] { h q[i]; cx q[i], q[i + 1]; }",
        "qreg q[4];\nh q[0];\ncx q[0],q[1];\nh q[2];\ncx q[2],q[3];",
    ),
    # a subroutine with classical and qubit arguments, called twice
    (
        "qubit[3] q;\ndef layer(qubit[3] r, float t) { for int i in [0:2] { ry(t * (i + 1)) r[i]; } }"
        "\nlayer(q, 0.3);\nlayer(q, 0.7);",
        "qreg q[3];\n" + "".join(f"ry({t * (i + 1)!r}) q[{i}];\n" for t in (0.3, 0.7) for i in range(3)),
    ),
    # while with break and continue, evaluated while reading
    (
        "qubit[2] q;\nint k = 0;\nwhile (true) { k += 1; if (k == 2) continue; if (k > 3) break; "
        "rx(k * 0.5) q[k % 2]; }",
        "qreg q[2];\nrx(0.5) q[1];\nrx(1.5) q[1];",
    ),
    # typed values: an angle rounded to its width, a uint that wraps
    (
        "qubit q;\nangle[4] a = pi / 3;\nuint[2] u = 3;\nu += 2;\nrz(a) q;\nrx(u) q;",
        f"qreg q[1];\nrz({3 / 16 * 2 * math.pi!r}) q[0];\nrx(1.0) q[0];",
    ),
    # box and timing change nothing; a bit-string constant drives read-time ifs
    (
        "qubit[3] q;\nconst bit[3] s = \"101\";\nbox { for int i in [0:2] { if (s[i]) x q[i]; } }"
        "\ndelay[100ns] q;",
        "qreg q[3];\nx q[0];\nx q[2];",
    ),
    # inv and pow of built-in gates write out as their inverses and repetitions
    (
        "qubit[2] q;\nh q[0];\ninv @ t q[0];\npow(2) @ s q[1];\ninv @ rx(0.3) q[1];",
        "qreg q[2];\nh q[0];\ntdg q[0];\ns q[1];\ns q[1];\nrx(-0.3) q[1];",
    ),
]


@pytest.mark.parametrize("oq3,oq2", WRITTEN_OUT, ids=[f"case{k}" for k in range(len(WRITTEN_OUT))])
def test_constructs_equal_their_written_out_programs_bit_for_bit(oq3, oq2):
    ours = vorn.run(
        vorn.Program.from_qasm('OPENQASM 3.0;\ninclude "stdgates.inc";\n' + oq3), shots=0
    ).statevector()
    reference = vorn_python.run(
        vorn_python.Circuit.from_qasm('OPENQASM 2.0;\ninclude "qelib1.inc";\n' + oq2), 0, 1
    ).statevector()
    assert ours.tobytes() == reference.tobytes()


def test_multi_controlled_gates_equal_their_definition_within_tolerance():
    # ctrl(3) @ x on a superposition against a NumPy state of the same program.
    text = (
        'include "stdgates.inc";\nqubit[4] q;\nh q[0];\nh q[1];\nh q[2];\nry(0.3) q[3];\n'
        "ctrl(3) @ x q[0], q[1], q[2], q[3];"
    )
    state = vorn.run(vorn.Program.from_qasm(text), shots=0).statevector()
    psi = np.zeros(16, dtype=complex)
    psi[0] = 1
    psi = kron_ops(H, H, H, ry(0.3)) @ psi
    psi = controlled(X, 3) @ psi
    np.testing.assert_allclose(state, psi, atol=1e-12)


# ---- inputs and outputs ----

INPUT_PROGRAM = 'include "stdgates.inc";\ninput float theta;\ninput int n;\nqubit q;\nrx(theta * n) q;'


def test_inputs_come_from_the_caller(tmp_path):
    p = vorn.Program.from_qasm(INPUT_PROGRAM, inputs={"theta": 0.25, "n": 2})
    state = vorn.run(p, shots=0).statevector()
    np.testing.assert_allclose(state, rx(0.5)[:, 0], atol=1e-15)
    path = tmp_path / "in.qasm"
    path.write_text(INPUT_PROGRAM + "\nbit b = measure q;")
    loaded = vorn.load(path, inputs={"theta": math.pi, "n": 1})
    assert vorn.run(loaded, shots=50, seed=1).counts() == {"1": 50}
    with pytest.raises(ValueError, match=r'input "theta" at line 2:1 has no value'):
        vorn.Program.from_qasm(INPUT_PROGRAM)
    with pytest.raises(ValueError, match=r'"phi", which no \'input\' declaration names'):
        vorn.Program.from_qasm(INPUT_PROGRAM, inputs={"theta": 1, "n": 1, "phi": 2})
    with pytest.raises(TypeError, match="must be a number"):
        vorn.Program.from_qasm(INPUT_PROGRAM, inputs={"theta": "x", "n": 1})


def test_vorn_run_takes_inputs(tmp_path):
    path = tmp_path / "in.qasm"
    path.write_text(INPUT_PROGRAM + "\nbit b = measure q;")
    got = vorn_command("run", path, "--json", "--seed", 3, "--shots", 40,
                       "--input", f"theta={math.pi!r}", "--input", "n=1")
    assert got.returncode == 0, got.stderr
    assert json.loads(got.stdout)["counts"] == {"1": 40}
    missing = vorn_command("run", path, "--input", "n=1")
    assert missing.returncode == 2
    assert 'input "theta"' in missing.stderr
    bad = vorn_command("run", path, "--input", "theta")
    assert bad.returncode == 2
    assert "NAME=VALUE" in bad.stderr


def test_output_declarations_select_the_reported_bits():
    text = (
        'include "stdgates.inc";\nqubit[2] q;\nbit scratch;\noutput bit[2] result;\nx q[1];\n'
        "scratch = measure q[0];\nresult = measure q;"
    )
    assert vorn.run(vorn.Program.from_qasm(text), shots=20, seed=1).counts() == {"10": 20}


# ---- measurement-dependent code at run time ----


def test_bit_assignments_copy_measured_bits():
    text = (
        'include "stdgates.inc";\nqubit q;\nbit[2] c;\nh q;\nc[0] = measure q;\nc[1] = c[0];\n'
    )
    counts = vorn.run(vorn.Program.from_qasm(text), shots=2000, seed=5).counts()
    assert set(counts) == {"00", "11"}
    # Each half within 5 standard deviations of 1000.
    assert abs(counts["11"] - 1000) < 5 * math.sqrt(500)


def test_repeat_until_success_loops_until_its_flags_clear():
    # The loop ends when both measured flags are 0; a flag set with probability 1/2 per round.
    text = (
        'include "stdgates.inc";\nqubit[2] a;\nbit[2] f = "11";\nint rounds = 0;\n'
        "while (f != 0) { reset a; h a; f = measure a; }\n"
    )
    counts = vorn.run(vorn.Program.from_qasm(text), shots=500, seed=2).counts()
    assert counts == {"00": 500}


def test_a_run_time_loop_that_never_ends_is_stopped_and_named(tmp_path):
    # The measured bit is always 0: the test never fails. The run stops after 10^6 rounds,
    # naming the loop, its line and the file it is in; `vorn run` reports it with status 1.
    (tmp_path / "spin.inc").write_text(
        "def spin(qubit q) -> bit {\n  bit c;\n  c = measure q;\n"
        "  while (!c) { x q; x q; c = measure q; }\n  return c;\n}\n"
    )
    main = tmp_path / "main.qasm"
    main.write_text('OPENQASM 3.0;\ninclude "stdgates.inc";\ninclude "spin.inc";\nqubit q;\n'
                    "bit r;\nr = spin(q);\n")
    spin = tmp_path / "spin.inc"
    expected = f"the 'while' loop at line 4:3 of \"{spin}\" ran 1000000 rounds without ending"
    for shots in (0, 7):
        with pytest.raises(RuntimeError) as caught:
            vorn.run(vorn.load(main), shots=shots, seed=1)
        assert str(caught.value) == expected
    done = vorn_command("run", main, "--shots", "5")
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == f"vorn: {main}: {expected}\n"


def test_the_corpus_repeat_until_success_program_gives_zero():
    from test_dynamic_corpus import REFUSED

    counts = vorn.run(vorn.load(REFUSED / "oq3_rus.qasm"), shots=300, seed=4).counts()
    # Keys: output_qubit then flags; the output is 0 and the flags cleared, every shot.
    assert counts == {"0 00": 300}


# ---- gates under controls run on the controlled kernel ----

# Every qubit rotated away from the axes: no amplitude is zero, so X under controls only moves
# amplitudes, and any composition of such moves gives the same bytes.
def _spread(n):
    return "".join(f"ry({0.3 + 0.2 * k!r}) q[{k}];\nrz({0.1 + 0.3 * k!r}) q[{k}];\n" for k in range(n))


HEADER3 = 'OPENQASM 3.0;\ninclude "stdgates.inc";\n'
HEADER2 = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'


@pytest.mark.parametrize(
    "oq3,oq2",
    [
        ("ctrl(2) @ x q[0], q[1], q[2];", "ccx q[0],q[1],q[2];"),
        ("negctrl(2) @ x q[3], q[1], q[0];",
         "x q[3];\nx q[1];\nccx q[3],q[1],q[0];\nx q[3];\nx q[1];"),
        ("ctrl @ negctrl @ x q[2], q[0], q[3];", "x q[0];\nccx q[2],q[0],q[3];\nx q[0];"),
        ("ctrl @ x q[3], q[0];", "cx q[3],q[0];"),
    ],
    ids=["ctrl2", "negctrl2", "mixed", "ctrl1"],
)
def test_controlled_x_equals_its_written_out_program_bit_for_bit(oq3, oq2):
    ours = vorn.run(vorn.Program.from_qasm(HEADER3 + "qubit[4] q;\n" + _spread(4) + oq3),
                    shots=0).statevector()
    reference = vorn_python.run(
        vorn_python.Circuit.from_qasm(HEADER2 + "qreg q[4];\n" + _spread(4) + oq2), 0, 1
    ).statevector()
    assert ours.tobytes() == reference.tobytes()


def test_many_controls_on_x_permute_the_amplitudes_exactly():
    # ctrl(3) @ negctrl(2) @ x exchanges the two amplitudes whose controls read 1,1,1,0,0, to the
    # bit: the state before it, read by vorn_python, with those two entries swapped in NumPy.
    before = vorn_python.run(
        vorn_python.Circuit.from_qasm(HEADER2 + "qreg q[6];\n" + _spread(6)), 0, 1
    ).statevector()
    after = vorn.run(
        vorn.Program.from_qasm(
            HEADER3 + "qubit[6] q;\n" + _spread(6)
            + "ctrl(3) @ negctrl(2) @ x q[5], q[0], q[2], q[4], q[1], q[3];"
        ),
        shots=0,
    ).statevector()
    expected = before.copy()
    base = (1 << 5) | (1 << 0) | (1 << 2)
    expected[base], expected[base | (1 << 3)] = before[base | (1 << 3)], before[base]
    assert after.tobytes() == expected.tobytes()
    assert after.tobytes() != before.tobytes()


@pytest.mark.parametrize(
    "oq3,oq2",
    [
        ("ctrl @ U(0.3, 0.5, 0.7) q[1], q[2];", "cu3(0.3,0.5,0.7) q[1],q[2];"),
        ("negctrl @ U(1.1, -0.4, 2.0) q[0], q[3];",
         "x q[0];\ncu3(1.1,-0.4,2.0) q[0],q[3];\nx q[0];"),
        ("ctrl @ inv @ U(0.3, 0.5, 0.7) q[3], q[0];", "cu3(-0.3,-0.7,-0.5) q[3],q[0];"),
        ("ctrl @ rz(0.8) q[2], q[1];", "crz(0.8) q[2],q[1];"),
        ("ctrl @ p(0.6) q[0], q[2];", "cu1(0.6) q[0],q[2];"),
    ],
    ids=["U", "negctrl-U", "inv-U", "rz", "p"],
)
def test_controlled_single_target_gates_equal_their_written_out_programs(oq3, oq2):
    ours = vorn.run(vorn.Program.from_qasm(HEADER3 + "qubit[4] q;\n" + _spread(4) + oq3),
                    shots=0).statevector()
    reference = vorn_python.run(
        vorn_python.Circuit.from_qasm(HEADER2 + "qreg q[4];\n" + _spread(4) + oq2), 0, 1
    ).statevector()
    np.testing.assert_allclose(ours, reference, atol=1e-12)


CONTROLLED_PROGRAM = HEADER3 + (
    "qubit[5] q;\nbit[5] c;\n" + "".join(f"h q[{k}];\n" for k in range(5))
    + "ctrl(4) @ x q[0], q[1], q[2], q[3], q[4];\n"
    "negctrl(2) @ ctrl @ rx(0.3) q[4], q[2], q[0], q[1];\n"
    "ctrl(2) @ u3(0.2, 0.4, 0.8) q[0], q[1], q[3];\n"
    "ctrl @ negctrl @ pow(2) @ h q[0], q[1], q[2];\n"
    "inv @ ctrl(3) @ s q[4], q[3], q[2], q[1];\n"
    "c = measure q;\n"
)


def test_controlled_gates_are_counted_and_written_back_exactly():
    program = vorn.Program.from_qasm(CONTROLLED_PROGRAM)
    assert program.summary()["gates"]["mcu"] == 5
    text = program.to_qasm()
    again = vorn.Program.from_qasm(text)
    # The text names each gate's angles exactly: reading it back gives the same instructions,
    # hence the same text and the same bits.
    assert again.to_qasm() == text
    assert again.summary() == program.summary()
    first = vorn.run(program, shots=0).statevector()
    second = vorn.run(again, shots=0).statevector()
    assert first.tobytes() == second.tobytes()
    with pytest.raises(Exception, match="ctrl or negctrl"):
        program.to_qasm("2.0")
