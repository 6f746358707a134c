#!/usr/bin/env bash
# Runs the built plugin on a private platform tree (its own provider
# registration, test PKI, database and port) and calls every kind of
# /MERVO/ command with curl, printing each call and the reply as it came:
# the examples of docs/api.md are copied from this output. The plugin runs
# with the default rules for web sites and no desktop, one site listed.
#
#   scripts/api-examples.sh [BUILD_DIR]     (default build/release)
#
# Nothing outside a temporary folder is touched; the plugin is stopped and
# the folder removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/release}"
plugin="$build/src/host/ZuntarMervoPlugin"
tool="$build/tools/zuntar-certtool/zuntar-certtool"
module="$build/src/platform/capi/csp/provider/libzuntar_gost_csp.so"

work=$(mktemp -d)
pid=""
trap '[ -z "$pid" ] || { kill "$pid"; wait "$pid" || true; }; rm -rf "$work"' EXIT
mkdir -p "$work/exe" "$work/root"
cp "$plugin" "$work/exe/"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
printf 'HTTPPORT=%s\r\nDBPATH=%s\r\nALLOWEDORIGINS=https://edo.example.ru\r\n' "$port" \
  "$work/exe/ZuntarMervoPlugin.gdb" >"$work/exe/ZuntarMervoPlugin.ini"
export ZUNTAR_PLATFORM_ROOT="$work/root" LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY
"$tool" register-provider --module "$module" >/dev/null
"$tool" make-test-pki --out "$work/pki" >/dev/null
"$work/exe/ZuntarMervoPlugin" -createdb >/dev/null
"$work/exe/ZuntarMervoPlugin" >/dev/null 2>&1 &
pid=$!
base="http://localhost:$port/MERVO"
for _ in $(seq 1 100); do curl -s "$base/PING" >/dev/null && break; sleep 0.2; done

ivanov=$("$tool" list | awk '/CN=Иванов/ {print $1; exit}')
ivanov_sn=$("$tool" list | awk '/CN=Иванов/ {print $2; exit}')
printf 'Hello, world\n' >"$work/data.txt"
base64 "$work/data.txt" >"$work/data.b64"
"$tool" hash "$work/data.txt" | xxd -r -p | base64 >"$work/hash.b64"
"$tool" encrypt --thumbprint "$ivanov" "$work/data.txt" "$work/enc.p7m" >/dev/null
base64 -w 0 "$work/enc.p7m" >"$work/enc.b64"

# show ARGS...: the call as a page author would type it (default port),
# then the reply with its status line and the headers a page cares about.
show() {
  { printf '$ curl -si'; printf " %q" "$@"; echo; } | sed "s/localhost:$port/localhost:18080/g; s#$work/##g"
  (cd "$work" && curl -si "$@") | tr -d '\r' |
    grep -v -i '^\(date\|connection\|content-length\|vary\|access-control-allow-headers\|server\):' || true
  echo
}
show "$base/PING"
show "$base/TRYUSEPLUGIN"
show "$base/GETVER"
show "$base/ENUMCERTS"
show "$base/GETCERTBODY?CertThumb=$ivanov"
show "$base/CHECKCERTANDCLUE?CertThumb=$ivanov"
show -X POST --data-binary @data.b64 "$base/GETSIGN_SYNC?CertThumb=$ivanov"
show -X POST --data-binary @data.b64 "$base/GETSIGN?CertSN=$ivanov_sn&TaskId=0f8fad5b-d9cb-469f-a165-70867728950e"
sleep 2
show "$base/GETRESULT?Id=0f8fad5bd9cb469fa16570867728950e"
show -X POST --data-binary @hash.b64 "$base/SIGN_HASH_SYNC?CertThumb=$ivanov"
show -X POST --data-binary @enc.b64 "$base/DECRYPT_SYNC"
show "$base/GETRESULT?Id=00000000000000000000000000000000"
show -X POST --data-binary @data.b64 "$base/GETSIGN_SYNC?CertThumb=0000000000000000000000000000000000000000"
show "$base/NOSUCHCOMMAND"
show -H 'Host: rebind.attacker.example' "$base/GETVER"
show -X OPTIONS -H 'Origin: https://edo.example.ru' -H 'Access-Control-Request-Method: POST' \
  -H 'Access-Control-Request-Headers: content-type' "$base/GETSIGN_SYNC"
show -H 'Origin: https://edo.example.ru' "$base/GETVER"
show -H 'Origin: https://evil.example' "$base/ENUMCERTS"
show -H 'Origin: https://edo.example.ru' -X POST --data-binary @data.b64 \
  "$base/GETSIGN?CertSN=$ivanov_sn&TaskId=0f8fad5b-d9cb-469f-a165-70867728950e"
show "$base/GETLOGINFO?TaskId=0f8fad5bd9cb469fa16570867728950e"
