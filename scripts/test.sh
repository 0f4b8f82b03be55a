#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, runs every test
# through CTest, then builds again with AddressSanitizer and
# UndefinedBehaviorSanitizer (clang, with the libFuzzer targets) and runs the
# suite once more, then a third time built with ThreadSanitizer (clang; it
# also checks the lock annotations at compile time), and gives each fuzzer a
# bounded run.
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_failed=0

scripts/install-deps.sh

JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}

echo "== build (RelWithDebInfo)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$JOBS"
echo "== tests"
ctest --test-dir build --output-on-failure -j "$JOBS" --timeout 300 | tee build/ctest.log

echo "== build (AddressSanitizer + UndefinedBehaviorSanitizer, clang)"
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKV_SANITIZE=ON -DKV_FUZZ=ON >/dev/null
cmake --build build-asan -j "$JOBS"
echo "== tests under sanitizers"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure -j "$JOBS" --timeout 600 | tee build-asan/ctest.log

echo "== build (ThreadSanitizer, clang)"
CC=clang CXX=clang++ cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKV_TSAN=ON >/dev/null
cmake --build build-tsan -j "$JOBS"
echo "== tests under ThreadSanitizer"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"
ctest --test-dir build-tsan --output-on-failure -j "$JOBS" --timeout 600 | tee build-tsan/ctest.log
unset TSAN_OPTIONS

echo "== fuzzing, ${FUZZ_SECONDS}s per target"
for fuzzer in build-asan/fuzz/*_fuzz; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  corpus="build-asan/fuzz-corpus/$name"
  mkdir -p "$corpus"
  seeds="fuzz/seeds/${name%_fuzz}"
  [ -d "$seeds" ] || seeds=""
  echo "-- $name"
  if ! "$fuzzer" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    "$corpus" $seeds > "build-asan/$name.log" 2>&1; then
    tail -n 40 "build-asan/$name.log"
    fuzz_failed=$((fuzz_failed + 1))
  else
    tail -n 3 "build-asan/$name.log"
  fi
done

total() { sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$1" | tail -n 1; }
passed=$(($(total build/ctest.log) + $(total build-asan/ctest.log) + $(total build-tsan/ctest.log)))
echo "== summary: three test passes and $(ls build-asan/fuzz/*_fuzz 2>/dev/null | wc -l) fuzzers"
echo "$passed passed, $fuzz_failed failed"
[ "$fuzz_failed" -eq 0 ]
