"""Integers, angles and bools computed at run time from measured bits: each construct against
the same program written out by hand without it (one `if` per measured value, its result
computed here in Python), gate parameters that a run decides against the total angle applied
at once, and the refusals of what is not additive in a run-time angle."""
import math

import numpy as np
import pytest

import vorn

# Outcome keys show the output registers only, so that intermediate variables stay out of them.
PRELUDE = 'include "stdgates.inc";\nqubit[4] q;\nqubit r;\noutput bit[4] m;\nh q;\nm = measure q;\n'
SEEDS = range(6)


def load(text):
    return vorn.Program.from_qasm(text)


def same_runs(construct, by_hand, shots=400):
    """Counts and per-shot keys equal for every seed; one-shot final states within 1e-12."""
    a, b = load(construct), load(by_hand)
    for seed in SEEDS:
        ra = vorn.run(a, shots=shots, seed=seed)
        rb = vorn.run(b, shots=shots, seed=seed)
        assert ra.memory() == rb.memory()
        assert ra.counts() == rb.counts()
        sa = vorn.run(a, shots=1, seed=seed).statevector()
        sb = vorn.run(b, shots=1, seed=seed).statevector()
        assert np.max(np.abs(sa - sb)) < 1e-12


def bits_text(value, width):
    return format(value & ((1 << width) - 1), f"0{width}b")


def table(width, f, into="result"):
    """`if (m == v) x = "f(v)";` for each of the 16 values of the measured m."""
    return "".join(f'if (m == {v}) {into} = "{bits_text(f(v), width)}";\n' for v in range(16))


def signed(v, width):
    v &= (1 << width) - 1
    return v - (1 << width) if v >> (width - 1) else v


def rotl(v, k, width):
    v &= (1 << width) - 1
    return ((v << k) | (v >> (width - k))) & ((1 << width) - 1)


# (declaration and statements computing x from m, width of x, the value in Python)
INTEGER_CASES = {
    "shift left": ("uint[4] x = m;\nx <<= 1;\n", 4, lambda v: v << 1),
    "shift right": ("uint[4] x = m;\nx >>= 2;\n", 4, lambda v: v >> 2),
    "signed shift right": ("int[4] x = m;\nx = x >> 1;\n", 4, lambda v: signed(v, 4) >> 1),
    "rotation": ("uint[4] x = m;\nx = rotl(x, 3);\n", 4, lambda v: rotl(v, 3, 4)),
    "bitwise with a constant": ("uint[4] x = m;\nx = (x & 6) | 9;\n", 4, lambda v: (v & 6) | 9),
    "xor of two run-time values": (
        "uint[2] a = m[0:1];\nuint[2] b = m[2:3];\nuint[2] x = a ^ b;\n",
        2,
        lambda v: (v & 3) ^ (v >> 2),
    ),
    "not": ("uint[4] x = m;\nx = ~x;\n", 4, lambda v: ~v),
    "sum": (
        "uint[3] a = m[0:1];\nuint[3] b = m[2:3];\nuint[3] x = a + b;\n",
        3,
        lambda v: (v & 3) + (v >> 2),
    ),
    "difference, wrapping": ("uint[4] x = m;\nx -= 5;\n", 4, lambda v: v - 5),
    "negation": ("int[4] x = m;\nx = -x;\n", 4, lambda v: -v),
    "product with a constant": ("uint[5] x = m;\nx = x * 3;\n", 5, lambda v: 3 * v),
    "widened signed": ("int[2] s = m[2:3];\nint[5] x = s;\n", 5, lambda v: signed(v >> 2, 2)),
    "narrowed angle, rounded": (
        "angle[4] a = m;\nangle[2] x = a;\n",
        2,
        lambda v: (v >> 2) + ((v >> 1) & 1),
    ),
    "widened angle": ("angle[2] a = m[2:3];\nangle[4] x = a;\n", 4, lambda v: (v >> 2) << 2),
    "bits of an integer": (
        "uint[4] y = m;\nuint[3] x;\nx[0] = y[3];\nx[2] = y[0] && y[1];\n",
        3,
        lambda v: (v >> 3) | (4 if (v & 3) == 3 else 0),
    ),
    "built in a subroutine": (
        "def pack(bit[4] b) -> uint[4] {\n  uint[4] n = 0;\n"
        "  for int k in [3:-1:0] { n <<= 1; n |= b[k]; }\n  return n;\n}\n"
        "uint[4] x = pack(m);\nx += 1;\n",
        4,
        lambda v: v + 1,
    ),
}


