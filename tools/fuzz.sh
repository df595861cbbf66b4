#!/usr/bin/env bash
# Fuzzing campaigns over the libFuzzer targets in tests/fuzz, built with clang, AddressSanitizer
# and UBSan in build/fuzz:
#
#   tools/fuzz.sh [--minutes N | --seconds N] [--check] [TARGET...]
#
# Each target (default: all) runs for the given time (default 10 minutes) from its corpus in
# tests/fuzz/corpus/TARGET, with new inputs collected in tests/fuzz/work/TARGET; the corpus is
# then minimised (libFuzzer's merge of corpus and new inputs) and written back, so that it stays
# in the repository. --check runs without touching the corpus (what CI does). Per target the
# script prints the time, the executions and the coverage (libFuzzer's edges "cov" and features
# "ft"). An input that crashes, leaks or hangs is saved as tests/fuzz/crash-*, leak-* or
# timeout-* and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."

ALL=(qasm roundtrip transpile unitary execution)
seconds=600
check=0
targets=()
while (($#)); do
  case $1 in
    --minutes) seconds=$(($2 * 60)); shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --check) check=1; shift ;;
    -h | --help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
((${#targets[@]})) || targets=("${ALL[@]}")
for t in "${targets[@]}"; do
  if [[ ! " ${ALL[*]} " == *" $t "* ]]; then
    echo "fuzz.sh: no target $t (targets: ${ALL[*]})" >&2
    exit 2
  fi
done

build=build/fuzz
if [[ ! -f $build/build.ninja ]]; then
  # The fuzzer's coverage instrumentation goes into every library too.
  CXX=clang++ CXXFLAGS=-fsanitize=fuzzer-no-link meson setup "$build" \
    -Dfuzz=true -Dpython=false -Dtests=false -Dbench=false \
    -Dbuildtype=debugoptimized -Dwerror=true -Db_sanitize=address,undefined -Db_lundef=false
fi
ninja -C "$build" -j 2 $(printf 'tests/fuzz/%s_fuzz ' "${targets[@]}")

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# The longest input of each target: the text targets read programs, the others decode a few
# hundred bytes into a circuit or a matrix.
max_len() {
  case $1 in
    qasm | roundtrip) echo 16384 ;;
    *) echo 1024 ;;
  esac
}

# Extra seeds and the dictionary: the reader's targets also start from the OpenQASM corpus.
extra_args() {
  case $1 in
    qasm | roundtrip)
      echo tests/data/qasm/accepted tests/data/qasm/refused -dict=tests/fuzz/qasm.dict ;;
  esac
}

summary=()
for t in "${targets[@]}"; do
  corpus=tests/fuzz/corpus/$t
  work=tests/fuzz/work/$t
  log=tests/fuzz/work/$t.log
  mkdir -p "$corpus" "$work"
  echo "== fuzzing $t for ${seconds} s"
  start=$(date +%s)
  set +e
  # shellcheck disable=SC2046
  "$build/tests/fuzz/${t}_fuzz" "$work" "$corpus" $(extra_args "$t") \
    -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=20 -rss_limit_mb=2048 \
    -artifact_prefix=tests/fuzz/ -print_final_stats=1 >"$log" 2>&1
  status=$?
  set -e
  grep -E '^#[0-9]+ +(INITED|DONE)|property failed|==ERROR|SUMMARY|stat::(number_of_executed|peak)' "$log" || true
  elapsed=$(($(date +%s) - start))
  if ((status != 0)); then
    echo "fuzz.sh: $t failed (status $status); see $log" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  if ((!check)); then
    # The minimised union of the corpus and what this campaign found replaces the corpus.
    merged=$(mktemp -d)
    "$build/tests/fuzz/${t}_fuzz" -merge=1 -max_len="$(max_len "$t")" "$merged" "$corpus" \
      "$work" >"$log.merge" 2>&1
    rm -rf "$corpus"
    mv "$merged" "$corpus"
    rm -rf "$work"
  fi
  summary+=("$(printf '%-10s %6d s %12s executions  %s  corpus %d files' "$t" "$elapsed" \
    "$runs" "$cov" "$(find "$corpus" -type f | wc -l)")")
done
echo "== fuzzing summary"
printf '%s\n' "${summary[@]}"
