#!/usr/bin/env bash
# Installs what is missing, builds, installs into the prefix (default
# /usr/local) and starts "lintrove gui" on the default local profile.
# Without a display the program runs in a virtual X server.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=${LINTROVE_PREFIX:-/usr/local}
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" -DCMAKE_INSTALL_PREFIX="$prefix"
sudo_cmd=()
[[ -w "$prefix" ]] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" cmake --install "${LINTROVE_BUILD_DIR:-$root/build}" >/dev/null
if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
  exec "$prefix/bin/lintrove" gui
else
  echo "No display found: running under xvfb-run."
  exec xvfb-run -a "$prefix/bin/lintrove" gui
fi
