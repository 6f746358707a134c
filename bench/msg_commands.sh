#!/usr/bin/env bash
# Whole-command times and peak memory of zuntar-certtool's message commands
# against `openssl cms` doing the same on the same files, in one run:
# attached and detached signing and decryption of 1 MiB and 100 MiB.
# Usage: bench/msg_commands.sh [build dir] [sizes in MiB...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/release}
shift || true
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1 100)
tool=$build/tools/zuntar-certtool/zuntar-certtool
[ -x "$tool" ] || { echo "no $tool: build the release preset first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ZUNTAR_PLATFORM_ROOT=$work/root
"$tool" register-provider >/dev/null
"$tool" make-test-pki --out "$work/pki" >/dev/null
cert=$work/ivanov.pem
openssl x509 -inform DER -in "$work/pki/ivanov.cer" -out "$cert"
key=$work/pki/ivanov.key.pem
thumb=$(openssl x509 -in "$cert" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')

# Prints "<label> <seconds> <peak KiB>" for one command.
measure() {
  local label=$1
  shift
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null 2>&1 || { echo "$label FAILED"; return; }
  read -r seconds kib <"$work/time"
  printf '%-36s %8.2f s %8.1f MiB\n' "$label" "$seconds" "$(echo "$kib / 1024" | bc -l)"
}

for mib in "${sizes[@]}"; do
  data=$work/data-$mib
  head -c $((mib << 20)) /dev/urandom >"$data"
  echo "== $mib MiB"
  measure "ours    sign attached" "$tool" sign --thumbprint "$thumb" "$data" "$work/ours.p7s"
  measure "openssl sign attached" openssl cms -engine gost -sign -binary -nodetach -outform DER -in "$data" \
    -signer "$cert" -inkey "$key" -out "$work/theirs.p7s"
  measure "ours    sign detached" "$tool" sign --detached --thumbprint "$thumb" "$data" "$work/ours-d.p7s"
  measure "openssl sign detached" openssl cms -engine gost -sign -binary -outform DER -in "$data" \
    -signer "$cert" -inkey "$key" -out "$work/theirs-d.p7s"
  openssl cms -engine gost -encrypt -gost89 -binary -outform DER -in "$data" -out "$work/enc.p7m" "$cert" 2>/dev/null
  measure "ours    decrypt" "$tool" decrypt "$work/enc.p7m" "$work/plain"
  measure "openssl decrypt" openssl cms -engine gost -decrypt -binary -inform DER -in "$work/enc.p7m" \
    -recip "$cert" -inkey "$key" -out "$work/plain2"
  cmp -s "$work/plain" "$data" || echo "ours: decrypted data differs!"
  cmp -s "$work/plain2" "$data" || echo "openssl: decrypted data differs!"
done
