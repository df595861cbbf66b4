"""vorn.run on dynamic programs, against the exact reference of dynamic_reference.py, and on
static circuits, against vorn_python.run bit for bit."""
import os
import random
import textwrap

import numpy as np
import pytest

import vorn
import vorn_python
from dynamic_reference import assert_counts_match, build, distribution, final_states
from pool_support import outputs_per_pool_size

GATES_1Q = ["h", "x", "y", "z", "s", "sdg", "t", "tdg"]


def random_ops(rng, n_qubits, n_bits, length, depth=0):
    ops = []
    for _ in range(length):
        r = rng.random()
        if r < 0.35:
            ops.append((rng.choice(GATES_1Q), rng.randrange(n_qubits)))
        elif r < 0.5:
            ops.append((rng.choice(["rx", "ry", "rz"]), rng.uniform(-3, 3), rng.randrange(n_qubits)))
        elif r < 0.62 and n_qubits > 1:
            a, b = rng.sample(range(n_qubits), 2)
            ops.append((rng.choice(["cx", "cz", "swap"]), a, b))
        elif r < 0.77:
            ops.append(("measure", rng.randrange(n_qubits), rng.randrange(n_bits)))
        elif r < 0.85:
            ops.append(("reset", rng.randrange(n_qubits)))
        elif depth < 2:
            if rng.random() < 0.5:
                condition = ("bit", rng.randrange(n_bits))
            else:
                size = rng.randint(1, n_bits)
                condition = ("cmp", rng.choice(["==", "!=", "<", ">="]), 0, size,
                             rng.randrange(1 << size))
            then_ops = random_ops(rng, n_qubits, n_bits, rng.randint(0, 3), depth + 1)
            else_ops = random_ops(rng, n_qubits, n_bits, rng.randint(0, 2), depth + 1)
            ops.append(("if", condition, then_ops, else_ops))
    return ops


@pytest.mark.parametrize("case", range(40))
def test_random_programs_follow_the_exact_distribution(case):
    rng = random.Random(1000 + case)
    n_qubits, n_bits = rng.randint(1, 4), rng.randint(1, 4)
    ops = random_ops(rng, n_qubits, n_bits, rng.randint(3, 14))
    program = build(vorn.Program(n_qubits, n_bits), ops)
    shots = 2000
    for precision in ("f64", "f32"):
        counts = vorn.run(program, shots=shots, seed=case, precision=precision).counts()
        assert sum(counts.values()) == shots
        assert_counts_match(counts, distribution(ops, n_qubits, n_bits), shots)


def random_circuit(rng, n):
    c = vorn_python.Circuit(n)
    for _ in range(30):
        r = rng.random()
        if r < 0.5:
            getattr(c, rng.choice(GATES_1Q))(rng.randrange(n))
        elif r < 0.7:
            getattr(c, rng.choice(["rx", "ry", "rz"]))(rng.uniform(-3, 3), rng.randrange(n))
        else:
            a, b = rng.sample(range(n), 2)
            getattr(c, rng.choice(["cx", "cz", "swap"]))(a, b)
    return c


@pytest.mark.parametrize("precision", ["f64", "f32"])
@pytest.mark.parametrize("n", [3, 14])
def test_static_circuits_equal_vorn_python_bit_for_bit(n, precision):
    rng = random.Random(n)
    full = random_circuit(rng, n)
    full.unitary(np.array([[0, 1j], [1j, 0]]), 1)
    full.measure_all()
    partial = random_circuit(rng, n)
    for q in range(0, n, 2):
        partial.measure(q, q)
    for circuit in (full, partial):
        expected = vorn_python.run(circuit, 3000, 11, precision)
        got = vorn.run(circuit, shots=3000, seed=11, precision=precision)
        assert got.statevector().tobytes() == expected.statevector().tobytes()
        assert got.stats["static"]
    assert got_counts_equal(full, precision)


def got_counts_equal(circuit, precision):
    expected = vorn_python.run(circuit, 3000, 11, precision).counts()
    return vorn.run(circuit, shots=3000, seed=11, precision=precision).counts() == expected


