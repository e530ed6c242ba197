#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite, in three
# build folders:
#   build/       the receiver and every test: unit, Qt and end-to-end;
#   build-asan/  the core and its unit tests under AddressSanitizer and
#                UndefinedBehaviorSanitizer (CMake preset "asan", no Qt);
#   build-fuzz/  the fuzz targets (clang, libFuzzer), each run for a short
#                while (preset "fuzz"; tests/fuzz/README.md tells how to run
#                them longer).
# Every stage runs even when an earlier one had failing tests; the script
# fails if any test failed or any ctest run could not finish.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"

bash scripts/deps.sh

passed=0
failed=0
status=0

# run_ctest LABEL CTEST_ARGS...: runs ctest and adds up its closing counts.
run_ctest() {
  local label=$1
  shift
  local log
  log="$(mktemp)"
  local rc=0
  ctest "$@" 2>&1 | tee "$log" || rc=$?
  local counts
  counts="$(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' "$log" | tail -n 1)"
  rm -f "$log"
  if [ -z "$counts" ]; then
    echo "test.sh: $label: ctest gave no result (exit code $rc)" >&2
    status=1
    return
  fi
  local f t
  read -r f t <<<"$counts"
  passed=$((passed + t - f))
  failed=$((failed + f))
  if [ "$rc" -ne 0 ] || [ "$f" -ne 0 ]; then
    echo "test.sh: $label: $f of $t tests failed" >&2
    status=1
  fi
}

# configure PRESET: configures quietly, showing the output only on failure.
configure() {
  local log
  log="$(mktemp)"
  if ! cmake --preset "$1" >"$log" 2>&1; then
    cat "$log"
    rm -f "$log"
    exit 1
  fi
  rm -f "$log"
}

# stage TEXT: a heading with the time spent so far, so a slow stage shows.
stage() {
  echo "== [${SECONDS}s] $1"
}

stage "build/: receiver, unit, Qt and end-to-end tests"
bash scripts/build.sh
run_ctest build --test-dir build --output-on-failure -j"$jobs" --timeout 300

stage "build-asan/: core unit tests under AddressSanitizer and UBSan"
configure asan
cmake --build --preset asan -j"$jobs"
run_ctest build-asan --preset asan -j"$jobs"

stage "build-fuzz/: fuzz targets, short runs"
configure fuzz
cmake --build --preset fuzz -j"$jobs"
run_ctest build-fuzz --preset fuzz -j"$jobs"

stage "done"
echo "all: $passed passed, $failed failed"
exit "$status"
