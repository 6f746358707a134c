#!/usr/bin/env bash
# Installs what is needed, builds the sanitizer build and runs every test.
# Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/common.sh
install_deps

cmake --preset asan
cmake --build --preset asan

# Bounded runs of the fuzzers (a clang build of their own): the message
# decoder for ZUNTAR_FUZZ_SECONDS, the XML parser for half as long; 0 skips
# both.
fuzz_seconds=${ZUNTAR_FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" -gt 0 ]; then
  scripts/fuzz.sh "$fuzz_seconds" msg
  scripts/fuzz.sh "$(( (fuzz_seconds + 1) / 2 ))" xml
fi

ctest --preset asan --parallel "$(nproc)"
