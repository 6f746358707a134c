#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine, starts the
# installed plugin the way its systemd unit does and asks it PING; then
# purges the package and removes what the run left behind.
#
#   sudo scripts/check-package.sh [BUILD_DIR]     (default build/package)
#
# Needs root (dpkg). A build folder of its own (Release, no tests, no
# benchmarks) is configured when missing. Where systemd runs, the service is
# started with systemctl; elsewhere (containers) the unit's ExecStart line
# runs by hand, with the empty environment systemd gives a system service.
# Port 18080 is the plugin's default; when something else holds it, the
# installed configuration gets a free port first. Ends non-zero on any
# failure, with the plugin's log on standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/package}"
[ "$(id -u)" -eq 0 ] || { echo "check-package: run as root" >&2; exit 2; }

if [ ! -e "$build/CMakeCache.txt" ]; then
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUNTAR_BUILD_TESTS=OFF -DZUNTAR_BUILD_BENCH=OFF \
    "${launcher[@]}" >/dev/null
fi
nice cmake --build "$build" -j"$(nproc)"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls -t "$build"/zuntar-mervo-plugin_*.deb | head -n 1)
echo "check-package: $deb"
dpkg-deb -I "$deb" | sed -n '/Architecture:/,$p'
dpkg-deb -c "$deb" | awk '{print $6, $7, $8}'
# lintian, when installed, has one expected complaint: the unit lies in
# /etc/systemd/system, where the program looks for it.
if command -v lintian >/dev/null; then lintian --tag-display-limit 0 "$deb" 2>/dev/null || true; fi

if dpkg-query -W -f='${Status}' zuntar-mervo-plugin 2>/dev/null | grep -q 'ok installed'; then
  echo "check-package: zuntar-mervo-plugin is installed already; not touching it" >&2
  exit 2
fi
# What the run may create outside the package's own files.
left=()
for path in /etc/zuntar /var/lib/zuntar "$HOME/.local/share/zuntar"; do [ -e "$path" ] || left+=("$path"); done
pid=""
cleanup() {
  [ -z "$pid" ] || { kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; }
  [ -d /run/systemd/system ] && systemctl stop ZuntarMervoPlugin 2>/dev/null || true
  dpkg -P zuntar-mervo-plugin >/dev/null 2>&1 || true
  for path in "${left[@]}"; do rm -rf "$path"; done
}
trap cleanup EXIT

dpkg -i "$deb"
unit=/etc/systemd/system/ZuntarMervoPlugin.service
ini=/etc/zuntar-mervo-plugin/ZuntarMervoPlugin.ini
[ -s "$unit" ] && [ -s "$ini" ] && [ -x /usr/bin/ZuntarMervoPlugin ] && [ -x /usr/bin/zuntar-certtool ]
grep -q 'libzuntar_gost_csp.so' /etc/zuntar/registry.reg
[ -s /var/lib/zuntar-mervo-plugin/ZuntarMervoPlugin.gdb ]  # made by the maintainer script

port=18080
if ss -Hltn "sport = :$port" | grep -q .; then
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  printf 'HTTPPORT=%s\r\n' "$port" >>"$ini"
  echo "check-package: port 18080 is taken here; the installed plugin uses $port"
fi

if [ -d /run/systemd/system ]; then
  systemctl start ZuntarMervoPlugin
else
  exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
  eval "set -- $exec_start"
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@" &
  pid=$!
fi
reply=""
for _ in $(seq 1 100); do
  reply=$(curl -s --max-time 2 "http://127.0.0.1:$port/MERVO/PING" || true)
  [ -n "$reply" ] && break
  sleep 0.2
done
printf '%s\n' "$reply"
if ! printf '%s' "$reply" | grep -q '"Status": true'; then
  echo "check-package: the installed plugin did not answer PING" >&2
  cat /var/log/zuntar-mervo-plugin/ZuntarMervoPlugin.log >&2 || true
  exit 1
fi
log=/var/log/zuntar-mervo-plugin/ZuntarMervoPlugin.log
# The service's files are root's alone.
for entry in "/var/log/zuntar-mervo-plugin 700" "/var/lib/zuntar-mervo-plugin 700" "$log 600" \
             "/var/lib/zuntar-mervo-plugin/ZuntarMervoPlugin.gdb 600"; do
  set -- $entry
  [ "$(stat -c '%U:%G %a' "$1")" = "root:root $2" ] ||
    { echo "check-package: $1 is not root's with mode $2" >&2; exit 1; }
done
iconv -f CP1251 -t UTF-8 "$log" | head -n 6
echo "check-package: PASS"
