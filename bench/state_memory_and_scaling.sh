#!/usr/bin/env bash
# The state's memory cost per run (first and second run of a size) and the 1- and 2-thread
# kernel times, in one go: the two C++ programs, then the same memory figures seen from Python.
# Expects tools/install.sh and the C++ build (build/cpp) to be done. Takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
build/cpp/bench/memory_bench --qubits 20,22,24,26 --repeat 3
echo
build/cpp/bench/scaling_bench --qubits 14,16,18,20,22,24 --repeat 5
echo
build/venv/bin/python bench/state_memory_bench.py --sizes 24 --repeat 5
