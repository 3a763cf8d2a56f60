#!/usr/bin/env bash
# Installs the Debian packages Veltrin needs, only those that are missing.
#   scripts/setup.sh          packages to build and run the application
#   scripts/setup.sh --tests  also the packages the tests and benchmarks use
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qtbase5-dev qtdeclarative5-dev qtquickcontrols2-5-dev
  qml-module-qtquick2 qml-module-qtquick-window2 qml-module-qtquick-layouts
  qml-module-qtquick-controls qml-module-qtquick-controls2 qml-module-qtquick-templates2
  qml-module-qtquick-extras qml-module-qtquick-dialogs
  portaudio19-dev libsoxr-dev libisal-dev fonts-lato xdg-utils
  pipewire-jack
)
if [[ "${1:-}" == "--tests" ]]; then
  packages+=(
    libgtest-dev libgmock-dev libbenchmark-dev
    jackd2 libjack-jackd2-dev qml-module-qttest xvfb xauth iproute2 util-linux
    clang libclang-rt-14-dev imagemagick zita-njbridge appstream
    nftables
    pipewire pipewire-bin wireplumber pipewire-alsa
  )
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -ne 0 ]] && sudo=(sudo)
echo "Installing: ${missing[*]}"
# jackd2 asks whether to enable real-time limits; answer it so the install never waits.
echo "jackd2 jackd/tweak_rt_limits boolean false" | "${sudo[@]}" debconf-set-selections
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
