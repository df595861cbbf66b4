"""Every run starts from |0...0>, bit for bit, also when its state reuses the memory of a
released result (states from 2 MiB on), and when several threads run at once."""
import math
import threading

import numpy as np
import pytest

from vorn_python import Circuit, run


def nan_everywhere(n):
    """A circuit whose final state is NaN in every amplitude."""
    c = Circuit(n)
    for q in range(n):
        c.rx(math.nan, q)
    return c


def zero_state_bytes(n, precision):
    expected = np.zeros(2**n, dtype=np.complex64 if precision == "f32" else np.complex128)
    expected[0] = 1
    return expected.tobytes()


@pytest.mark.parametrize("precision", ["f32", "f64"])
@pytest.mark.parametrize("n", [18, 23])
def test_state_after_a_released_nan_state_is_the_zero_state(n, precision):
    result = run(nan_everywhere(n), shots=0, precision=precision)
    assert np.isnan(result.statevector()).all()
    del result
    fresh = run(Circuit(n), shots=0, precision=precision)
    assert fresh.statevector().tobytes() == zero_state_bytes(n, precision)
    # The same size at the other precision has other bytes; it starts from zero as well.
    other = "f64" if precision == "f32" else "f32"
    del fresh
    assert run(Circuit(n), shots=0, precision=other).statevector().tobytes() == zero_state_bytes(
        n, other
    )


def test_concurrent_runs_each_start_from_the_zero_state():
    n = 18
    expected = zero_state_bytes(n, "f64")
    failures = []

    def work():
        for _ in range(8):
            poisoned = run(nan_everywhere(n), shots=0)
            del poisoned
            state = run(Circuit(n), shots=0).statevector()
            if state.tobytes() != expected:
                failures.append(np.flatnonzero(state != np.frombuffer(expected, np.complex128)))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