def test_static_memory_is_the_samples_in_shot_order():
    c = vorn_python.Circuit(3)
    c.h(0)
    c.h(1)
    c.cx(1, 2)
    c.measure_all()
    r = vorn.run(c, shots=500, seed=3)
    memory = r.memory()
    assert len(memory) == 500
    assert {k: memory.count(k) for k in set(memory)} == vorn_python.run(c, 500, 3).counts()


def test_measuring_one_qubit_twice_gives_equal_bits():
    p = vorn.Program(1, 2)
    p.h(0)
    p.measure(0, 0)
    p.measure(0, 1)
    counts = vorn.run(p, shots=1000, seed=1).counts()
    assert set(counts) == {"00", "11"}
    p.x(0)  # the measurements are no longer the last operations on the qubit
    p.measure(0, 0)
    counts = vorn.run(p, shots=1000, seed=1).counts()
    assert set(counts) == {"10", "01"}


def test_measured_subset_then_gates_on_the_others():
    p = vorn.Program(2, 2)
    p.h(0)
    p.cx(0, 1)
    p.measure(0, 0)
    p.x(1)
    p.measure(1, 1)
    counts = vorn.run(p, shots=2000, seed=5).counts()
    assert set(counts) == {"10", "01"}


def test_reset_after_measurement_keeps_the_recorded_bit():
    p = vorn.Program(1, 2)
    p.x(0)
    p.measure(0, 0)
    p.reset(0)
    p.measure(0, 1)
    r = vorn.run(p, shots=100, seed=2)
    assert r.counts() == {"01": 100}
    # Every outcome was certain: one final state, |0>.
    assert r.statevector().tobytes() == np.array([1, 0], dtype=np.complex128).tobytes()


def test_conditional_reset_is_honoured():
    p = vorn.Program(2, 2)
    p.x(1)
    p.h(0)
    p.measure(0, 0)
    with p.if_test(p.bit(0)):
        p.reset(1)
    p.measure(1, 1)
    counts = vorn.run(p, shots=4000, seed=9).counts()
    # bit 0 = 1 resets qubit 1 (bit 1 = 0); bit 0 = 0 leaves it at 1.
    assert set(counts) == {"10", "01"}
    assert_counts_match(counts, {"10": 0.5, "01": 0.5}, 4000)


def test_empty_if_body_changes_nothing():
    p = vorn.Program(2, 1)
    p.h(0)
    p.cx(0, 1)
    with p.if_test(0):
        pass
    q = vorn.Program(2, 1)
    q.h(0)
    q.cx(0, 1)
    a = vorn.run(p, shots=0)
    b = vorn.run(q, shots=0)
    assert a.statevector().tobytes() == b.statevector().tobytes()


def test_condition_on_a_seventy_bit_register():
    p = vorn.Program(2, 70)
    p.x(0)
    p.measure(0, 69)  # bit 69 set: the register's value is 2**69
    with p.if_test(p.register("c") == 0):
        p.x(1)
    with p.if_test(p.register("c") > 5):
        p.h(1)
    with p.if_test(p.bits(64, 6) == 32):
        p.h(1)
    r = vorn.run(p, shots=10, seed=1)
    # h twice: qubit 1 back to |0>; every outcome was certain.
    state = r.statevector()
    assert abs(state[1]) == pytest.approx(1.0)


def test_else_branch_and_combined_conditions():
    ops = [("h", 0), ("measure", 0, 0), ("h", 1), ("measure", 1, 1),
           ("if", ("and", ("bit", 0), ("not", ("bit", 1))), [("x", 2)], [("h", 2)]),
           ("measure", 2, 2)]
    program = build(vorn.Program(3, 3), ops)
    counts = vorn.run(program, shots=8000, seed=4).counts()
    assert_counts_match(counts, distribution(ops, 3, 3), 8000)


def test_statevector_is_refused_when_the_shots_end_in_different_states():
    p = vorn.Program(1, 1)
    p.h(0)
    p.measure(0, 0)
    p.h(0)
    r = vorn.run(p, shots=100, seed=1)
    assert not r.has_statevector
    with pytest.raises(ValueError, match="measurement"):
        r.statevector()
    with pytest.raises(ValueError, match="measurement"):
        r.probabilities()
    # Without shots, a random outcome leaves no single final state either.
    with pytest.raises(ValueError):
        vorn.run(p, shots=0).statevector()


