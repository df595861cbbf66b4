"""What a run() pays for its state's memory, seen from Python: a first run of a size, and a
second run of the same circuit after the first result was released.

    python bench/state_memory_bench.py                   # n = 24, f64 and f32, 1 and 2 threads
    python bench/state_memory_bench.py --sizes 22 24 --repeat 5

The circuit is one H gate, so a run is the state's creation, one pass over the state (which
also pays for fresh pages on a first run) and nothing else; the engine runs consecutive gates in
cache-sized passes, so more gates would not add passes one by one. bench/memory_bench (C++)
separates the pass from the memory's cost; this program shows what a user of run() sees. A run of
another size before the first run releases the memory kept from earlier runs, so that the first
run maps fresh memory, as a process's first run of that size does.

The worker pool reads its size once per process (RAYON_NUM_THREADS), so each thread count runs
in a subprocess of its own.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

from vorn_python import Circuit, run

GATES = 1


def circuit(n, gates):
    c = Circuit(n)
    for i in range(gates):
        c.h(i % n)
    return c


def timed_run(c, precision):
    start = time.perf_counter()
    result = run(c, shots=0, precision=precision)
    seconds = time.perf_counter() - start
    del result  # released before the next run
    return seconds


def worker(sizes, repeat):
    rows = []
    run(circuit(14, 1), shots=0)  # creates the pool
    for n in sizes:
        for precision in ["f64", "f32"]:
            short = circuit(n, GATES)
            for _ in range(repeat):
                timed_run(circuit(n - 1, 1), precision)  # another size: nothing kept for n
                first = timed_run(short, precision)
                second = timed_run(short, precision)
                rows.append([n, precision, first, second])
    print(json.dumps(rows))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[24])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.sizes, args.repeat)
        return
    print("run() of one H gate, shots=0: milliseconds of a first run of the size (fresh memory)"
          " and of a second run after the first result was released")
    print(f"  {'n':>3} {'prec':<4} {'pool':>4} | {'first run':>10} | {'second run':>10}")
    for threads in args.threads:
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        output = subprocess.run(
            [sys.executable, __file__, "--worker", "--repeat", str(args.repeat),
             "--sizes", *map(str, args.sizes)],
            env=env, check=True, capture_output=True, text=True,
        ).stdout
        rows = json.loads(output)
        for n, precision, first, second in rows:
            print(f"  {n:>3} {precision:<4} {threads:>4} | {first * 1e3:>10.1f} | {second * 1e3:>10.1f}")
        # Medians over the repetitions: the machine's noise moves single runs by a pass or more.
        for n in args.sizes:
            for precision in ["f64", "f32"]:
                mine = [r for r in rows if r[0] == n and r[1] == precision]
                first = statistics.median(r[2] for r in mine)
                second = statistics.median(r[3] for r in mine)
                print(f"  {n:>3} {precision:<4} {threads:>4} | {first * 1e3:>10.1f} |"
                      f" {second * 1e3:>10.1f}   median")


if __name__ == "__main__":
    main()
