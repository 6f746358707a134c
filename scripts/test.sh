#!/usr/bin/env bash
# Installs what is needed, builds the sanitizer build and runs every test.
# Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/common.sh
install_deps

# The lines this change wrote follow .clang-format.
scripts/check-format.sh

cmake --preset asan
cmake --build --preset asan

# Bounded runs of the fuzzers (a clang build of their own): the message
# decoder, the HTTP front end and the key commands for a third of
# ZUNTAR_FUZZ_SECONDS each, the XML parser, Base64 and the distinguished
# names for a quarter each (105 s in all by default); 0 skips them.
fuzz_seconds=${ZUNTAR_FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" -gt 0 ]; then
  scripts/fuzz.sh "$(( (fuzz_seconds + 2) / 3 ))" msg http commands
  scripts/fuzz.sh "$(( (fuzz_seconds + 3) / 4 ))" xml base64 dn
fi

# At the plugin's own priority: it lowers itself to nice 19 by default, and
# beside tests and browsers at nice 0 it would get a few per cent of a busy
# processor, enough for a request or a stop to outlast the tests' limits.
nice -n 19 ctest --preset asan --parallel "$(nproc)"
