"""Python-level costs of vorn_python: gate-method calls, run() overhead on small circuits, and
whole-circuit times for larger registers at both precisions and with 1 and 2 worker threads.

    python bench/run_bench.py                 # everything
    python bench/run_bench.py --sizes 16 20   # skip the 24-qubit circuits
    python bench/run_bench.py --only-counts   # counts() of runs with millions of distinct keys

The worker pool reads its size once per process (RAYON_NUM_THREADS), so each thread count runs
in a subprocess of its own.
"""
import argparse
import json
import math
import os
import random
import subprocess
import sys
import time

from vorn_python import Circuit, run


def best_of(fn, repeat, number):
    """The best mean time per call over `repeat` batches of `number` calls."""
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


# ---- gate-method calls -------------------------------------------------------------------------


def gate_call_costs(count=1_000_000):
    """Nanoseconds per call when appending `count` gates, net of the bare loop."""
    start = time.perf_counter()
    for _ in range(count):
        pass
    loop = time.perf_counter() - start

    def timed(label, append):
        c = Circuit(3)
        start = time.perf_counter()
        append(c, count)
        total = time.perf_counter() - start
        return label, total / count * 1e9, (total - loop) / count * 1e9

    def h(c, n):
        method = c.h
        for _ in range(n):
            method(0)

    def h_keyword(c, n):
        method = c.h
        for _ in range(n):
            method(qubit=0)

    def rx(c, n):
        method = c.rx
        for _ in range(n):
            method(0.5, 1)

    def cx(c, n):
        method = c.cx
        for _ in range(n):
            method(0, 1)

    def ccx(c, n):
        method = c.ccx
        for _ in range(n):
            method(0, 1, 2)

    def attribute_lookup(c, n):
        for _ in range(n):
            c.h(0)

    return [
        timed("h(0)", h),
        timed("h(qubit=0)", h_keyword),
        timed("rx(0.5, 1)", rx),
        timed("cx(0, 1)", cx),
        timed("ccx(0, 1, 2)", ccx),
        timed("c.h(0) with attribute lookup", attribute_lookup),
    ]


# ---- run() overhead ------------------------------------------------------------------------------


def run_overheads():
    bell = Circuit(2)
    bell.h(0)
    bell.cx(0, 1)
    measured = Circuit(2)
    measured.h(0)
    measured.cx(0, 1)
    measured.measure_all()
    rows = []
    for label, fn in [
        ("Bell, no measurement, seed=1", lambda: run(bell, seed=1)),
        ("Bell, no measurement, no seed (OS entropy)", lambda: run(bell)),
        ("Bell + measure_all, 1024 shots, seed=1", lambda: run(measured, 1024, 1)),
        ("Bell + measure_all, 1024 shots, f32", lambda: run(measured, 1024, 1, "f32")),
        ("Bell + measure_all, then counts()", lambda: run(measured, 1024, 1).counts()),
    ]:
        rows.append((label, best_of(fn, repeat=7, number=2000) * 1e6))
    result = run(measured, 1024, 1)
    for label, fn in [
        ("counts() of that result", result.counts),
        ("statevector() of that result", result.statevector),
        ("probabilities() of that result", result.probabilities),
    ]:
        rows.append((label, best_of(fn, repeat=7, number=5000) * 1e6))
    return rows


# ---- counts() of large runs ------------------------------------------------------------------------


def ghz_like(n):
    """H on every qubit, then a CX chain: all 2^n outcomes equally likely."""
    c = Circuit(n)
    for q in range(n):
        c.h(q)
    for q in range(n - 1):
        c.cx(q, q + 1)
    c.measure_all()
    return c


def counts_costs(cases=((20, 10**6), (24, 10**6), (24, 10**7))):
    """Per case: run() with and without the shots, counts() of the result (best of 3), and a
    dict comprehension over the same keys and values, made afresh so that no hash is cached."""
    rows = []
    for n, shots in cases:
        circuit = ghz_like(n)
        start = time.perf_counter()
        run(circuit, shots=0, seed=1)
        bare = time.perf_counter() - start
        start = time.perf_counter()
        result = run(circuit, shots=shots, seed=1)
        sampled = time.perf_counter() - start
        counts_time = best_of(result.counts, repeat=3, number=1)
        items = list(result.counts().items())
        comprehension = math.inf
        for _ in range(3):
            keys = [bytes(k, "ascii").decode("ascii") for k, _ in items]
            values = [v for _, v in items]
            start = time.perf_counter()
            made = {k: v for k, v in zip(keys, values)}
            comprehension = min(comprehension, time.perf_counter() - start)
            del made, keys, values
        rows.append((n, shots, len(items), bare, sampled, counts_time, comprehension))
        del result, items
    return rows


