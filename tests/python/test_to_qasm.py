"""Circuit.to_qasm: version selection, both dialects, angle text, and the round trip through
Circuit.from_qasm."""

import math
import random
import struct
from decimal import Decimal

import numpy as np
import pytest

from vorn_python import Circuit, run

from conftest import random_unitary

HEADER2 = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'
HEADER3 = 'OPENQASM 3.0;\ninclude "stdgates.inc";\n'
VERSION_MESSAGE = "to_qasm: version 은 '2.0' 또는 '3.0' 이어야 합니다 (입력: {})"


def bell():
    c = Circuit(2)
    c.h(0)
    c.cx(0, 1)
    c.measure_all()
    return c


def test_bell_circuit_in_both_dialects():
    c = bell()
    assert c.to_qasm() == (
        HEADER2 + "qreg q[2];\ncreg c[2];\nh q[0];\ncx q[0],q[1];\n"
        "measure q[0] -> c[0];\nmeasure q[1] -> c[1];\n"
    )
    assert c.to_qasm("3.0") == (
        HEADER3 + "qubit[2] q;\nbit[2] c;\nh q[0];\ncx q[0],q[1];\n"
        "c[0] = measure q[0];\nc[1] = measure q[1];\n"
    )


def test_version_spellings():
    c = bell()
    assert c.to_qasm("2") == c.to_qasm() == c.to_qasm("2.0") == c.to_qasm(version="2.0")
    assert c.to_qasm("3") == c.to_qasm("3.0") == c.to_qasm(version="3")
    assert c.to_qasm("3") != c.to_qasm("2")


@pytest.mark.parametrize(
    "version, shown",
    [
        ("2.0 ", '"2.0 "'),
        ("", '""'),
        ("4.0", '"4.0"'),
        ("2.00", '"2.00"'),
        ("3.1", '"3.1"'),
        ("v3", '"v3"'),
        ("3.0\n", '"3.0\\n"'),
        ('2"', '"2\\""'),
        ("\\", '"\\\\"'),
        ("\t\r\0", '"\\t\\r\\0"'),
        ("\x01\x7f", '"\\u{1}\\u{7f}"'),
        ("버전 3", '"버전 3"'),
    ],
)
def test_refused_versions_are_quoted_in_the_message(version, shown):
    c = bell()
    with pytest.raises(ValueError) as info:
        c.to_qasm(version)
    assert str(info.value) == VERSION_MESSAGE.format(shown)


@pytest.mark.parametrize("version", [2, 3.0, b"2.0", None])
def test_version_of_another_type_is_a_type_error(version):
    with pytest.raises(TypeError):
        bell().to_qasm(version)


def test_registers_and_the_phase_line():
    assert Circuit(3).to_qasm() == HEADER2 + "qreg q[3];\n"
    assert Circuit(0).to_qasm("3") == HEADER3 + "qubit[0] q;\n"

    c = Circuit(2)
    c.measure(1, 4)
    assert c.to_qasm() == HEADER2 + "qreg q[2];\ncreg c[5];\nmeasure q[1] -> c[4];\n"
    assert c.to_qasm("3") == HEADER3 + "qubit[2] q;\nbit[5] c;\nc[4] = measure q[1];\n"

    x = Circuit(1)
    x.unitary(np.array([[0, 1], [1, 0]], dtype=np.complex128), 0)
    rotations = "rz(0) q[0];\nry(3.141592653589793) q[0];\nrz(-3.141592653589793) q[0];\n"
    assert x.to_qasm() == (
        HEADER2 + "qreg q[1];\n// global_phase: 1.5707963267948966\n" + rotations
    )
    assert x.to_qasm("3") == HEADER3 + "qubit[1] q;\ngphase(1.5707963267948966);\n" + rotations


def test_angle_table():
    cases = [
        (0.5, "0.5"),
        (1.0, "1"),
        (math.pi, "3.141592653589793"),
        (-math.pi / 2, "-1.5707963267948966"),
        (0.1 + 0.2, "0.30000000000000004"),
        (1e-7, "0.0000001"),
        (1e21, "1000000000000000000000"),
        (-0.0, "-0"),
        (math.nan, "NaN"),
        (math.inf, "inf"),
        (-math.inf, "-inf"),
    ]
    c = Circuit(1)
    for theta, _ in cases:
        c.rx(theta, 0)
    lines = c.to_qasm().splitlines()[3:]
    assert lines == [f"rx({text}) q[0];" for _, text in cases]


