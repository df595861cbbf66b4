"""Expectation values of Pauli sums through the vorn package, against NumPy's Kronecker
products, and their bits across pool sizes."""
import os
import random
import textwrap

import numpy as np
import pytest

import vorn
import vorn_python
from pool_support import outputs_per_pool_size

PAULI = {
    "I": np.eye(2),
    "X": np.array([[0, 1], [1, 0]]),
    "Y": np.array([[0, -1j], [1j, 0]]),
    "Z": np.array([[1, 0], [0, -1]]),
}


def dense_matrix(label):
    """The matrix of a dense label, its rightmost letter on qubit 0."""
    m = np.array([[1.0]])
    for letter in label:
        m = np.kron(m, PAULI[letter])
    return m


def random_program(rng, n):
    c = vorn_python.Circuit(n)
    for _ in range(4 * n):
        q = rng.randrange(n)
        getattr(c, rng.choice(["h", "s", "t"]))(q)
        c.rx(rng.uniform(-3, 3), q)
        if n > 1:
            a, b = rng.sample(range(n), 2)
            c.cx(a, b)
    return c


@pytest.mark.parametrize("n", [1, 2, 5, 9, 12])
def test_every_letter_at_every_position_against_kronecker_products(n):
    rng = random.Random(n)
    circuit = random_program(rng, n)
    state = vorn_python.run(circuit, 0).statevector()
    labels = []
    for q in range(n):
        for letter in "XYZ":
            dense = ["I"] * n
            dense[n - 1 - q] = letter
            labels.append("".join(dense))
    labels += ["".join(rng.choice("IXYZ") for _ in range(n)) for _ in range(10)]
    for label in labels:
        expected = np.vdot(state, dense_matrix(label) @ state).real
        got = vorn.expectation(circuit, label)
        assert got == pytest.approx(expected, rel=1e-12, abs=1e-12)
        sparse = " ".join(f"{ch}{n - 1 - k}" for k, ch in enumerate(label) if ch != "I") or "I"
        assert vorn.expectation(circuit, sparse) == got


def test_sums_dicts_and_lists():
    rng = random.Random(3)
    circuit = random_program(rng, 4)
    state = vorn_python.run(circuit, 0).statevector()

    def value(terms):
        return sum(c * np.vdot(state, dense_matrix(lab) @ state).real for lab, c in terms)

    text = "0.5*Z0 Z1 - 1.25*X2 + Y3 + 1.5"
    terms = [("IIZZ", 0.5), ("IXII", -1.25), ("YIII", 1.0), ("IIII", 1.5)]
    assert vorn.expectation(circuit, text) == pytest.approx(value(terms), rel=1e-12)
    as_dict = vorn.expectation(circuit, vorn.Observable({"ZZII": 0.5, "XIII": -1.0}))
    assert as_dict == pytest.approx(value([("ZZII", 0.5), ("XIII", -1.0)]), rel=1e-12)
    # A plain list is a list of observables: here two, each one label with its coefficient.
    as_list = vorn.expectation(circuit, [("ZZII", 0.5), ("XIII", -1.0)])
    assert as_list == pytest.approx([value([("ZZII", 0.5)]), value([("XIII", -1.0)])], rel=1e-12)
    many = vorn.expectation(circuit, ["Z0", "Z1", vorn.Observable("X0")])
    assert many == [vorn.expectation(circuit, o) for o in ("Z0", "Z1", "X0")]


def test_qubit_order():
    c = vorn_python.Circuit(2)
    c.x(0)
    assert vorn.expectation(c, "IZ") == -1.0
    assert vorn.expectation(c, "Z0") == -1.0
    assert vorn.expectation(c, "ZI") == vorn.expectation(c, "Z1") == 1.0


def test_result_expectation_on_the_final_state():
    c = vorn_python.Circuit(3)
    c.h(0)
    c.cx(0, 1)
    r = vorn.run(c, shots=0)
    assert r.expectation("Z0 Z1") == pytest.approx(1.0)
    assert r.expectation(["X0 X1", "Z2"]) == pytest.approx([1.0, 1.0])


@pytest.mark.parametrize("precision", ["f64", "f32"])
def test_values_are_the_same_bits_for_every_pool_size(precision):
    script = textwrap.dedent(f"""
        import random, sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import vorn
        from test_expectation import random_program
        c = random_program(random.Random(7), 16)
        obs = ["Z0 Z1 + 0.3*X3 X4 - Y5 Y6 Z7", "X15 Y0", "XYZIXYZIXYZIXYZI", "1.25"]
        print([v.hex() for v in vorn.expectation(c, obs, {precision!r})])
        """)
    assert len(outputs_per_pool_size(script)) == 1


def test_refusals_name_the_term():
    c = vorn_python.Circuit(2)
    for text, words in [
        ("Z0 Z0", "Z0"),
        ("Q1", "Q"),
        ("1j*Z0", "1j"),
        ("0.5*Z0 +", ""),
    ]:
        with pytest.raises(ValueError, match=words):
            vorn.Observable(text)
    with pytest.raises(ValueError):
        vorn.expectation(c, "Z2")
    with pytest.raises(ValueError, match="Hermitian"):
        vorn.Observable({"Z": 1j})
    p = vorn.Program(1, 1)
    p.h(0)
    p.measure(0, 0)
    p.h(0)
    with pytest.raises(ValueError, match="measurement"):
        vorn.expectation(p, "Z0")
