#!/usr/bin/env bash
# A plugin for page authors to develop against: a private copy of the built
# plugin with the test PKI of `zuntar-certtool make-test-pki`, the sites of
# your pages admitted, in the foreground until Ctrl+C. It prints the
# certificates it holds; its log lines come to the terminal.
#
#   scripts/dev-plugin.sh [--port N] [--build DIR] ORIGIN [ORIGIN...]
#   scripts/dev-plugin.sh http://localhost:8000
#
# ORIGIN is your page's origin exactly as the browser writes it (scheme, host
# and port): http://localhost:8000 and http://127.0.0.1:8000 are two sites.
# Other sites are refused (403), as a plugin without a desktop refuses them.
# The port is 18080, the plugin's default, unless --port says otherwise.
#
# Everything (program copy, configuration, database, keys, log) lives in a
# temporary folder removed at the end; the build tree and the system are not
# touched. Without a build in DIR (default build/release) the release preset
# is built first.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '6,7p' "$0" | sed 's/^#   //' >&2; exit 2; }
port=18080
build=build/release
origins=()
while [ $# -gt 0 ]; do
  case "$1" in
    --port) port="${2:?}"; shift 2 ;;
    --build) build="${2:?}"; shift 2 ;;
    -h|--help) usage ;;
    -*) usage ;;
    *)
      origin="${1%/}"
      if ! [[ "$origin" =~ ^https?://[^/?#]+$ ]]; then
        echo "dev-plugin: \"$1\" is not an origin (scheme://host[:port], no path)" >&2
        exit 2
      fi
      origins+=("$origin")
      shift ;;
  esac
done
[ ${#origins[@]} -gt 0 ] || usage

plugin="$build/src/host/ZuntarMervoPlugin"
tool="$build/tools/zuntar-certtool/zuntar-certtool"
module="$build/src/platform/capi/csp/provider/libzuntar_gost_csp.so"
if [ ! -x "$plugin" ] || [ ! -x "$tool" ] || [ ! -e "$module" ]; then
  if [ "$build" != build/release ]; then
    echo "dev-plugin: no plugin built in $build" >&2
    exit 1
  fi
  echo "dev-plugin: building the release preset first"
  cmake --preset release >/dev/null
  cmake --build --preset release --target ZuntarMervoPlugin zuntar-certtool zuntar_gost_csp
fi
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  echo "dev-plugin: port $port is taken (an installed plugin?); choose another with --port" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zuntar-dev-plugin.XXXXXX")
pid=""
cleanup() {
  trap - EXIT INT TERM HUP
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

mkdir -p "$work/exe" "$work/root"
cp "$plugin" "$work/exe/"
allowed=$(IFS=';'; echo "${origins[*]}")
printf 'HTTPPORT=%s\r\nDBPATH=%s\r\nALLOWEDORIGINS=%s\r\nCONFIRMORIGINS=0\r\nLOG_LEVEL=2\r\n' \
  "$port" "$work/exe/ZuntarMervoPlugin.gdb" "$allowed" >"$work/exe/ZuntarMervoPlugin.ini"
# A private platform tree; no desktop, so nobody is asked anything.
export ZUNTAR_PLATFORM_ROOT="$work/root" LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY
"$tool" register-provider --module "$module" >/dev/null
"$tool" make-test-pki --out "$work/pki" >/dev/null
"$work/exe/ZuntarMervoPlugin" -CREATEDB >/dev/null

echo "dev-plugin: the test certificates in the person's store (thumbprint, serial, holder):"
"$tool" list | sed -E 's/^([^ ]+ [^ ]+ CN=[^,]*).*/  \1/'
cat <<EOF
dev-plugin: test CA (to check signatures: openssl cms -engine gost -verify ... -CAfile):
  $work/pki/ca.cer
dev-plugin: plugin at http://localhost:$port (127.0.0.1 and ::1), sites admitted: ${origins[*]}
dev-plugin: everything in $work, removed when you press Ctrl+C
EOF
"$work/exe/ZuntarMervoPlugin" &
pid=$!
wait "$pid"
