"""The NumPy route to <psi|H|psi>, on the sizes and Hamiltonians of expectation_bench: a copy of
the state (what statevector() hands over) and, per Pauli string, the index arithmetic a user
would write (flip the amplitudes with psi[idx ^ x], signs from the Z and Y bits of idx ^ x, the
phase i^y, then the real part of a vdot). Prints the best time of --repeat runs per Hamiltonian,
precision and the NumPy thread count it was given (OMP/OPENBLAS_NUM_THREADS, which the
elementwise operations used here do not use).

Usage: /usr/bin/python3 bench/expectation_numpy.py [--qubits 24] [--precision f64,f32] [--repeat 3]
"""
import argparse
import time

import numpy as np


def ising(n):
    terms = [(0.7, {k: "Z", k + 1: "Z"}) for k in range(min(23, n - 1))]
    terms += [(-0.3, {k: "Z"}) for k in range(min(17, n))]
    return terms


def heisenberg(n):
    bonds = [k for k in range(0, min(23, n - 1), 2)] + [1, 3]
    terms = [(1.0, {k: letter, k + 1: letter}) for k in bonds for letter in "XYZ"]
    return terms[:40]


def random_state(n, dtype):
    """The state of expectation_bench: a 64-bit mix of the index, normalised."""
    i = np.arange(1, 2 ** n + 1, dtype=np.uint64)
    with np.errstate(over="ignore"):
        h = i * np.uint64(0x9E3779B97F4A7C15)
        h ^= h >> np.uint64(31)
        h *= np.uint64(0xBF58476D1CE4E5B9)
        h ^= h >> np.uint64(29)
    re = (h >> np.uint64(40)).astype(np.float64) / 16777216.0 * 2 - 1
    im = ((h >> np.uint64(16)) & np.uint64(0xFFFFFF)).astype(np.float64) / 16777216.0 * 2 - 1
    scale = 1 / np.sqrt(2 ** n * 2 / 3)
    return ((re + 1j * im) * scale).astype(dtype)


def numpy_expectation(psi, terms):
    """sum_t c_t <psi|P_t|psi> with index arithmetic, one string at a time; the probabilities
    are formed once for the Z-only strings."""
    idx = np.arange(psi.size, dtype=np.int64)
    probabilities = None
    total = 0.0
    for coefficient, factors in terms:
        x = sum(1 << q for q, letter in factors.items() if letter in "XY")
        z = sum(1 << q for q, letter in factors.items() if letter in "ZY")
        y = sum(1 for letter in factors.values() if letter == "Y")
        source = idx ^ x if x else idx
        parity = np.zeros(psi.size, dtype=np.int64)
        for q in range(64):
            if (z >> q) & 1:
                parity ^= (source >> q) & 1
        signs = 1.0 - 2.0 * parity
        if x == 0:
            if probabilities is None:
                probabilities = psi.real.astype(np.float64) ** 2 + psi.imag.astype(np.float64) ** 2
            value = probabilities @ signs
        else:
            value = ((1j ** y) * np.vdot(psi, signs * psi[source])).real
        total += coefficient * value
    return total


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qubits", type=int, default=24)
    parser.add_argument("--precision", default="f64,f32")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    n = args.qubits
    print(f"NumPy {np.__version__}, {n} qubits, best of {args.repeat}: copy + evaluation, in ms")
    for precision in args.precision.split(","):
        state = random_state(n, np.complex64 if precision == "f32" else np.complex128)
        for name, terms in (("ising", ising(n)), ("heisenberg", heisenberg(n))):
            best = float("inf")
            value = 0.0
            for _ in range(args.repeat):
                start = time.perf_counter()
                psi = state.copy()
                value = numpy_expectation(psi, terms)
                best = min(best, time.perf_counter() - start)
            print(f"{precision} {name:10s} {best * 1e3:10.1f}   value {value:+.6f}")


if __name__ == "__main__":
    main()
