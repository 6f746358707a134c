#!/usr/bin/env bash
# Installs what is needed, builds the sanitizer build and runs every test.
# Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/common.sh
install_deps

cmake --preset asan
cmake --build --preset asan

# A bounded run of the message decoder's fuzzer (a clang build of its own);
# ZUNTAR_FUZZ_SECONDS sets its length, 0 skips it.
fuzz_seconds=${ZUNTAR_FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" -gt 0 ]; then
  scripts/fuzz.sh "$fuzz_seconds"
fi

ctest --preset asan --parallel "$(nproc)"
