#!/usr/bin/env bash
# The whole-circuit workloads, blocked against gate by gate, at 24 and 20 qubits: builds the
# benchmark, writes the 20-qubit set with the shared generator, and runs both. Extra arguments
# go to workloads_bench (for example --repeat 3).
set -euo pipefail
cd "$(dirname "$0")/.."
shared=../shared/workloads
ninja -C build/cpp bench/workloads_bench >/dev/null
out=build/workloads20
mkdir -p "$out"
/usr/bin/python3 "$shared/gen_workloads.py" "$out" --qubits 20 >/dev/null
build/cpp/bench/workloads_bench "$@" "$shared" "$out"
