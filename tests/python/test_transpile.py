"""Circuit.transpile: the rules, the pass count, and random circuits whose probabilities survive."""

import math
import random

import numpy as np
import pytest

from vorn_python import Circuit, run


def ops(c):
    """The operation lines of the exported text (after the header and the registers)."""
    return [
        line
        for line in c.to_qasm().splitlines()[3:]
        if not line.startswith(("creg", "// global_phase"))
    ]


def circuit(n, *calls):
    c = Circuit(n)
    for name, *args in calls:
        getattr(c, name)(*args)
    return c


PI = math.pi

CASES = [
    ("empty", [], [], 1),
    ("nothing to do", [("h", 0), ("x", 1), ("cx", 0, 1)], ["h q[0];", "x q[1];", "cx q[0],q[1];"], 1),
    ("h h", [("h", 0), ("h", 0)], [], 2),
    ("s four times", [("s", 0)] * 4, [], 3),
    ("t t", [("t", 0), ("t", 0)], ["s q[0];"], 2),
    ("tdg tdg", [("tdg", 0), ("tdg", 0)], ["sdg q[0];"], 2),
    ("s sdg", [("s", 0), ("sdg", 0)], [], 2),
    ("sdg sdg", [("sdg", 1), ("sdg", 1)], ["z q[1];"], 2),
    ("h x h", [("h", 0), ("x", 0), ("h", 0)], ["z q[0];"], 2),
    ("h z h", [("h", 0), ("z", 0), ("h", 0)], ["x q[0];"], 2),
    ("h y h", [("h", 0), ("y", 0), ("h", 0)], ["h q[0];", "y q[0];", "h q[0];"], 1),
    ("rz fuse", [("rz", 0.5, 0), ("rz", 0.25, 0)], ["rz(0.75) q[0];"], 2),
    ("rz pi twice", [("rz", PI, 0), ("rz", PI, 0)], [], 2),
    ("rx 4pi", [("rx", 4 * PI, 0)], [], 2),
    ("rx tiny", [("rx", 1e-13, 0)], [], 2),
    ("rx nan", [("rx", math.nan, 0)], ["rx(NaN) q[0];"], 1),
    ("other qubit", [("rz", 0.5, 0), ("rz", 0.5, 1)], ["rz(0.5) q[0];", "rz(0.5) q[1];"], 1),
    ("h x1 h", [("h", 0), ("x", 1), ("h", 0)], ["h q[0];", "x q[1];", "h q[0];"], 1),
    ("h cx h", [("h", 0), ("cx", 0, 1), ("h", 0)], ["h q[0];", "cx q[0],q[1];", "h q[0];"], 1),
    (
        "h measure h",
        [("h", 0), ("measure", 0, 0), ("h", 0)],
        ["h q[0];", "measure q[0] -> c[0];", "h q[0];"],
        1,
    ),
    ("id", [("id", 0)], [], 2),
    ("z s s", [("z", 0), ("s", 0), ("s", 0)], [], 3),
]


@pytest.mark.parametrize("name, calls, after, passes", CASES, ids=[c[0] for c in CASES])
def test_rules(name, calls, after, passes):
    c = circuit(2, *calls)
    result = c.transpile()
    assert type(result) is int
    assert result == passes
    assert ops(c) == after


def test_max_iters():
    c = circuit(1, *[("s", 0)] * 4)
    assert c.transpile(max_iters=1) == 1
    assert ops(c) == ["z q[0];", "z q[0];"]

    c = circuit(1, *[("s", 0)] * 4)
    before = c.to_qasm()
    assert c.transpile(0) == 0
    assert c.to_qasm() == before

    with pytest.raises(OverflowError):
        c.transpile(-1)
    with pytest.raises(TypeError):
        c.transpile(1.0)
    assert c.to_qasm() == before


def test_identity_unitary_vanishes_and_the_phase_stays():
    c = Circuit(1)
    c.unitary(np.eye(2, dtype=np.complex128), 0)
    c.unitary(np.array([[0, 1], [1, 0]], dtype=np.complex128), 0)
    phase = c.global_phase
    assert c.transpile() == 2
    # rz(0), ry(0), rz(0) are dropped; X's rz(0) too, leaving its ry(π), rz(-π).
    assert ops(c) == ["ry(3.141592653589793) q[0];", "rz(-3.141592653589793) q[0];"]
    assert c.global_phase == phase


def test_registers_are_kept():
    c = circuit(3, ("measure", 2, 6), ("rz", 0.0, 1))
    c.transpile()
    assert c.num_qubits() == 3
    assert ops(c) == ["measure q[2] -> c[6];"]
    assert "creg c[7];" in c.to_qasm()


KINDS = ["h", "x", "y", "z", "s", "sdg", "t", "tdg", "id", "rx", "ry", "rz", "cx", "measure"]
ANGLES = [0.0, PI, -PI, 2 * PI, 4 * PI, PI / 2, -PI / 2, 1e-13, 0.25, -0.25, 1.0, 2 * PI - 0.25]


def random_reducible(rng, n):
    c = Circuit(n)
    for _ in range(rng.randint(1, 40)):
        kind = rng.choice(KINDS)
        q = rng.randrange(n)
        if kind in ("rx", "ry", "rz"):
            theta = rng.choice(ANGLES) if rng.random() < 0.8 else rng.uniform(-10, 10)
            getattr(c, kind)(theta, q)
        elif kind == "cx":
            if rng.random() < 0.25:
                c.cx(q, (q + 1) % n)
        elif kind == "measure":
            if rng.random() < 0.25:
                c.measure(q, q)
        else:
            getattr(c, kind)(q)
    return c


@pytest.mark.parametrize("seed", range(300))
def test_random_circuits_keep_their_probabilities(seed):
    rng = random.Random(seed)
    n = rng.choice([1, 2, 3])
    c = random_reducible(rng, n)
    before = run(c, shots=0).statevector()
    count = len(ops(c))

    passes = c.transpile()
    assert 1 <= passes < 16
    assert len(ops(c)) <= count
    # Converged: a second call changes nothing.
    reduced = c.to_qasm()
    assert c.transpile() == 1
    assert c.to_qasm() == reduced

    after = run(c, shots=0).statevector()
    np.testing.assert_allclose(np.abs(after) ** 2, np.abs(before) ** 2, atol=1e-12, rtol=0)
    # Dropped full turns (a rotation by 2π is −I) may flip the sign of the whole state.
    k = int(np.argmax(np.abs(before)))
    sign = 1.0 if (after[k] / before[k]).real > 0 else -1.0
    np.testing.assert_allclose(after, sign * before, atol=1e-12, rtol=0)