def positional(x):
    """repr's shortest digits, laid out without exponent and without a trailing '.0'."""
    return format(Decimal(repr(x)).normalize(), "f")


def test_angles_have_reprs_digits_for_random_doubles_of_every_magnitude():
    rng = random.Random(20240601)
    values = []
    while len(values) < 100_000:
        x = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if math.isfinite(x):
            values.append(x)
    c = Circuit(1)
    for x in values:
        c.rz(x, 0)
    lines = c.to_qasm().splitlines()[3:]
    assert len(lines) == len(values)
    for x, line in zip(values, lines):
        text = line[len("rz(") : -len(") q[0];")]
        assert text == positional(x), repr(x)
        assert "e" not in text and not text.endswith(".0")
        back = float(text)
        assert struct.pack("<d", back) == struct.pack("<d", x)


ROUND_TRIP_GATES = [
    "h", "x", "y", "z", "s", "sdg", "t", "tdg", "id", "rx", "ry", "rz", "u3",
    "cx", "cz", "swap", "ccx", "cswap", "measure", "measure_all", "unitary",
]


def random_angle(rng):
    # Every magnitude that reads back (whole numbers of 2^63 or more do not).
    return rng.choice([-1, 1]) * rng.random() * 10.0 ** rng.randint(-12, 12)


def random_circuit(rng, n):
    """A random circuit using every gate kind; U3 only comes from OpenQASM text."""
    lines = []
    for _ in range(rng.randint(0, 30)):
        name = rng.choice(ROUND_TRIP_GATES)
        qs = rng.sample(range(n), 3)
        if name == "u3":
            angles = ",".join(positional(random_angle(rng)) for _ in range(3))
            lines.append(("qasm", f"u3({angles}) q[{qs[0]}];"))
        else:
            lines.append((name, qs))
    # Build the U3 gates first through from_qasm, then append the rest through the API.
    u3_lines = [text for kind, text in lines if kind == "qasm"]
    c = Circuit.from_qasm(
        f'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[{n}];\n' + "\n".join(u3_lines) + "\n"
    )
    for name, qs in lines:
        if name == "qasm":
            continue
        if name in ("rx", "ry", "rz"):
            getattr(c, name)(random_angle(rng), qs[0])
        elif name in ("cx", "cz", "swap"):
            getattr(c, name)(qs[0], qs[1])
        elif name in ("ccx", "cswap"):
            getattr(c, name)(qs[0], qs[1], qs[2])
        elif name == "measure":
            # Classical bits stay inside the register, so measure_all never lowers n_cbits
            # below a bit that an earlier line measures.
            c.measure(qs[0], rng.randrange(n))
        elif name == "measure_all":
            c.measure_all()
        elif name == "unitary":
            c.unitary(random_unitary(np.random.default_rng(rng.getrandbits(64))), qs[0])
        else:
            getattr(c, name)(qs[0])
    return c


def body(text):
    """The text without its phase line (the 2.0 dialect carries the phase only as a comment)."""
    return [line for line in text.splitlines() if not line.startswith("// global_phase")]


@pytest.mark.parametrize("seed", range(40))
def test_export_then_import_gives_the_same_operations(seed):
    rng = random.Random(seed)
    n = rng.randint(3, 5)
    c = random_circuit(rng, n)
    state = run(c, shots=0).statevector()

    v3 = c.to_qasm("3.0")
    back3 = Circuit.from_qasm(v3)
    # The same operations with bit-identical angles, and the 3.0 form keeps the phase.
    assert back3.to_qasm("3.0") == v3
    assert back3.global_phase == c.global_phase or (
        math.isnan(back3.global_phase) and math.isnan(c.global_phase)
    )
    assert np.array_equal(run(back3, shots=0).statevector(), state)

    v2 = c.to_qasm("2.0")
    back2 = Circuit.from_qasm(v2)
    assert body(back2.to_qasm("2.0")) == body(v2)
    assert back2.global_phase == 0.0
    # Without the phase the state differs by exactly the factor e^(i·phase).
    phase = np.exp(1j * c.global_phase)
    np.testing.assert_allclose(run(back2, shots=0).statevector() * phase, state, atol=1e-12)


def test_measure_all_reads_back_as_one_measure_per_qubit():
    c = Circuit(3)
    c.x(1)
    c.measure_all()
    back = Circuit.from_qasm(c.to_qasm())
    assert back.to_qasm() == c.to_qasm()
    assert run(back, shots=16, seed=3).counts() == run(c, shots=16, seed=3).counts() == {"010": 16}
