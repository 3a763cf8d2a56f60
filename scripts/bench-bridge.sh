#!/usr/bin/env bash
# Veltrin's bridge against zita-njbridge on private JACK dummy servers, inside a private network
# namespace: builds the benchmark, runs it and prints a Markdown table and details per run.
#   scripts/bench-bridge.sh [--periods 64,256,1024] [--channels 2,8,64] [--seconds 20] ...
#       one server for both sides; about 15 minutes with the defaults
#   scripts/bench-bridge.sh --clocks two --ppm 187 [--rate-b 44100] --periods 256 --channels 2
#       the sender on server A, running --ppm fast (negative: slow), the receiver on server B
#   scripts/bench-bridge.sh --platform pipewire-desktop --periods 256 --channels 2 --no-search
#       a private PipeWire with a desktop's clock and a stand-in sound card; Veltrin's peers are
#       started plainly and choose their route themselves, zita-njbridge runs through the same
#       card (pipewire-alsa: the peers on the ALSA plug-in's "pipewire" device instead;
#       pipewire-jack: the quantum fixed at the period, as pw-jack -p sets it)
# (veltrin_bridge_bench --help lists the options). Logs, probe records and the latency of every
# impulse (CSV) go to --log-dir, /tmp/veltrin-bridge-bench by default.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELTRIN_BENCH_BUILD:-$root/build-bench}
"$root/scripts/setup.sh" --tests
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRIN_WERROR=ON >/dev/null
cmake --build "$build" --target veltrin_bridge_bench
# PipeWire's libjack must be the one the benchmark and everything it starts load.
wrapper=()
for arg in "$@"; do
  [[ "$arg" == pipewire-* ]] && wrapper=(pw-jack)
done
exec "$root/scripts/netns-run" "${wrapper[@]}" "$build/bench/bridge/veltrin_bridge_bench" "$@"
