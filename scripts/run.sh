#!/usr/bin/env bash
# Installs what is needed, builds the release build and starts the plugin
# with the configuration next to the executable.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null 2>&1; then
  sudo scripts/install-deps.sh
else
  scripts/install-deps.sh
fi

cmake --preset release
cmake --build --preset release

exe=build/release/src/host/ZuntarMervoPlugin
if [ ! -x "$exe" ]; then
  echo "run: the libraries and tests are built, but there is no ZuntarMervoPlugin executable yet;"
  echo "run: nothing was started."
  exit 1
fi
exec "$exe" "$@"
