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

# JACK keeps a machine-wide registry of at most eight servers in /dev/shm, and a server that was
# killed (as the device-loss tests and a crashed test leave it) stays in it under its own name.
# With no JACK server running, nothing in it is live: start from an empty one.
if ! pgrep -x jackd >/dev/null && ! pgrep -x jackdbus >/dev/null; then
  rm -f /dev/shm/jack-shm-registry /dev/shm/jack-[0-9]*-[0-9]* /dev/shm/jack_sem.* \
        /dev/shm/jack_*_[0-9]_[0-9]
fi

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

# Fuzzing: every libFuzzer target (the parsers of network bytes and of the settings file),
# built with clang and run for a bounded time from its corpus. New inputs go to a scratch
# directory, never into the source tree.
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DVELTRIN_BUILD_BENCH=OFF >/dev/null
fuzzers=(
  "veltrin_fuzz_datagram tests/runtime/fuzz/corpus"
  "veltrin_fuzz_dns tests/runtime/discovery/fuzz/corpus"
  "veltrin_fuzz_discovery_config tests/runtime/discovery/fuzz/corpus"
)
for entry in "${fuzzers[@]}"; do
  read -r target corpus <<<"$entry"
  cmake --build build-fuzz --target "$target"
  binary=$(find build-fuzz -type f -name "$target" -perm -u+x | head -n 1)
  scratch=$(mktemp -d)
  echo "Fuzzing $target for 30 s"
  "$binary" -max_total_time=30 -rss_limit_mb=2048 -print_final_stats=1 "$scratch" "$corpus"
  rm -rf "$scratch"
done
echo "Fuzzing found nothing."
