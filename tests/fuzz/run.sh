#!/usr/bin/env bash
# Builds the OpenQASM reader's fuzz target with clang, AddressSanitizer and UBSan in build/fuzz,
# then fuzzes it for a bounded time: tests/fuzz/run.sh [seconds] (default 60). New inputs go to
# tests/fuzz/work/; the seeds are the programs in tests/fuzz/corpus and the OpenQASM corpus in
# tests/data/qasm. An input that crashes or hangs is saved as tests/fuzz/crash-* or timeout-*
# and the script fails.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds="${1:-60}"
build=build/fuzz

if [[ ! -f $build/build.ninja ]]; then
  # The fuzzer's coverage instrumentation goes into every library too.
  CXX=clang++ CXXFLAGS=-fsanitize=fuzzer-no-link meson setup "$build" \
    -Dfuzz=true -Dpython=false -Dtests=false -Dbench=false \
    -Dbuildtype=debugoptimized -Dwerror=true -Db_sanitize=address,undefined -Db_lundef=false
fi
ninja -C "$build" tests/fuzz/qasm_fuzz

mkdir -p tests/fuzz/work
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
"$build/tests/fuzz/qasm_fuzz" tests/fuzz/work \
  tests/fuzz/corpus tests/data/qasm/accepted tests/data/qasm/refused \
  -dict=tests/fuzz/qasm.dict \
  -max_total_time="$seconds" \
  -max_len=16384 \
  -timeout=10 \
  -rss_limit_mb=2048 \
  -artifact_prefix=tests/fuzz/ \
  -print_final_stats=1