@pytest.mark.parametrize("name", sorted(INTEGER_CASES))
def test_integer_operators_at_run_time(name):
    statements, width, f = INTEGER_CASES[name]
    construct = PRELUDE + f"output bit[{width}] result;\n" + statements + "result = x;\n"
    by_hand = PRELUDE + f"output bit[{width}] result;\n" + table(width, f)
    same_runs(construct, by_hand)
    # Every value of m occurs over these shots; each gives its own x.
    counts = vorn.run(load(construct), shots=2000, seed=1).counts()
    for key in counts:
        x, measured = key.split()
        assert x == bits_text(f(int(measured, 2)), width)


# Comparisons and logic on run-time integers, as the conditions of `if`.
COMPARE_CASES = {
    "equal": ("uint[4] x = m;", "x == 5", lambda v: v == 5),
    "not equal": ("uint[4] x = m;", "x != 12", lambda v: v != 12),
    "below": ("uint[4] x = m;", "x < 6", lambda v: v < 6),
    "at most": ("uint[4] x = m;", "x <= 6", lambda v: v <= 6),
    "above, signed": ("int[4] x = m;", "x > -3", lambda v: signed(v, 4) > -3),
    "at least, signed": ("int[4] x = m;", "x >= 2", lambda v: signed(v, 4) >= 2),
    "two run-time sides": (
        "uint[2] a = m[0:1];\nuint[2] b = m[2:3];",
        "a < b",
        lambda v: (v & 3) < (v >> 2),
    ),
    "a sum against a constant": (
        "uint[3] a = m[0:1];\nuint[3] b = m[2:3];",
        "a + b == 3 || !(a != 0)",
        lambda v: (v & 3) + (v >> 2) == 3 or (v & 3) == 0,
    ),
    "an integer as a condition": ("uint[4] x = m;", "x & 10", lambda v: (v & 10) != 0),
    "a bool set in a branch": (
        "bool f = false;\nif (m[1] && m[2]) { f = true; }",
        "f && !m[3]",
        lambda v: (v >> 1) & 1 and (v >> 2) & 1 and not (v >> 3) & 1,
    ),
}


@pytest.mark.parametrize("name", sorted(COMPARE_CASES))
def test_conditions_on_run_time_integers(name):
    declarations, condition, f = COMPARE_CASES[name]
    outputs = "output bit hit;\noutput bit last;\n"
    construct = PRELUDE + outputs + declarations + f"\nif ({condition}) {{ hit = 1; x r; }}\n"
    construct += "last = measure r;\n"
    hand = "".join(f"if (m == {v}) {{ hit = 1; x r; }}\n" for v in range(16) if f(v))
    by_hand = PRELUDE + outputs + hand + "last = measure r;\n"
    same_runs(construct, by_hand)


def test_a_while_loop_counts_measured_ones_at_run_time():
    # The loop runs until three measurements gave 1: n is 3 at the end of every shot.
    text = (
        'include "stdgates.inc";\nqubit q;\nbit b;\nuint[3] n = 0;\nint rounds = 0;\n'
        "while (n < 3) { reset q; h q; b = measure q; n += b; }\n"
    )
    counts = vorn.run(load(text), shots=300, seed=3).counts()
    assert counts == {"011 1": 300}


def test_a_loop_test_that_computes_hidden_bits_computes_them_every_round():
    # n ^ 2 needs a hidden bit for its bit 1; the loop ends when the measured n[1] is 1.
    text = (
        'include "stdgates.inc";\nqubit q;\nuint[2] n = 0;\n'
        "while ((n ^ 2) != 0) { reset q; h q; n[1] = measure q; }\n"
    )
    counts = vorn.run(load(text), shots=200, seed=4).counts()
    assert counts == {"10": 200}


def test_a_loop_test_that_measures_measures_every_round():
    # The test calls a subroutine that measures a fresh superposition: the loop runs until it
    # gives 0, rotating r a little each round. Written out by hand, the measurement stands
    # before the loop and at the end of its body.
    construct = (
        'include "stdgates.inc";\nqubit q;\nqubit r;\noutput bit[1] out;\n'
        "def coin(qubit a) -> bit { reset a; h a; bit b = measure a; return b; }\n"
        "while (coin(q)) { ry(0.3) r; }\nout[0] = measure r;\n"
    )
    by_hand = (
        'include "stdgates.inc";\nqubit q;\nqubit r;\noutput bit[1] out;\nbit b;\n'
        "reset q; h q; b = measure q;\n"
        "while (b) { ry(0.3) r; reset q; h q; b = measure q; }\nout[0] = measure r;\n"
    )
    same_runs(construct, by_hand)
    # Some shots loop several times, so r ends in more than one state.
    assert len(vorn.run(load(construct), shots=400, seed=1).counts()) == 2


