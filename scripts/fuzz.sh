#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time:
# scripts/fuzz.sh [SECONDS] [TARGET...] (default 60 seconds each; targets
# `msg`, the message decoder, and `xml`, the XML parser; default both).
# The decoder's seed corpus is made of messages of both kinds written by
# openssl, the parser's of the documents in tests/fuzz/xml_seeds.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(msg xml)
build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZUNTAR_SANITIZE=ON \
  -DZUNTAR_FUZZ=ON -DZUNTAR_BUILD_BENCH=OFF >/dev/null

seed_msg() {
  local corpus="$1" n=0
  seed=$(mktemp -d)
  trap 'rm -rf "$seed"' EXIT
  openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A -out "$seed/k.pem" 2>/dev/null
  openssl req -engine gost -new -x509 -key "$seed/k.pem" -subj "/CN=Seed" -days 2 -out "$seed/c.pem" 2>/dev/null
  head -c 3000 /dev/urandom >"$seed/data"
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
}

run() {
  local binary="$1" corpus="$2"
  shift 2
  ASAN_OPTIONS=detect_leaks=1 "$build/tests/fuzz/$binary" -max_total_time="$seconds" -rss_limit_mb=1024 "$@" \
    "$corpus"
}

for target in "${targets[@]}"; do
  case "$target" in
    msg)
      cmake --build "$build" --target fuzz_msg_decoder
      corpus="$build/corpus"
      mkdir -p "$corpus"
      [ -n "$(ls -A "$corpus")" ] || seed_msg "$corpus"
      run fuzz_msg_decoder "$corpus" -max_len=16384
      ;;
    xml)
      cmake --build "$build" --target fuzz_xml
      corpus="$build/corpus-xml"
      mkdir -p "$corpus"
      [ -n "$(ls -A "$corpus")" ] || cp tests/fuzz/xml_seeds/* "$corpus/"
      run fuzz_xml "$corpus" -max_len=16384 -dict=tests/fuzz/xml.dict
      ;;
    *)
      echo "fuzz.sh: unknown target '$target' (msg or xml)" >&2
      exit 2
      ;;
  esac
done
