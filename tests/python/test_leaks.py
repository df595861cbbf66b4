"""No reference or memory leaks: 10^4 calls of every entry point, on success and error paths.

This interpreter has no sys.gettotalrefcount, so leaks are caught three ways: the reference
counts of the argument objects, the memory traced by tracemalloc (Python objects and NumPy
buffers), and the resident set size (C++ allocations)."""
import gc
import math
import sys
import tracemalloc

import numpy as np
import pytest

from vorn_python import Circuit, run

from conftest import PanicException

CALLS = 10_000


class Qubit(int):
    """A distinct int object per instance, so its reference count can be watched."""


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def traced_growth(fn, calls=CALLS):
    for _ in range(200):
        fn()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            fn()
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    return after - before


def rss_growth(fn, calls=CALLS):
    for _ in range(200):
        fn()
    gc.collect()
    before = rss_bytes()
    for _ in range(calls):
        fn()
    gc.collect()
    return rss_bytes() - before


# Less than one byte per call: any leaked object or buffer per call would exceed it.
TRACED_LIMIT = 8 * 1024


def expect(error, fn):
    def call():
        try:
            fn()
        except error:
            pass
        else:
            raise AssertionError("no error")

    return call


def make_cases():
    c = Circuit(3)
    q = Qubit(1)
    theta = 0.25
    cases = {
        "Circuit": lambda: Circuit(q),
        "num_qubits": lambda: c.num_qubits(),
        "global_phase": lambda: c.global_phase,
        "h": lambda: c.h(q),
        "x": lambda: c.x(qubit=q),
        "y": lambda: c.y(q),
        "z": lambda: c.z(q),
        "s": lambda: c.s(q),
        "sdg": lambda: c.sdg(q),
        "t": lambda: c.t(q),
        "tdg": lambda: c.tdg(q),
        "id": lambda: c.id(q),
        "rx": lambda: c.rx(theta, q),
        "ry": lambda: c.ry(theta=theta, qubit=q),
        "rz": lambda: c.rz(theta, np.int64(1)),
        "cx": lambda: c.cx(0, q),
        "cz": lambda: c.cz(q, 0),
        "swap": lambda: c.swap(qubit0=q, qubit1=0),
        "ccx": lambda: c.ccx(0, q, 2),
        "cswap": lambda: c.cswap(2, 0, q),
        "measure": lambda: c.measure(q, q),
        # __index__ and __float__ results are new objects each time: a lost reference leaks them.
        "index_hook": lambda: c.measure(0, BigIndex()),
        "float_hook": lambda: c.rx(Floaty(), q),
        "measure_all": lambda: c.measure_all(),
        "type_error": expect(TypeError, lambda: c.h(1.5)),
        "overflow": expect(OverflowError, lambda: c.h(-q)),
        "panic": expect(PanicException, lambda: c.cx(q, 7)),
        "binding": expect(TypeError, lambda: c.cx(q, control=q)),
        "unexpected_keyword": expect(TypeError, lambda: c.h(q, bogus=q)),
        "hook_error": expect(ZeroDivisionError, lambda: c.h(BadIndex())),
        "from_qasm": lambda: Circuit.from_qasm(QASM),
        "from_qasm_error": expect(ValueError, lambda: Circuit.from_qasm("OPENQASM 2.0; qreg q[1]; h q[3];")),
        "from_qasm_type_error": expect(TypeError, lambda: Circuit.from_qasm(b"OPENQASM 2.0;")),
        "to_qasm": lambda: Circuit(2).to_qasm("3"),
        "to_qasm_error": expect(ValueError, lambda: c.to_qasm("4.0")),
        "to_qasm_type_error": expect(TypeError, lambda: c.to_qasm(q)),
        "unitary": lambda: c.unitary(HADAMARD, q, validate=np.True_),
        "unitary_view": lambda: c.unitary(HADAMARD[::-1, ::-1].T, q, False),
        "unitary_shape": expect(ValueError, lambda: c.unitary(np.eye(3, dtype=complex), q)),
        "unitary_violation": expect(ValueError, lambda: c.unitary(2 * HADAMARD, q)),
        "unitary_qubit": expect(ValueError, lambda: c.unitary(HADAMARD, 9)),
        "unitary_type_error": expect(TypeError, lambda: c.unitary(HADAMARD.astype(np.complex64), q)),
        "transpile": lambda: c.transpile(q),
    }
    return cases, q