# ---- whole circuits ------------------------------------------------------------------------------


class Counted:
    """Appends to a circuit and counts the gates appended."""

    def __init__(self, n):
        self.circuit = Circuit(n)
        self.gates = 0

    def __getattr__(self, name):
        method = getattr(self.circuit, name)

        def append(*args):
            self.gates += 1
            method(*args)

        return append


def random_layers(n, layers=4, seed=1):
    rng = random.Random(seed)
    c = Counted(n)
    for _ in range(layers):
        for q in range(n):
            getattr(c, rng.choice(["h", "x", "t", "s"]))(q)
            c.rz(rng.uniform(-math.pi, math.pi), q)
        for q in range(rng.randrange(2), n - 1, 2):
            c.cx(q, q + 1)
    return c


def controlled_phase(c, angle, control, target):
    # CP(angle) from native gates, up to a global phase.
    c.rz(angle / 2, control)
    c.cx(control, target)
    c.rz(-angle / 2, target)
    c.cx(control, target)
    c.rz(angle / 2, target)


def qft(n):
    c = Counted(n)
    for q in range(0, n, 3):
        c.x(q)
    for target in reversed(range(n)):
        c.h(target)
        for control in reversed(range(target)):
            controlled_phase(c, math.pi / 2 ** (target - control), control, target)
    for q in range(n // 2):
        c.swap(q, n - 1 - q)
    return c


def worker(sizes):
    """Runs in a subprocess with the pool size fixed by RAYON_NUM_THREADS; prints JSON rows."""
    rows = []
    run(random_layers(14, 1).circuit, shots=0)  # creates the pool and warms the kernels
    for n in sizes:
        for name, build in [("random layers", random_layers), ("QFT", qft)]:
            counted = build(n)
            gates = counted.gates
            for precision in ["f32", "f64"]:
                start = time.perf_counter()
                run(counted.circuit, shots=0, precision=precision)
                seconds = time.perf_counter() - start
                rows.append([n, name, gates, precision, seconds])
    print(json.dumps(rows))


def whole_circuits(sizes):
    table = {}
    for threads in [1, 2]:
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        output = subprocess.run(
            [sys.executable, __file__, "--worker", *map(str, sizes)],
            env=env, check=True, capture_output=True, text=True,
        ).stdout
        for n, name, gates, precision, seconds in json.loads(output):
            table.setdefault((n, name, gates, precision), {})[threads] = seconds
    return table


def print_counts_costs():
    print("GHZ-like circuits (H on every qubit, CX chain, measure_all): sampling and counts()")
    print(f"  {'n':>3} {'shots':>9} {'keys':>9} {'run, 0 shots':>13} {'run, shots':>11}"
          f" {'per shot':>10} {'counts()':>10} {'dict comp.':>11}")
    for n, shots, keys, bare, sampled, counts_time, comprehension in counts_costs():
        print(f"  {n:>3} {shots:>9} {keys:>9} {bare:>11.3f} s {sampled:>9.3f} s"
              f" {(sampled - bare) / shots * 1e6:>7.3f} us {counts_time:>8.3f} s {comprehension:>9.3f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[16, 20, 24])
    parser.add_argument("--worker", type=int, nargs="+", help=argparse.SUPPRESS)
    parser.add_argument("--skip-circuits", action="store_true")
    parser.add_argument("--only-counts", action="store_true")
    args = parser.parse_args()
    if args.worker:
        worker(args.worker)
        return
    if args.only_counts:
        print_counts_costs()
        return

    print("Gate-method calls, appending 10^6 gates (target < 150 ns per call)")
    for label, gross, net in gate_call_costs():
        print(f"  {label:<32} {gross:7.1f} ns/call   ({net:6.1f} ns net of the bare loop)")

    print()
    print("run() on a 2-qubit circuit (targets: < 10 us without measurement, < 40 us with")
    print("measure_all and 1024 shots)")
    for label, micros in run_overheads():
        print(f"  {label:<44} {micros:8.2f} us")

    print()
    print_counts_costs()

    if args.skip_circuits:
        return
    print()
    print("Whole circuits (one run each, shots=0)")
    print(f"  {'n':>3} {'circuit':<14} {'gates':>6} {'prec':<4} {'1 thread':>11} {'2 threads':>11}"
          f" {'per gate, 1 thr':>16} {'per gate, 2 thr':>16}")
    for (n, name, gates, precision), times in sorted(whole_circuits(args.sizes).items()):
        one, two = times[1], times[2]
        print(f"  {n:>3} {name:<14} {gates:>6} {precision:<4} {one * 1e3:>8.1f} ms {two * 1e3:>8.1f} ms"
              f" {one / gates * 1e6:>13.1f} us {two / gates * 1e6:>13.1f} us")


if __name__ == "__main__":
    main()