def test_final_state_when_every_path_ends_in_one_state():
    # Reset of a fresh qubit and a measurement of a basis state are certain.
    ops = [("h", 0), ("reset", 1), ("x", 1), ("measure", 1, 0), ("cx", 0, 1)]
    program = build(vorn.Program(2, 1), ops)
    r = vorn.run(program, shots=50, seed=1)
    (expected,) = final_states(ops, 2, 1)
    assert np.allclose(r.statevector(), expected, atol=1e-15)


TELEPORT = """OPENQASM 2.0;
include "qelib1.inc";
qreg q[3];
creg m0[1];
creg m1[1];
creg out[1];
ry(1.1) q[0];
h q[1];
cx q[1],q[2];
cx q[0],q[1];
h q[0];
measure q[0] -> m0[0];
measure q[1] -> m1[0];
if(m1==1) x q[2];
if(m0==1) z q[2];
measure q[2] -> out[0];
"""


def test_teleportation_from_openqasm_with_three_registers():
    p = vorn.Program.from_qasm(TELEPORT)
    shots = 8000
    counts = vorn.run(p, shots=shots, seed=21).counts()
    # Keys: out m1 m0, one space apart; out is 1 with probability sin(1.1/2)^2.
    p1 = np.sin(0.55) ** 2
    expected = {}
    for out in (0, 1):
        for m1 in (0, 1):
            for m0 in (0, 1):
                expected[f"{out} {m1} {m0}"] = (p1 if out else 1 - p1) / 4
    assert_counts_match(counts, expected, shots)


def test_bit_string_initialiser_and_key_order():
    p = vorn.Program.from_qasm(textwrap.dedent("""\
        OPENQASM 3.0;
        include "stdgates.inc";
        qubit[1] q;
        bit[2] a = "01";
        bit[3] b;
        b[2] = measure q[0];
        """))
    assert vorn.run(p, shots=10, seed=1).counts() == {"000 01": 10}


@pytest.mark.parametrize("precision", ["f64", "f32"])
def test_memory_is_the_same_for_every_pool_size_and_with_replays(precision):
    script = textwrap.dedent(f"""
        import random, sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import vorn
        from dynamic_reference import build
        from test_dynamic import random_ops
        out = []
        for case in range(6):
            rng = random.Random(case)
            ops = random_ops(rng, 14, 3, 25)
            p = build(vorn.Program(14, 3), ops)
            memories = [vorn._native.run(p._native, 300, case, {precision!r}, replay).memory()
                        for replay in (False, True)]
            assert memories[0] == memories[1]
            out.append(repr(memories[0]))
        print(hash("".join(out)), len(out))
        """)
    assert len(outputs_per_pool_size(script, PYTHONHASHSEED="0")) == 1


def test_bad_arguments():
    p = vorn.Program(2, 1)
    with pytest.raises(ValueError, match="out of range"):
        p.h(2)
    with pytest.raises(ValueError, match="out of range"):
        p.measure(0, 1)
    with pytest.raises(ValueError, match="else_"):
        p.else_()
    with pytest.raises(ValueError, match="does not fit"):
        p.register("c") == 2
    with pytest.raises(ValueError, match="precision"):
        vorn.run(p, precision="f16")
    with pytest.raises(ValueError, match="shots"):
        vorn.run(p, shots=-1)
    with pytest.raises(TypeError):
        vorn.run("not a program")
    with pytest.raises(TypeError):
        p.if_test("c == 1")


def test_one_bit_conditions_are_written_as_openqasm_2():
    path = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "teleport.qasm")
    p = vorn.load(path)
    text = p.to_qasm("2.0")
    assert "if (m1==1) x q[2];" in text and "if (m0==1) z q[2];" in text
    again = vorn.Program.from_qasm(text)
    assert vorn.run(again, shots=500, seed=4).memory() == vorn.run(p, shots=500, seed=4).memory()
    # An else branch has no OpenQASM 2.0 form.
    q = vorn.Program(1, 1)
    q.measure(0, 0)
    with q.if_test(0):
        q.x(0)
    with q.else_():
        q.h(0)
    with pytest.raises(ValueError, match="else"):
        q.to_qasm("2.0")
