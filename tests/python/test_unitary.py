"""Circuit.unitary: argument types, the checks in their order, the decomposition and the phase."""

import math

import numpy as np
import pytest

from vorn_python import Circuit, run

from conftest import random_unitary

I2 = np.eye(2, dtype=np.complex128)
X = np.array([[0, 1], [1, 0]], dtype=np.complex128)
S = np.array([[1, 0], [0, 1j]], dtype=np.complex128)
H = np.array([[1, 1], [1, -1]], dtype=np.complex128) / math.sqrt(2)


def ops(c):
    """The operation lines of the exported text (after the header, registers and phase)."""
    return [
        line
        for line in c.to_qasm().splitlines()[3:]
        if not line.startswith(("creg", "// global_phase"))
    ]


def angles(c):
    return [float(line[3 : line.index(")")]) for line in ops(c)]


def test_identity_appends_three_zero_rotations():
    c = Circuit(1)
    assert c.unitary(I2, 0) is None
    assert ops(c) == ["rz(0) q[0];", "ry(0) q[0];", "rz(0) q[0];"]
    assert c.global_phase == 0.0


def test_pauli_x_exactly():
    c = Circuit(2)
    c.unitary(X, 1)
    assert ops(c) == ["rz(0) q[1];", "ry(3.141592653589793) q[1];", "rz(-3.141592653589793) q[1];"]
    assert c.global_phase == 1.5707963267948966
    c.unitary(X, 1)
    assert len(ops(c)) == 6
    assert c.global_phase == 1.5707963267948966 + 1.5707963267948966


def test_phase_gate_s():
    c = Circuit(1)
    c.unitary(S, 0)
    delta, gamma, beta = angles(c)
    assert (delta, gamma) == (0.0, 0.0)
    assert beta == pytest.approx(math.pi / 2, abs=1e-15)
    assert c.global_phase == math.pi / 4


def test_not_unitary_message():
    c = Circuit(1)
    with pytest.raises(ValueError) as info:
        c.unitary(np.diag([2, 1]).astype(np.complex128), 0)
    assert str(info.value) == (
        "unitary: matrix is not unitary: (M·M†)[0,0] = 4+0i "
        "(expected 1+0i, |error|=3.000e0, tol=1.000e-10)"
    )
    with pytest.raises(ValueError) as info:
        c.unitary(np.array([[1, 0], [0.6j, 0.8]]), 0)
    assert str(info.value) == (
        "unitary: matrix is not unitary: (M·M†)[0,1] = 0+-0.6i "
        "(expected 0+0i, |error|=6.000e-1, tol=1.000e-10)"
    )
    assert ops(c) == [] and c.global_phase == 0.0


@pytest.mark.parametrize(
    "shape, shown", [((3, 3), "[3, 3]"), ((1, 4), "[1, 4]"), ((2, 4), "[2, 4]"), ((0, 2), "[0, 2]")]
)
def test_shape_message(shape, shown):
    c = Circuit(1)
    with pytest.raises(ValueError) as info:
        # Not unitary and on a bad qubit as well: the shape is checked first.
        c.unitary(np.full(shape, 3.0, dtype=np.complex128), 7)
    assert str(info.value) == f"unitary: matrix 는 2×2 여야 합니다 (입력 shape={shown})"


def test_checks_run_in_order_shape_unitarity_qubit():
    c = Circuit(1)
    with pytest.raises(ValueError, match=r"^unitary: matrix is not unitary: "):
        c.unitary(np.diag([2, 1]).astype(np.complex128), 5)
    with pytest.raises(ValueError) as info:
        c.unitary(I2, 1)
    assert str(info.value) == "unitary: qubit 인덱스 1 가 범위를 벗어남 (n_qubits=1)"
    # Without validation the out-of-range qubit is the first failure.
    with pytest.raises(ValueError, match="qubit 인덱스 5 가"):
        c.unitary(np.diag([2, 1]).astype(np.complex128), 5, validate=False)
    assert ops(c) == [] and c.global_phase == 0.0


def test_validate_false_accepts_any_matrix():
    c = Circuit(1)
    c.unitary(np.array([[1, 5], [0, 1]], dtype=np.complex128), 0, validate=False)
    assert angles(c) == [0.0, 0.0, 0.0]
    assert c.global_phase == 0.0
    c.unitary(np.zeros((2, 2), dtype=np.complex128), 0, False)
    assert angles(c) == [0.0] * 6


def test_nan_matrix_passes_the_check_and_gives_nan_angles():
    c = Circuit(1)
    c.unitary(np.full((2, 2), complex(math.nan, math.nan)), 0)
    assert ops(c)[1:] == ["ry(NaN) q[0];", "rz(NaN) q[0];"]
    assert math.isnan(c.global_phase)


@pytest.mark.parametrize(
    "matrix, validate",
    [
        ([[1, 0], [0, 1]], True),
        (np.eye(2, dtype=np.complex64), True),
        (np.eye(2, dtype=np.float64), True),
        (np.ones(4, dtype=np.complex128), True),
        (np.ones((2, 2, 1), dtype=np.complex128), True),
        (I2, 1),
        (I2, 0),
        (I2, None),
        (I2, "yes"),
    ],
)
def test_argument_types(matrix, validate):
    c = Circuit(1)
    with pytest.raises(TypeError):
        c.unitary(matrix, 0, validate)
    assert ops(c) == []


def test_accepted_argument_forms():
    c = Circuit(2)
    c.unitary(matrix=X, qubit=np.int64(1), validate=np.bool_(True))
    c.unitary(X, 1, validate=np.bool_(False))
    c.unitary(X.view(np.matrix), 0)
    assert len(ops(c)) == 9
    with pytest.raises(OverflowError):
        c.unitary(X, -1)


def build(matrix):
    c = Circuit(1)
    c.unitary(matrix, 0)
    return c.to_qasm("3"), c.global_phase


@pytest.mark.parametrize(
    "view",
    [
        lambda m: m.T,
        lambda m: m[::-1, ::-1],
        lambda m: m[::-1],
        lambda m: np.asfortranarray(m),
        lambda m: np.tile(m, (3, 4))[1::3, 1:5:3][::-1].T,
    ],
    ids=["transposed", "reversed", "rows-reversed", "fortran", "strided"],
)
def test_views_read_like_their_contiguous_copy(view):
    rng = np.random.default_rng(5)
    for _ in range(20):
        m = random_unitary(rng)
        v = view(m)
        copy = np.ascontiguousarray(v)
        assert build(v) == build(copy)
    # Entries are read by index, not in memory order: a transpose is the transposed matrix.
    assert build(H.T) == build(H)
    assert build(np.array([[1, 0], [0, 1j]]).T) == build(S)
    assert build(np.array([[0, 1j], [1, 0]]).T) == build(np.array([[0, 1], [1j, 0]]))


def test_random_unitaries_act_as_the_matrix():
    rng = np.random.default_rng(11)
    for trial in range(50):
        c = Circuit(3)
        for q in range(3):
            c.ry(float(rng.uniform(-3, 3)), q)
            c.rz(float(rng.uniform(-3, 3)), q)
        c.cx(0, 2)
        before = run(c, shots=0).statevector()
        q = int(rng.integers(3))
        m = random_unitary(rng)
        c.unitary(m, q)
        after = run(c, shots=0).statevector()
        # Apply m to qubit q of the earlier state directly.
        t = before.reshape(2 ** (2 - q), 2, 2**q)
        expected = np.einsum("ab,xby->xay", m, t).reshape(-1)
        np.testing.assert_allclose(after, expected, atol=1e-12, rtol=0)
