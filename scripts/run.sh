#!/usr/bin/env bash
# Installs what is needed, builds the release build and starts the plugin in
# the foreground, with the configuration next to the executable.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/common.sh
install_deps

cmake --preset release
cmake --build --preset release

exe=build/release/src/host/ZuntarMervoPlugin
if [ ! -x "$exe" ]; then
  echo "run: the build did not produce $exe" >&2
  exit 1
fi
# The GOST provider module of this build answers for the CryptoPro provider
# names: register it so the registry file points at this build.
build/release/tools/zuntar-certtool/zuntar-certtool register-provider ||
  echo "run: could not register the GOST provider (needs root, or ZUNTAR_PLATFORM_ROOT)" >&2
# The plugin creates no schema itself: make the task database (DBPATH of the
# configuration) when it is missing; an existing one is left untouched.
"$exe" -CREATEDB
# The plugin runs in the foreground until Ctrl+C (SIGINT) or SIGTERM; its
# configuration and log sit next to the executable. Arguments are passed on
# (for example INSTANCE=<name>, or --help).
echo "run: starting $exe (Ctrl+C ends it; log: ${exe%/*}/ZuntarMervoPlugin.log)"
exec "$exe" "$@"
