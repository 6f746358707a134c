#!/usr/bin/env bash
# Installs what is needed, builds the sanitizer build and runs every test.
# Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null 2>&1; then
  sudo scripts/install-deps.sh
else
  scripts/install-deps.sh
fi

cmake --preset asan
cmake --build --preset asan
ctest --preset asan --parallel "$(nproc)"
