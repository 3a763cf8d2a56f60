#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite three ways: a normal
# build, an AddressSanitizer + UndefinedBehaviorSanitizer build, and a ThreadSanitizer build
# of the concurrent parts. Every test runs in a network namespace of its own (scripts/netns-run).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/setup.sh" --tests
jobs=$(nproc)

run_suite() { # build-dir ctest-args...
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure --timeout 900 -j "$jobs" "$@")
}

start=$(date +%s)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRIN_WERROR=ON >/dev/null
cmake --build build
run_suite build

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELTRIN_WERROR=ON \
  -DVELTRIN_SANITIZE=address,undefined -DVELTRIN_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite build-asan

# ThreadSanitizer sees only code it instrumented, so it runs the tests that are free of Qt.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELTRIN_WERROR=ON \
  -DVELTRIN_SANITIZE=thread -DVELTRIN_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan --target tsan_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_suite build-tsan -L tsan
echo "All three suites passed in $(( $(date +%s) - start )) s."
