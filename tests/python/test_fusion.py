"""Gate fusion through the public API: vorn.run(..., fusion=k), vorn.expectation(..., fusion=k)
and `vorn run --fuse [K]`: accuracy against the exact f64 state, the same bits for every pool
size, the argument checks, and dynamic programs."""
import json
import math
import os
import random
import textwrap

import numpy as np
import pytest
import vorn
import vorn_python

from cli_support import vorn as vorn_cli
from pool_support import outputs_per_pool_size

WIDTHS = [2, 3, 4, 5]


def random_circuit(n, gates, seed):
    """Every gate kind of the Circuit, on random operands, with random angles."""
    rng = random.Random(seed)
    c = vorn_python.Circuit(n)
    one = ["h", "x", "y", "z", "s", "sdg", "t", "tdg"]
    rotations = ["rx", "ry", "rz"]
    for _ in range(gates):
        kind = rng.randrange(7)
        a, b, t = rng.sample(range(n), 3)
        if kind == 0:
            getattr(c, rng.choice(one))(a)
        elif kind == 1:
            getattr(c, rng.choice(rotations))(rng.uniform(-4, 4), a)
        elif kind == 2:
            # A general 2x2 unitary (U3's form; unitary() may add a global phase).
            theta, phi, lam = (rng.uniform(-4, 4) for _ in range(3))
            cos, sin = math.cos(theta / 2), math.sin(theta / 2)
            c.unitary(np.array([[cos, -np.exp(1j * lam) * sin],
                                [np.exp(1j * phi) * sin, np.exp(1j * (phi + lam)) * cos]]), a)
        elif kind == 3:
            c.cx(a, b)
        elif kind == 4:
            c.cz(a, b)
        elif kind == 5:
            c.swap(a, b)
        else:
            c.ccx(a, b, t) if rng.random() < 0.5 else c.cswap(a, b, t)
    return c


def fidelity(exact, fused):
    return abs(np.vdot(exact, fused.astype(np.complex128))) ** 2


@pytest.mark.parametrize("k", WIDTHS)
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_fused_state_keeps_fidelity_with_the_exact_state(k, seed):
    c = random_circuit(9, 150, seed)
    exact = vorn.run(c, shots=0).statevector()
    f64 = vorn.run(c, shots=0, fusion=k).statevector()
    f32 = vorn.run(c, shots=0, precision="f32", fusion=k).statevector()
    assert f64.dtype == np.complex128 and f32.dtype == np.complex64
    assert fidelity(exact, f64) >= 1 - 1e-12
    assert fidelity(exact, f32) >= 1 - 1e-5
    assert np.max(np.abs(exact - f64)) < 1e-12
    assert np.max(np.abs(exact - f32)) < 1e-5


def test_fusion_zero_and_false_are_the_exact_run_bit_for_bit():
    c = random_circuit(8, 80, 11)
    exact = vorn.run(c, shots=0).statevector().tobytes()
    assert vorn.run(c, shots=0, fusion=0).statevector().tobytes() == exact
    assert vorn.run(c, shots=0, fusion=False).statevector().tobytes() == exact
    assert vorn_python.run(c, shots=0).statevector().tobytes() == exact


def test_fusion_true_picks_a_width():
    c = random_circuit(7, 60, 12)
    exact = vorn.run(c, shots=0).statevector()
    for precision in ("f64", "f32"):
        state = vorn.run(c, shots=0, precision=precision, fusion=True).statevector()
        assert fidelity(exact, state) >= 1 - 1e-5


@pytest.mark.parametrize("bad", [1, 6, -1, 2**70])
def test_out_of_range_widths_are_refused(bad):
    c = random_circuit(3, 5, 1)
    with pytest.raises(ValueError, match="fusion must be 0"):
        vorn.run(c, fusion=bad)
    with pytest.raises(ValueError, match="fusion must be 0"):
        vorn.expectation(c, "Z0", fusion=bad)


@pytest.mark.parametrize("bad", ["4", 4.0, None, [4]])
def test_widths_that_are_not_integers_are_refused(bad):
    c = random_circuit(3, 5, 1)
    with pytest.raises(TypeError, match="fusion must be 0"):
        vorn.run(c, fusion=bad)
    with pytest.raises(TypeError, match="fusion must be 0"):
        vorn.expectation(c, "Z0", fusion=bad)


