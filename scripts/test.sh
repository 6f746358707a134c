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

# A bounded run of the message decoder's fuzzer (clang build of its own),
# when asked for: ZUNTAR_FUZZ_SECONDS=60 scripts/test.sh
if [ -n "${ZUNTAR_FUZZ_SECONDS:-}" ]; then
  scripts/fuzz.sh "$ZUNTAR_FUZZ_SECONDS"
fi
