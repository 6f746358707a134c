#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time:
# scripts/fuzz.sh [SECONDS] [TARGET...] (default 60 seconds each, every
# target). Targets: `msg` (the message decoder), `xml` (the XML parser),
# `base64` (the Base64 decoder), `dn` (distinguished-name lookup and \x
# escapes), `http` (the HTTP front end with every command), `commands` (the
# key commands with random bodies and parameters against real keys).
# FUZZ_RUNS=N stops each target after N inputs instead (SECONDS still
# bounds it). Corpora grow in build/fuzz/corpus-<target>; a crash leaves its
# input in build/fuzz/.
#
# Seeds: messages of both kinds written by openssl for `msg`, the documents
# in tests/fuzz/xml_seeds, tests/fuzz/dn_seeds and tests/fuzz/http_seeds,
# and for `http` requests carrying messages and certificates of the test
# PKI; for `commands` the inputs in tests/fuzz/commands_seeds (crashes found
# stay there) and messages, fund responses and certificates made for that
# target's test PKI. The HTTP and command targets run on private platform
# trees in their build tree (the provider of this build registered, the
# test PKI made once), never on the user's files.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(msg xml base64 dn http commands)
build=build/fuzz
# Assertions on, but optimised: unoptimised library code under the
# coverage instrumentation runs several times slower.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
CC=clang-16 CXX=clang++-16 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZUNTAR_SANITIZE=ON \
  -DZUNTAR_FUZZ=ON -DZUNTAR_BUILD_BENCH=OFF -DCMAKE_C_FLAGS=-O1 -DCMAKE_CXX_FLAGS=-O1 "${launcher[@]}" >/dev/null
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

