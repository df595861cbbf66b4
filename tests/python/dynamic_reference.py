"""An independent reference for dynamic programs, written for the tests alone: a dense NumPy
simulator that follows every outcome path with its exact probability, so that a run's counts
can be held against the exact distribution of its keys.

A program is a list of operations:
    ("h", q) ("x", q) ... ("rx", theta, q) ... ("cx", c, t) ("cz", a, b) ("swap", a, b)
    ("ccx", c1, c2, t) ("cswap", c, t1, t2) ("measure", q, b) ("reset", q)
    ("if", condition, then_ops, else_ops)
with conditions ("bit", b), ("cmp", op, offset, size, value), ("not", c), ("and", a, b),
("or", a, b), ("const", flag) over the classical bits."""
import math

import numpy as np

SQ = 1 / math.sqrt(2)
ONE_QUBIT = {
    "h": np.array([[SQ, SQ], [SQ, -SQ]], dtype=complex),
    "x": np.array([[0, 1], [1, 0]], dtype=complex),
    "y": np.array([[0, -1j], [1j, 0]], dtype=complex),
    "z": np.array([[1, 0], [0, -1]], dtype=complex),
    "s": np.array([[1, 0], [0, 1j]], dtype=complex),
    "sdg": np.array([[1, 0], [0, -1j]], dtype=complex),
    "t": np.array([[1, 0], [0, np.exp(1j * math.pi / 4)]], dtype=complex),
    "tdg": np.array([[1, 0], [0, np.exp(-1j * math.pi / 4)]], dtype=complex),
    "id": np.eye(2, dtype=complex),
}


def rotation(name, theta):
    c, s = math.cos(theta / 2), math.sin(theta / 2)
    if name == "rx":
        return np.array([[c, -1j * s], [-1j * s, c]])
    if name == "ry":
        return np.array([[c, -s], [s, c]], dtype=complex)
    return np.array([[np.exp(-1j * theta / 2), 0], [0, np.exp(1j * theta / 2)]])


def apply_1q(state, n, m, q):
    psi = state.reshape([2] * n)
    axis = n - 1 - q
    psi = np.moveaxis(np.tensordot(m, psi, axes=([1], [axis])), 0, axis)
    return psi.reshape(-1)


def apply_controlled_x(state, controls, target):
    out = state.copy()
    for i in range(len(state)):
        if all((i >> c) & 1 for c in controls):
            out[i] = state[i ^ (1 << target)]
    return out


def apply_gate(state, n, op):
    name = op[0]
    if name in ONE_QUBIT:
        return apply_1q(state, n, ONE_QUBIT[name], op[1])
    if name in ("rx", "ry", "rz"):
        return apply_1q(state, n, rotation(name, op[1]), op[2])
    if name == "cx":
        return apply_controlled_x(state, [op[1]], op[2])
    if name == "ccx":
        return apply_controlled_x(state, [op[1], op[2]], op[3])
    if name == "cz":
        out = state.copy()
        for i in range(len(state)):
            if (i >> op[1]) & 1 and (i >> op[2]) & 1:
                out[i] = -state[i]
        return out
    if name in ("swap", "cswap"):
        controls = [op[1]] if name == "cswap" else []
        a, b = op[-2], op[-1]
        out = state.copy()
        for i in range(len(state)):
            if all((i >> c) & 1 for c in controls) and ((i >> a) & 1) != ((i >> b) & 1):
                out[i] = state[i ^ (1 << a) ^ (1 << b)]
        return out
    raise ValueError(name)


def register_value(bits, offset, size):
    return sum(bits[offset + k] << k for k in range(size))


