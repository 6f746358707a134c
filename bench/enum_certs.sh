#!/usr/bin/env bash
# Load test of GET /MERVO/ENUMCERTS on a store of 1,000 certificates linked
# to key containers, at concurrency 4 with a new connection per request, and
# of GET /MERVO/PING on the same running plugin as the anchor. Then the
# phases of one reply in process (bench_enum_certs).
# Usage: bench/enum_certs.sh [build dir] [seconds per run]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/release}
seconds=${2:-10}
exe=$build/src/host/ZuntarMervoPlugin
bench=$build/bench/bench_enum_certs
[ -x "$exe" ] && [ -x "$bench" ] || { echo "build the release preset first" >&2; exit 1; }
command -v wrk >/dev/null || { echo "needs wrk (scripts/install-deps.sh)" >&2; exit 1; }

work=$(mktemp -d)
plugin_pid=
cleanup() {
  [ -n "$plugin_pid" ] && kill "$plugin_pid" 2>/dev/null && wait "$plugin_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$work/plugin" "$work/root"
"$bench" --make-store "$work/root" 1000
cp "$exe" "$work/plugin/"
printf "HTTPPORT=%s\r\n%b" "$port" "${EXTRA_CONFIG:-}" > "$work/plugin/ZuntarMervoPlugin.ini"
# Code page 1251 as the plugin's users have it; the database is created so
# that every worker attaches its own, as in real use.
export ZUNTAR_PLATFORM_ROOT="$work/root" LC_ALL=ru_RU.UTF-8
"$work/plugin/ZuntarMervoPlugin" -CREATEDB >/dev/null
"$work/plugin/ZuntarMervoPlugin" >/dev/null 2>&1 &
plugin_pid=$!
for _ in $(seq 100); do
  curl -s "http://127.0.0.1:$port/MERVO/ENUMCERTS" -o "$work/enum.json" && break
  sleep 0.1
done
[ -s "$work/enum.json" ] || { echo "the plugin did not answer on port $port" >&2; exit 1; }
entries=$(grep -o '{"Serial"' "$work/enum.json" | wc -l)
echo "ENUMCERTS reply: $(stat -c %s "$work/enum.json") bytes, $entries entries"

# CPU time (user + system, in clock ticks) the plugin has used so far.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$plugin_pid/stat"; }

run() {  # command connections
  local out rps p50 p99 errors requests before after cpu
  before=$(cpu_ticks)
  out=$(wrk -t "$(( $2 < 2 ? 1 : 2 ))" -c "$2" -d "${seconds}s" --latency -H "Connection: close" \
    "http://127.0.0.1:$port/MERVO/$1")
  after=$(cpu_ticks)
  rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
  requests=$(awk '/requests in/ {print $1}' <<<"$out")
  p50=$(awk '$1=="50%" {print $2}' <<<"$out")
  p99=$(awk '$1=="99%" {print $2}' <<<"$out")
  errors=$(grep -E 'Non-2xx' <<<"$out" | tr '\n' ' ' || true)
  cpu=$(awk -v t="$((after - before))" -v n="$requests" -v hz="$(getconf CLK_TCK)" \
    'BEGIN { printf "%.2f", (n > 0 ? 1000 * t / hz / n : 0) }')
  printf '%-10s c=%-2s %10s req/s  p50 %-9s p99 %-9s plugin CPU %s ms/reply %s\n' \
    "$1" "$2" "$rps" "$p50" "$p99" "$cpu" "$errors"
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

run PING 4
run ENUMCERTS 1
run ENUMCERTS 4
kill "$plugin_pid"; wait "$plugin_pid" 2>/dev/null || true; plugin_pid=

"$bench" --benchmark_min_time=1