seed_msg() {
  local corpus="$1" n=0 seed="$scratch/msg"
  mkdir -p "$seed"
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

seed_base64() {
  local corpus="$1"
  printf 'aGVsbG8gd29ybGQ=' >"$corpus/plain"
  printf 'MIIB\r\nIjAN\nBgkq=\n' >"$corpus/lines"
  printf 'QQ==QUJD\x00\xff-_AB=C' >"$corpus/odd"
  head -c 600 /dev/urandom | base64 >"$corpus/wrapped"
}

# A platform tree of its own for the HTTP target, made once per build tree
# (it registers that tree's provider module): the provider and the test PKI;
# and requests that reach its keys.
http_root="$PWD/$build/http-root"
prepare_http() {
  local corpus="$1" tool="$build/tools/zuntar-certtool/zuntar-certtool"
  cmake --build "$build" --target zuntar-certtool zuntar_gost_csp
  if [ ! -e "$http_root/files/ivanov.cer" ]; then
    rm -rf "$http_root"
    mkdir -p "$http_root"
    ZUNTAR_PLATFORM_ROOT="$http_root" "$tool" register-provider >/dev/null
    ZUNTAR_PLATFORM_ROOT="$http_root" "$tool" make-test-pki --out "$http_root/files" >/dev/null
  fi
  [ -n "$(ls -A "$corpus")" ] && return 0
  cp tests/fuzz/http_seeds/* "$corpus/"
  local thumb
  thumb=$(ZUNTAR_PLATFORM_ROOT="$http_root" "$tool" list | awk '/Иванов/ {print $1; exit}')
  head -c 200 /dev/urandom >"$scratch/data"
  ZUNTAR_PLATFORM_ROOT="$http_root" "$tool" encrypt --thumbprint "$thumb" "$scratch/data" "$scratch/enc" >/dev/null
  ZUNTAR_PLATFORM_ROOT="$http_root" "$tool" sign --thumbprint "$thumb" "$scratch/data" "$scratch/sig" >/dev/null
  post() {  # post NAME PATH BODY-FILE
    local length
    length=$(stat -c %s "$3")
    { printf '\x03POST %s HTTP/1.1\r\nContent-Length: %s\r\n\r\n' "$2" "$length"; cat "$3"; } >"$corpus/$1"
  }
  base64 -w 0 "$scratch/enc" >"$scratch/enc.b64"
  post pki_decrypt "/MERVO/DECRYPT_SYNC" "$scratch/enc.b64"
  base64 "$scratch/data" >"$scratch/data.b64"
  post pki_sign "/MERVO/GETSIGN_SYNC?CertThumb=$thumb" "$scratch/data.b64"
  post pki_sign_att "/MERVO/GETSIGN_ATT_SYNC?CertThumb=$thumb" "$scratch/data.b64"
  cp "$http_root/files/ivanov.cer" "$scratch/ivanov.der"
  post pki_check_der "/MERVO/CHECKCERTANDCLUE" "$scratch/ivanov.der"
  openssl x509 -inform DER -in "$scratch/ivanov.der" >"$scratch/ivanov.pem"
  post pki_check_pem "/MERVO/CHECKCERTANDCLUE" "$scratch/ivanov.pem"
  printf '\x03GET /MERVO/GETCERTBODY?CertThumb=%s HTTP/1.1\r\n\r\n' "$thumb" >"$corpus/pki_certbody"
}

# The command target's tree, and seeds for its keys: enveloped messages for
# each kind of key, fund responses for ivanov (the fund's services use
# 256-bit keys), hashes and certificates. A seed is the command byte, the
# certificate byte, the body byte and the payload (tests/fuzz/commands_fuzz.cpp).
commands_root="$PWD/$build/commands-root"
prepare_commands() {
  local corpus="$1" tool="$build/tools/zuntar-certtool/zuntar-certtool" files="$commands_root/files"
  cmake --build "$build" --target zuntar-certtool zuntar_gost_csp
  if [ ! -e "$files/ivanov.cer" ]; then
    # Seeds made for other keys would no longer reach them.
    rm -rf "$commands_root" "$corpus"
    mkdir -p "$commands_root" "$corpus"
    ZUNTAR_PLATFORM_ROOT="$commands_root" "$tool" register-provider >/dev/null
    ZUNTAR_PLATFORM_ROOT="$commands_root" "$tool" make-test-pki --out "$files" >/dev/null
  fi
  [ -n "$(ls -A "$corpus")" ] && return 0
  cp tests/fuzz/commands_seeds/* "$corpus/"
  local s="$scratch/commands" who
  mkdir -p "$s"
  seed() {  # seed NAME COMMAND CERTIFICATE BODY [PAYLOAD-FILE]
    { printf "\\x$2\\x$3\\x$4"; [ -z "${5:-}" ] || cat "$5"; } >"$corpus/$1"
  }
  head -c 300 /dev/urandom >"$s/data"
  for who in ivanov petrov sidorov; do
    openssl x509 -inform DER -in "$files/$who.cer" -out "$s/$who.pem"
  done
  local thumb
  thumb=$(openssl x509 -inform DER -in "$files/ivanov.cer" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
  ZUNTAR_PLATFORM_ROOT="$commands_root" "$tool" encrypt --thumbprint "$thumb" "$s/data" "$s/enc-ivanov" >/dev/null
  for who in petrov sidorov; do
    openssl cms -engine gost -encrypt -gost89 -binary -outform DER -in "$s/data" -out "$s/enc-$who" \
      "$s/$who.pem" 2>/dev/null
  done
  seed decrypt_recipients 03 06 00 "$s/enc-ivanov"
  seed decrypt_ivanov 03 00 00 "$s/enc-ivanov"
  seed decrypt_petrov 03 11 00 "$s/enc-petrov"
  seed decrypt_sidorov 03 06 00 "$s/enc-sidorov"
  # A fund response: the content key sent to ivanov, the payload (N bytes
  # of N) in GOST 28147-89 CBC; the payload of the seed is the length of
  # the key transport (two bytes), the key transport, the vector and the
  # ciphertext.
  head -c 32 /dev/urandom >"$s/cek"
  head -c 8 /dev/urandom >"$s/iv"
  { head -c 45 /dev/urandom; printf '\x03\x03\x03'; } >"$s/plain"
  openssl pkeyutl -engine gost -encrypt -certin -inkey "$s/ivanov.pem" -in "$s/cek" -out "$s/kt" 2>/dev/null
  hex() { od -An -tx1 "$1" | tr -d ' \n'; }
  CRYPT_PARAMS=1.2.643.7.1.2.5.1.1 openssl enc -engine gost -gost89-cbc -nopad -K "$(hex "$s/cek")" \
    -iv "$(hex "$s/iv")" -in "$s/plain" -out "$s/cipher" 2>/dev/null
  local kt_size
  kt_size=$(stat -c %s "$s/kt")
  { printf "\\x$(printf %02x $((kt_size >> 8)))\\x$(printf %02x $((kt_size & 255)))"
    cat "$s/kt" "$s/iv" "$s/cipher"; } >"$s/fund"
  seed fund_fss_envelope 05 00 06 "$s/fund"
  seed fund_sedo_bare_lines 04 10 0a "$s/fund"
  seed fund_poved_list 06 08 06 "$s/fund"
  seed sign_detached 00 00 00 "$s/data"
  seed sign_attached_thumb 01 11 00 "$s/data"
  seed sign_2001_lower 00 22 00 "$s/data"
  head -c 32 /dev/urandom >"$s/h32"
  head -c 64 /dev/urandom >"$s/h64"
  seed hash32_ivanov 02 00 00 "$s/h32"
  seed hash64_petrov 02 11 00 "$s/h64"
  seed hash32_sidorov 02 02 00 "$s/h32"
  seed check_der 07 06 01 "$files/ivanov.cer"
  seed check_pem 07 06 03 "$files/petrov.cer"
  seed check_base64 07 06 00 "$files/ca.cer"
  seed check_nolink 07 06 01 "$files/nolink.cer"
  seed check_name 08 00 00
  seed certbody_thumb 09 10 00
}

run() {
  local binary="$1" corpus="$2"
  shift 2
  local runs=()
  [ -z "${FUZZ_RUNS:-}" ] || runs=(-runs="$FUZZ_RUNS")
  cmake --build "$build" --target "$binary"
  ASAN_OPTIONS=detect_leaks=1 "$build/tests/fuzz/$binary" -max_total_time="$seconds" -rss_limit_mb=1024 \
    "${runs[@]}" -artifact_prefix="$build/" "$@" "$corpus"
}

for target in "${targets[@]}"; do
  corpus="$build/corpus-$target"
  mkdir -p "$corpus"
  case "$target" in
    msg)
      # The decoder's corpus kept its old name.
      corpus="$build/corpus"
      mkdir -p "$corpus"
      [ -n "$(ls -A "$corpus")" ] || seed_msg "$corpus"
      run fuzz_msg_decoder "$corpus" -max_len=16384
      ;;
    xml)
      [ -n "$(ls -A "$corpus")" ] || cp tests/fuzz/xml_seeds/* "$corpus/"
      run fuzz_xml "$corpus" -max_len=16384 -dict=tests/fuzz/xml.dict
      ;;
    base64)
      [ -n "$(ls -A "$corpus")" ] || seed_base64 "$corpus"
      run fuzz_base64 "$corpus" -max_len=1024
      ;;
    dn)
      [ -n "$(ls -A "$corpus")" ] || cp tests/fuzz/dn_seeds/* "$corpus/"
      run fuzz_dn "$corpus" -max_len=1024
      ;;
    http)
      prepare_http "$corpus"
      ZUNTAR_PLATFORM_ROOT="$http_root" run fuzz_http "$corpus" -max_len=16384 -dict=tests/fuzz/http.dict
      ;;
    commands)
      prepare_commands "$corpus"
      ZUNTAR_PLATFORM_ROOT="$commands_root" run fuzz_commands "$corpus" -max_len=8192 \
        -dict=tests/fuzz/commands.dict
      ;;
    *)
      echo "fuzz.sh: unknown target '$target' (msg, xml, base64, dn, http or commands)" >&2
      exit 2
      ;;
  esac
done
