#!/usr/bin/env bash
# The bridge benchmark on a desktop's PipeWire while another client changes the graph's quantum:
# 70 s of Veltrin at 256 frames, 2 channels, impulses every 200 ms; from 25 s a client asks for
# 64 frames for 10 s, from 45 s the quantum is forced to 1024 frames for 10 s. Prints the table,
# the per-10 s medians and the times of the changes (seconds since the epoch; the latencies of
# every impulse are in the log directory's CSV).
#   scripts/bench-quantum-change.sh [log dir, /tmp/veltrin-quantum-change by default]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELTRIN_BENCH_BUILD:-$root/build-bench}
log=${1:-/tmp/veltrin-quantum-change}
"$root/scripts/setup.sh" --tests
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRIN_WERROR=ON >/dev/null
cmake --build "$build" --target veltrin_bridge_bench
rm -rf "$log"
mkdir -p "$log"
pw-jack "$build/bench/bridge/veltrin_bridge_bench" --platform pipewire-desktop --periods 256 \
  --channels 2 --seconds 70 --spacing-ms 200 --no-zita --log-dir "$log" >"$log/bench.txt" 2>&1 &
bench=$!
# The Veltrin run begins once the devices-alone row is over; its warm-up takes a few seconds.
while [[ ! -f "$log/veltrin-recv-p256-c2.log" ]] && kill -0 "$bench" 2>/dev/null; do sleep 0.5; done
PIPEWIRE_RUNTIME_DIR=$(ls -td /tmp/veltrin-pipewire-*/runtime | head -1)
export PIPEWIRE_RUNTIME_DIR
sleep 33
python3 - "$log/silence.wav" <<'PY'
import struct, sys
data = b"\0" * (48000 * 12 * 2 * 4)
header = b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " + \
    struct.pack("<IHHIIHH", 16, 3, 2, 48000, 48000 * 8, 8, 32) + b"data" + struct.pack("<I", len(data))
open(sys.argv[1], "wb").write(header + data)
PY
echo "64 frames asked: $(date +%s.%N)" >"$log/changes.txt"
pw-play --latency 64 -P node.name=quantum-changer --target 0 "$log/silence.wav" >/dev/null 2>&1 &
player=$!
sleep 10
kill "$player"
echo "64 frames no longer asked: $(date +%s.%N)" >>"$log/changes.txt"
sleep 10
pw-metadata -n settings 0 clock.force-quantum 1024 >/dev/null
echo "1024 frames forced: $(date +%s.%N)" >>"$log/changes.txt"
sleep 10
pw-metadata -n settings 0 clock.force-quantum 0 >/dev/null
echo "1024 frames released: $(date +%s.%N)" >>"$log/changes.txt"
wait "$bench"
grep -E '^\||median latency' "$log/bench.txt"
cat "$log/changes.txt"
