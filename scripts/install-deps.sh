#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need.
# Packages already present are left alone, so a second run costs nothing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools libgl-dev
  zlib1g-dev libdeflate-dev libdw-dev libcurl4-openssl-dev
  libical-dev libgmime-3.0-dev khal
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth xdg-utils xdotool x11-apps
  python3-aiosmtpd openssl
  p7zip-full zip unzip
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
