"""Threads and processes: the lock is released during a run, the access state arbitrates, runs
in parallel threads and in a forked child give the results of a single thread."""
import multiprocessing
import threading
import time

import numpy as np
import pytest

from vorn_python import Circuit, run


def layered_circuit(n, layers, seed):
    rng = np.random.default_rng(seed)
    c = Circuit(n)
    for _ in range(layers):
        for q in range(n):
            kind = rng.integers(4)
            if kind == 0:
                c.h(q)
            elif kind == 1:
                c.rx(float(rng.uniform(-3, 3)), q)
            elif kind == 2:
                c.rz(float(rng.uniform(-3, 3)), q)
            else:
                c.t(q)
        for q in range(0, n - 1, 2):
            c.cx(q, q + 1)
        c.ccx(0, n // 2, n - 1)
        c.cswap(n - 1, 1, 2)
        c.cz(1, n - 2)
        c.swap(0, n - 1)
    c.measure_all()
    return c


def long_circuit(seconds=1.0):
    """A 20-qubit circuit whose run takes roughly `seconds`."""
    n = 20
    probe = Circuit(n)
    for q in range(n):
        probe.h(q)
    start = time.perf_counter()
    run(probe, shots=0)
    per_gate = max((time.perf_counter() - start) / n, 1e-5)
    gates = int(seconds / per_gate) + n
    c = Circuit(n)
    for i in range(gates):
        c.h(i % n)
    return c


def start_run(circuit, results, **kwargs):
    started = threading.Event()

    def body():
        started.set()
        results.append(run(circuit, **kwargs))

    thread = threading.Thread(target=body)
    thread.start()
    started.wait()
    return thread


def wait_until_borrowed(c, thread):
    """Probes the access state without changing the circuit: exclusive access is taken before
    the argument is converted, so a refused conversion shows the access state."""
    while thread.is_alive():
        try:
            c.h(-1)
        except RuntimeError as e:
            assert str(e) == "Already borrowed"
            return True
        except OverflowError:
            time.sleep(0.001)
    return False


def test_changes_are_refused_while_a_run_reads_the_circuit():
    c = long_circuit()
    before = c.num_qubits()
    results = []
    thread = start_run(c, results, shots=10, seed=1)
    try:
        assert wait_until_borrowed(c, thread), "the run ended before it was observed"
        with pytest.raises(RuntimeError) as info:
            c.h(0)
        assert str(info.value) == "Already borrowed"
        identity = np.eye(2, dtype=complex)
        for change in (
            lambda: c.cx(0, 1),
            lambda: c.measure_all(),
            lambda: c.rx(0.5, 0),
            lambda: c.unitary(identity, 0),
            lambda: c.transpile(),
        ):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                change()
        # Readers still work.
        assert c.num_qubits() == before
        assert c.global_phase == 0.0
        assert c.to_qasm().startswith("OPENQASM 2.0;")
        assert thread.is_alive(), "the run ended during the checks; make the circuit longer"
    finally:
        thread.join()
    assert len(results) == 1
    # The shared access was given back when the run returned.
    c.h(0)


def test_two_runs_of_one_circuit_share_access():
    c = long_circuit(0.5)
    results = []
    thread = start_run(c, results, shots=0)
    try:
        assert wait_until_borrowed(c, thread)
        # Other circuits are unaffected.
        assert run(Circuit(1), shots=1).statevector().tolist() == [1, 0]
        # A second run of the same circuit takes shared access too.
        second = []
        other = start_run(c, second, shots=0)
        other.join()
        assert len(second) == 1
    finally:
        thread.join()
    assert results[0].statevector().tobytes() == second[0].statevector().tobytes()


def test_other_threads_progress_during_a_run():
    c = long_circuit()
    progress = [0]
    stop = threading.Event()

    def counter():
        while not stop.is_set():
            progress[0] += 1

    results = []
    thread = start_run(c, results, shots=0)
    ticker = threading.Thread(target=counter)
    ticker.start()
    try:
        assert wait_until_borrowed(c, thread)
        at_start = progress[0]
        seen_during_run = 0
        while thread.is_alive():
            seen_during_run = progress[0] - at_start
            time.sleep(0.01)
    finally:
        stop.set()
        thread.join()
        ticker.join()
    # The counter thread ran Python code while the engine was working.
    assert seen_during_run > 1000


@pytest.mark.parametrize("precision", ["f32", "f64"])
def test_parallel_runs_match_a_single_thread(precision):
    # 14 qubits: every kernel runs on the worker pool, which the threads share.
    circuits = [layered_circuit(14, 6, seed) for seed in range(4)]
    seeds = [11, 22, 33, 44]
    expected = [run(c, shots=2000, seed=s, precision=precision) for c, s in zip(circuits, seeds)]
    got = [None] * len(circuits)
    barrier = threading.Barrier(len(circuits))

    def body(i):
        barrier.wait()
        for _ in range(3):
            got[i] = run(circuits[i], shots=2000, seed=seeds[i], precision=precision)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(len(circuits))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for e, g in zip(expected, got):
        assert g.counts() == e.counts()
        assert g.statevector().tobytes() == e.statevector().tobytes()
        assert g.probabilities().tobytes() == e.probabilities().tobytes()


def _child_run(queue):
    c = layered_circuit(14, 3, seed=5)
    result = run(c, shots=100, seed=9)
    small = run(layered_circuit(4, 2, seed=6), shots=50, seed=1)
    queue.put((result.statevector().tobytes(), result.counts(), small.counts()))


def test_run_in_a_forked_child():
    parent = run(layered_circuit(14, 3, seed=5), shots=100, seed=9)  # the pool exists now
    small = run(layered_circuit(4, 2, seed=6), shots=50, seed=1)
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    child = context.Process(target=_child_run, args=(queue,))
    child.start()
    try:
        state, counts, small_counts = queue.get(timeout=120)
    finally:
        child.join(timeout=30)
        if child.is_alive():
            child.kill()
            child.join()
    assert child.exitcode == 0
    assert state == parent.statevector().tobytes()
    assert counts == parent.counts()
    assert small_counts == small.counts()
