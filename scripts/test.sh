#!/usr/bin/env bash
# Installs what is needed, builds the sanitizer build and runs every test.
# Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/common.sh
install_deps

cmake --preset asan
cmake --build --preset asan
ctest --preset asan --parallel "$(nproc)"