def test_a_local_bit_never_takes_the_name_of_a_declared_register():
    # The subroutine's local bit is kept in a register of a generated name; the program's own
    # `_b_1` must stay apart from it (it was refused as declared twice).
    text = (
        'include "stdgates.inc";\nqubit q;\nbit[1] _b_1;\n'
        "def f(qubit a) -> bit { bit b = measure a; return b; }\n"
        "x q;\n_b_1[0] = !f(q);\nuint[2] y = 0;\ny[0] = _b_1[0];\ny = y ^ 2;\n"
        "output uint[2] z;\nz = y;\n"
    )
    assert vorn.run(load(text), shots=20, seed=2).counts() == {"10": 20}


def test_assignments_in_a_branch_keep_the_value_of_the_other_path():
    # k starts at 2 and becomes 7 where the measured bit is 1; both paths show their value.
    text = (
        'include "stdgates.inc";\nqubit q;\nbit b;\nuint[3] k = 2;\nh q;\nb = measure q;\n'
        "if (b) { k = 7; }\n"
    )
    counts = vorn.run(load(text), shots=1000, seed=2).counts()
    assert set(counts) == {"010 0", "111 1"}
    assert abs(counts["111 1"] - 500) < 5 * math.sqrt(250)


# ---- gate parameters computed at run time ----

# (the statement using the run-time angle c (an angle[4] holding m), the same with a known
# angle `A` in its place)
GATE_CASES = {
    "phase": ("phase(c) r;", "phase(A) r;"),
    "inverse phase": ("inv @ phase(c) r;", "phase(-A) r;"),
    "rz of a scaled angle": ("rz(3 * c - pi / 3) r;", "rz(3 * A - pi / 3) r;"),
    "rx of an integer times a real": ("rx(pi / 8 * k) r;", "rx(pi / 8 * K) r;"),
    "controlled ry": ("ctrl @ ry(c) q[0], r;", "ctrl @ ry(A) q[0], r;"),
    "power of crz": ("pow(2) @ crz(c) q[1], r;", "crz(2 * A) q[1], r;"),
    "cp with a negative control": ("negctrl @ cp(c) q[2], q[3], r;", "negctrl @ cp(A) q[2], q[3], r;"),
    "global phase": ("gphase(c);", "gphase(A);"),
    "rzz": ("rzz(c) q[0], r;", "rzz(A) q[0], r;"),
}


@pytest.mark.parametrize("name", sorted(GATE_CASES))
def test_gate_parameters_computed_at_run_time(name):
    construct_gate, hand_gate = GATE_CASES[name]
    setup = "reset q;\nh q;\nh r;\nangle[4] c = m;\nuint[4] k = m;\n"
    construct = PRELUDE + setup + construct_gate + "\n"
    # By hand: the angle of each measured value, known while reading.
    hand = "".join(
        f"if (m == {v}) {{ {hand_gate.replace('A', repr(2 * math.pi * v / 16)).replace('K', str(v))} }}\n"
        for v in range(16)
    )
    by_hand = PRELUDE + setup.replace("angle[4] c = m;\nuint[4] k = m;\n", "") + hand
    same_runs(construct, by_hand)


REFUSED = {
    "U with a run-time angle": ("U(c, 0, 0) r;", "a parameter of \"U\" at line"),
    "a non-additive function": ("rz(sin(c)) r;", "'sin' of a value computed from measured bits"),
    "a product of run-time values": ("rz(c * c) r;", "'*' of a value computed from measured bits"),
    "a real variable": ("float f = c;", "assignment to \"f\""),
    "a run-time shift count": ("uint[4] k = m;\nk <<= k;", "a value computed from measured bits"),
}


@pytest.mark.parametrize("name", sorted(REFUSED))
def test_what_a_run_time_value_cannot_do_is_refused(name):
    statement, message = REFUSED[name]
    with pytest.raises(ValueError) as error:
        load(PRELUDE + "angle[4] c = m;\n" + statement)
    assert message in str(error.value)
