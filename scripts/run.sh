#!/usr/bin/env bash
# Installs what is missing, builds Veltrin and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" --target veltrin
# The splash picture and the window icon are read from the working directory.
cd "$root/build/app"
exec ./veltrin "$@"
