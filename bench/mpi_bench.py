"""vorn-mpi against a single process: the peer-comparison workloads at 22-24 qubits, run as

    1 rank  x 2 threads   (one process on both cores: the single-process reference)
    1 rank  x 1 thread
    2 ranks x 1 thread    (one rank per core)

and the seconds of simulation (the "simulate" time vorn-mpi reports: gates, exchanges and the
layout's restoration), the bytes each rank sent, and their ratio to the least the gate list
needs with pairwise exchanges (every global qubit a gate targets goes out once and back once).

    /usr/bin/python3 bench/mpi_bench.py [--qubits 22 24] [--rounds 3] [--precision f64]

The workloads are written by the generator that sits beside the checkout
(../shared/workloads/gen_workloads.py). Rounds alternate the order of the configurations; the
table shows the best and the median of the rounds.
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GENERATOR = os.path.join(ROOT, "..", "shared", "workloads", "gen_workloads.py")
BINARY = os.environ.get("VORN_MPI", os.path.join(ROOT, "build", "cpp", "mpi", "vorn-mpi"))
WORKLOADS = ["hsweep", "rxsweep", "cxchain", "qft", "random20"]
CONFIGS = [("1x2", 1, 2), ("1x1", 1, 1), ("2x1", 2, 1)]
STATS = re.compile(r"exchange: (\d+) exchanges, (\d+) bytes sent per rank \(most\), minimum (\d+) bytes")


def run_once(path, ranks, threads, precision):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), VORN_MPI_STATS="1",
               OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1")
    # A single rank with two threads must not be bound to one core, as mpirun does by default.
    binding = ["--bind-to", "none"] if threads > 1 else ["--bind-to", "core"]
    done = subprocess.run(
        ["mpirun", "-n", str(ranks), *binding, "--mca", "btl_vader_single_copy_mechanism", "none",
         BINARY, path, "--json", "--seed", "1", "--precision", precision],
        env=env, capture_output=True, text=True, timeout=3600, check=True)
    result = json.loads(done.stdout)
    sent, minimum = 0, 0
    match = STATS.search(done.stderr)
    if match:
        sent, minimum = int(match.group(2)), int(match.group(3))
    return result["times"]["simulate"], sent, minimum


def mib(n):
    return f"{n / 2**20:.0f}"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qubits", type=int, nargs="+", default=[22, 24])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--precision", default="f64", choices=["f32", "f64"])
    parser.add_argument("--workloads", nargs="+", default=WORKLOADS)
    args = parser.parse_args(argv)

    print(f"vorn-mpi, {args.precision}; seconds best / median of {args.rounds} rounds; "
          "exchanged = MiB sent per rank with 2 ranks, minimum = least for pairwise exchanges")
    print(f"{'workload':<9} {'n':>3}  {'1 rank x 2 thr':>15}  {'1 rank x 1 thr':>15}  "
          f"{'2 ranks x 1 thr':>15}  {'exchanged':>9}  {'minimum':>7}  {'ratio':>5}")
    with tempfile.TemporaryDirectory() as tmp:
        for n in args.qubits:
            out = os.path.join(tmp, str(n))
            subprocess.run([sys.executable, GENERATOR, out, "--qubits", str(n)], check=True,
                           capture_output=True)
            for name in args.workloads:
                path = os.path.join(out, name + ".qasm")
                times = {label: [] for label, _, _ in CONFIGS}
                sent = minimum = 0
                for r in range(args.rounds):
                    order = CONFIGS if r % 2 == 0 else list(reversed(CONFIGS))
                    for label, ranks, threads in order:
                        seconds, s, m = run_once(path, ranks, threads, args.precision)
                        times[label].append(seconds)
                        if ranks == 2:
                            sent, minimum = s, m
                cells = [f"{min(t):6.2f} / {statistics.median(t):6.2f}" for t in times.values()]
                ratio = f"{sent / minimum:5.2f}" if minimum else "    -"
                print(f"{name:<9} {n:>3}  {cells[0]:>15}  {cells[1]:>15}  {cells[2]:>15}  "
                      f"{mib(sent):>9}  {mib(minimum):>7}  {ratio}", flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
