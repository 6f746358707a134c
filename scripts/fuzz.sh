#!/usr/bin/env bash
# Builds the libFuzzer target of the message decoder with clang and runs it
# for a bounded time: scripts/fuzz.sh [SECONDS] (default 60). The seed corpus
# is made of messages of both kinds written by openssl.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZUNTAR_SANITIZE=ON \
  -DZUNTAR_FUZZ=ON -DZUNTAR_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz_msg_decoder

corpus="$build/corpus"
mkdir -p "$corpus"
if [ -z "$(ls -A "$corpus")" ]; then
  seed=$(mktemp -d)
  trap 'rm -rf "$seed"' EXIT
  openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A -out "$seed/k.pem" 2>/dev/null
  openssl req -engine gost -new -x509 -key "$seed/k.pem" -subj "/CN=Seed" -days 2 -out "$seed/c.pem" 2>/dev/null
  head -c 3000 /dev/urandom >"$seed/data"
  n=0
  for args in "-sign -nodetach" "-sign" "-sign -stream -nodetach" "-sign -noattr -nodetach"; do
    openssl cms -engine gost $args -binary -outform DER -in "$seed/data" -signer "$seed/c.pem" \
      -inkey "$seed/k.pem" -out "$seed/m" 2>/dev/null
    { printf '\x10'; cat "$seed/m"; } >"$corpus/seed$((n++))"
  done
  for args in "-encrypt" "-encrypt -stream"; do
    openssl cms -engine gost $args -gost89 -binary -outform DER -in "$seed/data" -out "$seed/m" \
      "$seed/c.pem" 2>/dev/null
    { printf '\x10'; cat "$seed/m"; } >"$corpus/seed$((n++))"
  done
fi
ASAN_OPTIONS=detect_leaks=1 "$build/tests/fuzz/fuzz_msg_decoder" -max_total_time="$seconds" -rss_limit_mb=1024 \
  -max_len=16384 "$corpus"
