#!/usr/bin/env bash
# Veltrin's bridge against zita-njbridge on a private JACK dummy server at 48 kHz, inside a
# private network namespace: builds the benchmark, runs it and prints a Markdown table.
#   scripts/bench-bridge.sh [--periods 64,256,1024] [--channels 2,8,64] [--seconds 20] ...
# (veltrin_bridge_bench --help lists the options). Takes about 15 minutes with the defaults.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELTRIN_BENCH_BUILD:-$root/build-bench}
"$root/scripts/setup.sh" --tests
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRIN_WERROR=ON >/dev/null
cmake --build "$build" --target veltrin_bridge_bench veltrin_bridge_peer
exec "$root/scripts/netns-run" "$build/bench/bridge/veltrin_bridge_bench" "$@"