@pytest.mark.parametrize("k", [2, 5])
def test_expectation_with_fusion_is_close_to_the_exact_value(k):
    c = random_circuit(8, 100, 21)
    observables = ["Z0 Z1 + 0.5*X2 Y3", "X7", "Y4 Z6"]
    exact = vorn.expectation(c, observables)
    fused = vorn.expectation(c, observables, fusion=k)
    fused32 = vorn.expectation(c, observables, precision="f32", fusion=k)
    for e, f, g in zip(exact, fused, fused32):
        assert abs(e - f) < 1e-12
        assert abs(e - g) < 1e-5


@pytest.mark.parametrize("precision", ["f64", "f32"])
def test_same_bits_for_every_pool_size(precision):
    script = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import hashlib, vorn
        from test_fusion import random_circuit
        c = random_circuit(16, 300, 5)
        for k in (2, 3, 4, 5):
            state = vorn.run(c, shots=0, precision={precision!r}, fusion=k).statevector()
            print(k, hashlib.sha256(state.tobytes()).hexdigest())
        print(vorn.expectation(c, "Z0 Z1 + X3", precision={precision!r}, fusion=4).hex())
        """)
    assert len(outputs_per_pool_size(script)) == 1


def test_dynamic_programs_fuse_the_stretches_between_measurements():
    # Qubit 0, flipped to 1 apart from the others, is reset, flipped again and measured with a
    # certain outcome; a rotation conditioned on its bit follows: one branch, one final state.
    rng = random.Random(8)
    p = vorn.Program(5, 1)
    for q in range(1, 5):
        p.ry(rng.uniform(-3, 3), q)
    for q in range(1, 4):
        p.cx(q, q + 1)
    p.x(0)
    p.reset(0)
    p.x(0)
    p.measure(0, 0)
    with p.if_test(p.bit(0)):
        p.rz(0.7, 2)
    for q in range(1, 5):
        p.rx(rng.uniform(-3, 3), q)
    p.cz(0, 3)
    exact = vorn.run(p, shots=10, seed=3)
    for k in WIDTHS:
        fused = vorn.run(p, shots=10, seed=3, fusion=k)
        assert fused.counts() == exact.counts() == {"1": 10}
        assert fidelity(exact.statevector(), fused.statevector()) >= 1 - 1e-12


def test_a_loop_enters_its_fused_stretch_again_and_again():
    # Repeat until qubit 0 reads 0, rotating qubits 1-3 a little more each round: the shots run
    # from one to many rounds, each round the same fused stretch; the final measurement of all
    # four qubits depends on the number of rounds.
    text = """OPENQASM 3.0;
include "stdgates.inc";
qubit[4] q;
bit[4] c;
c[0] = 1;
while (c[0]) {
  reset q[0];
  h q[0];
  ry(0.4) q[1];
  cx q[1], q[2];
  rz(0.3) q[2];
  rx(0.2) q[3];
  cz q[2], q[3];
  c[0] = measure q[0];
}
c = measure q;
"""
    p = vorn.Program.from_qasm(text)
    exact = vorn.run(p, shots=400, seed=12).counts()
    assert len(exact) > 4
    for k in WIDTHS:
        assert vorn.run(p, shots=400, seed=12, fusion=k).counts() == exact


def test_the_command_fuses_with_and_without_a_width(tmp_path):
    path = tmp_path / "flip.qasm"
    path.write_text(
        'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[4];\ncreg c[4];\n'
        "h q[0];\ncx q[0],q[1];\nh q[0];\ncx q[0],q[1];\nx q[2];\nrz(0.3) q[3];\n"
        "measure q -> c;\n"
    )
    exact = vorn_cli("run", path, "--json", "--seed", "4")
    assert exact.returncode == 0, exact.stderr
    for options in (["--fuse"], ["--fuse", "3"], ["--fuse", "5", "--precision", "f32"]):
        done = vorn_cli("run", path, "--json", "--seed", "4", *options)
        assert done.returncode == 0, done.stderr
        assert json.loads(done.stdout)["counts"] == json.loads(exact.stdout)["counts"]
    for bad in ("1", "6", "x"):
        done = vorn_cli("run", path, "--fuse", bad)
        assert done.returncode == 2
        assert "fusion width" in done.stderr


def test_known_fusion_bugs_of_other_simulators():
    # X S X is S up to a global phase: the fused state keeps it.
    c = vorn_python.Circuit(2)
    c.h(0)
    c.cx(0, 1)
    c.x(1)
    c.s(1)
    c.x(1)
    exact = vorn.run(c, shots=0).statevector()
    expected = np.array([1j, 0, 0, 1], dtype=complex) / math.sqrt(2)
    for k in WIDTHS:
        fused = vorn.run(c, shots=0, fusion=k).statevector()
        assert np.max(np.abs(fused - exact)) < 1e-15
        assert np.max(np.abs(fused - expected)) < 1e-15
