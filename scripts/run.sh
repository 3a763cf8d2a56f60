#!/usr/bin/env bash
# Installs what is missing, builds Veltrin and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
# A build of its own without tests and benchmarks, which need packages only the test command
# installs; it also keeps the two commands from reconfiguring each other's build.
cmake -S "$root" -B "$root/build-run" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELTRIN_BUILD_TESTS=OFF -DVELTRIN_BUILD_BENCH=OFF >/dev/null
cmake --build "$root/build-run" --target veltrin
# The splash picture and the window icon are read from the working directory.
cd "$root/build-run/app"
exec ./veltrin "$@"