QASM = 'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[2];\ncreg c[2];\nh q[0];\ncx q[0],q[1];\nmeasure q -> c;\n'
HADAMARD = np.array([[1, 1], [1, -1]], dtype=complex) / np.sqrt(2)


class BigIndex:
    def __index__(self):
        return 10**19 + len(())


class Floaty:
    def __float__(self):
        return float(len(())) + 0.5


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError


@pytest.mark.parametrize("name", sorted(make_cases()[0]))
def test_circuit_entry_points_do_not_leak(name):
    cases, q = make_cases()
    fn = cases[name]
    references = sys.getrefcount(q)
    growth = traced_growth(fn)
    assert growth < TRACED_LIMIT
    assert sys.getrefcount(q) == references


def test_circuit_objects_are_freed():
    def make():
        c = Circuit(5)
        for i in range(50):
            c.cx(i % 5, (i + 1) % 5)

    assert rss_growth(make) < 16 * 2**20


def small_result(precision="f64"):
    c = Circuit(10)
    for q in range(10):
        c.h(q)
    c.measure_all()
    return c, run(c, shots=64, seed=1, precision=precision)


@pytest.mark.parametrize("precision", ["f32", "f64"])
def test_result_methods_do_not_leak(precision):
    _, result = small_result(precision)
    for fn in (result.counts, result.statevector, result.probabilities, lambda: result.precision):
        assert traced_growth(fn) < TRACED_LIMIT
    # 16 KiB buffers: a leaked buffer per call would be 160 MiB.
    assert rss_growth(result.statevector) < 16 * 2**20
    assert rss_growth(result.probabilities) < 16 * 2**20


def test_run_does_not_leak():
    c, _ = small_result()
    seed = Qubit(3)
    shots = Qubit(16)
    precision = "".join(["f", "64"])
    references = [sys.getrefcount(o) for o in (c, seed, shots, precision)]
    assert traced_growth(lambda: run(c, shots, seed, precision)) < TRACED_LIMIT
    # Each run makes a 16 KiB state: a leaked result per call would be 160 MiB.
    assert rss_growth(lambda: run(c, shots=shots, seed=seed)) < 16 * 2**20
    assert [sys.getrefcount(o) for o in (c, seed, shots, precision)] == references


@pytest.mark.parametrize(
    "call,error",
    [
        (lambda c: run(c, precision="F64"), ValueError),
        (lambda c: run(c, precision=64), TypeError),
        (lambda c: run(c, shots=-1), OverflowError),
        (lambda c: run(c, seed=math.pi), TypeError),
        (lambda c: run(c, 1, shots=1), TypeError),
        (lambda c: run(Circuit(0)), PanicException),
        (lambda c: run(Circuit(70)), PanicException),
    ],
)
def test_run_errors_do_not_leak(call, error):
    c, _ = small_result()
    references = sys.getrefcount(c)
    assert traced_growth(expect(error, lambda: call(c)), calls=CALLS // 2) < TRACED_LIMIT
    assert sys.getrefcount(c) == references


def test_failed_allocation_does_not_leak():
    try:
        with open("/proc/sys/vm/overcommit_memory") as f:
            if f.read().strip() == "1":
                pytest.skip("the kernel grants any allocation")
    except OSError:
        pass
    c = Circuit(40)
    fn = expect(MemoryError, lambda: run(c))
    assert traced_growth(fn, calls=1000) < TRACED_LIMIT
    assert rss_growth(fn, calls=1000) < 16 * 2**20