def holds(condition, bits):
    kind = condition[0]
    if kind == "bit":
        return bits[condition[1]] == 1
    if kind == "cmp":
        _, op, offset, size, value = condition
        v = register_value(bits, offset, size)
        return {"==": v == value, "!=": v != value, "<": v < value, "<=": v <= value,
                ">": v > value, ">=": v >= value}[op]
    if kind == "not":
        return not holds(condition[1], bits)
    if kind == "and":
        return holds(condition[1], bits) and holds(condition[2], bits)
    if kind == "or":
        return holds(condition[1], bits) or holds(condition[2], bits)
    return bool(condition[1])


def project(state, q, outcome):
    mask = np.array([((i >> q) & 1) == outcome for i in range(len(state))])
    kept = np.where(mask, state, 0)
    p = float(np.vdot(kept, kept).real)
    return p, (kept / math.sqrt(p) if p > 0 else kept)


def paths(ops, n, state, bits, weight):
    """Yields (probability, bits, state) for every outcome path of ops from (state, bits)."""
    if not ops:
        yield weight, bits, state
        return
    op, rest = ops[0], ops[1:]
    name = op[0]
    if name == "if":
        _, condition, then_ops, else_ops = op
        body = then_ops if holds(condition, bits) else else_ops
        yield from paths(list(body) + list(rest), n, state, bits, weight)
        return
    if name in ("measure", "reset"):
        q = op[1]
        for outcome in (0, 1):
            p, collapsed = project(state, q, outcome)
            if p < 1e-14:
                continue
            new_bits = list(bits)
            if name == "measure":
                new_bits[op[2]] = outcome
            elif outcome == 1:
                collapsed = apply_1q(collapsed, n, ONE_QUBIT["x"], q)
            yield from paths(rest, n, collapsed, new_bits, weight * p)
        return
    yield from paths(rest, n, apply_gate(state, n, op), bits, weight)


def key_of(bits, registers):
    """registers: [(name, offset, size)] in declaration order; written right to left."""
    parts = []
    for _, offset, size in reversed(registers):
        parts.append("".join(str(bits[offset + k]) for k in reversed(range(size))))
    return " ".join(parts)


def distribution(ops, n_qubits, n_bits, registers=None, initial_bits=None):
    """The exact probability of every key."""
    if registers is None:
        registers = [("c", 0, n_bits)] if n_bits else []
    state = np.zeros(2**n_qubits, dtype=complex)
    state[0] = 1
    bits = list(initial_bits) if initial_bits is not None else [0] * n_bits
    result = {}
    for weight, final_bits, _ in paths(list(ops), n_qubits, state, bits, 1.0):
        key = key_of(final_bits, registers)
        result[key] = result.get(key, 0.0) + weight
    return result


def final_states(ops, n_qubits, n_bits):
    state = np.zeros(2**n_qubits, dtype=complex)
    state[0] = 1
    return [s for _, _, s in paths(list(ops), n_qubits, state, [0] * n_bits, 1.0)]


def assert_counts_match(counts, expected, shots):
    """Every key within six standard deviations (plus one) of its expected count; no key
    outside the distribution. A correct program misses these bounds with probability far
    below 1e-6 per key."""
    for key in counts:
        assert key in expected and expected[key] > 0, f"unexpected key {key!r}"
    for key, p in expected.items():
        got = counts.get(key, 0)
        sigma = math.sqrt(shots * max(p * (1 - p), 0.0))
        assert abs(got - shots * p) <= 6 * sigma + 1, (key, got, shots * p)


def build(program, ops):
    """Adds ops to a vorn.Program."""
    for op in ops:
        name = op[0]
        if name == "if":
            _, condition, then_ops, else_ops = op
            import vorn

            with program.if_test(vorn.Condition(condition)):
                build(program, then_ops)
            if else_ops:
                with program.else_():
                    build(program, else_ops)
        elif name == "measure":
            program.measure(op[1], op[2])
        elif name == "reset":
            program.reset(op[1])
        elif name in ("rx", "ry", "rz"):
            getattr(program, name)(op[1], op[2])
        else:
            getattr(program, name)(*op[1:])
    return program
