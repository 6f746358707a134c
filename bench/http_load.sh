#!/usr/bin/env bash
# Load test of GET /MERVO/PING with a new connection per request, against
# nginx serving the same reply bytes as a static file (keep-alive off) in
# the same run, at 1, 40 (the default connection limit) and 200 clients.
# Usage: bench/http_load.sh [build dir] [seconds per run]
# CONCURRENCY="1 40" picks the client counts; ROUNDS=3 runs each pair
# (nginx, then the plugin) three times in a row, so that a pair measured
# while the machine was busy can be told from one measured while it was not.
# COUNT=1 adds each server's system calls, context switches and CPU time per
# request (perf stat on its processes during the run; the counting slows
# both a little, so take rates from runs without it).
# Each line ends with the machine's TCP counters for the run (nstat): the
# connections dropped because a listen queue was full, and the segments
# sent again after a time-out. NGINX_BACKLOG=10 gives nginx the plugin's
# default listen queue instead of its own 511.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/release}
seconds=${2:-10}
exe=$build/src/host/ZuntarMervoPlugin
[ -x "$exe" ] || { echo "no $exe: build the release preset first" >&2; exit 1; }
command -v wrk >/dev/null && command -v nginx >/dev/null || { echo "needs wrk and nginx (scripts/install-deps.sh)" >&2; exit 1; }

work=$(mktemp -d)
chmod 755 "$work"  # nginx workers run as another user
export NSTAT_HISTORY=$work/nstat  # the counters' last values, private to the run
plugin_pid= nginx_pid=
cleanup() {
  [ -n "$plugin_pid" ] && kill "$plugin_pid" 2>/dev/null && wait "$plugin_pid" 2>/dev/null
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
plugin_port=$(free_port)
nginx_port=$(free_port)

# The plugin: a private copy with its own configuration and platform tree.
mkdir -p "$work/plugin" "$work/root"
cp "$exe" "$work/plugin/"
printf "HTTPPORT=%s\r\n%b" "$plugin_port" "${EXTRA_CONFIG:-}" > "$work/plugin/ZuntarMervoPlugin.ini"
ZUNTAR_PLATFORM_ROOT="$work/root" "$work/plugin/ZuntarMervoPlugin" >/dev/null 2>&1 &
plugin_pid=$!

for _ in $(seq 100); do
  curl -s "http://127.0.0.1:$plugin_port/MERVO/PING" -o "$work/ping.json" && break
  sleep 0.1
done
[ -s "$work/ping.json" ] || { echo "the plugin did not answer on port $plugin_port" >&2; exit 1; }

# nginx: the same reply bytes as a static file, one connection per request.
mkdir -p "$work/nginx/html/MERVO"
cp "$work/ping.json" "$work/nginx/html/MERVO/PING"
cat > "$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  keepalive_timeout 0;
  default_type application/json;
  client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx;
  server { listen 127.0.0.1:$nginx_port backlog=${NGINX_BACKLOG:-511}; root $work/nginx/html; }
}
CONF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" &
nginx_pid=$!
sleep 0.5

# Since the last `nstat -n`: listen queue overflows and time-outs (a SYN or a
# segment sent again because no answer came).
have_nstat=$(command -v nstat || true)
tcp_counters() {
  [ -n "$have_nstat" ] || return 0
  nstat 2>/dev/null | awk '$1 == "TcpExtListenOverflows" {o = $2} $1 == "TcpExtTCPTimeouts" {t = $2}
    END {printf " overflows %d, time-outs %d", o, t}'
}

run() {  # name port connections pids
  local out stat_pid=
  if [ -n "${COUNT:-}" ]; then
    perf stat -x, -e task-clock,context-switches,raw_syscalls:sys_enter -p "$4" -o "$work/stat" &
    stat_pid=$!
    sleep 0.2
  fi
  [ -z "$have_nstat" ] || nstat -n
  out=$(wrk -t "$(( $3 < 2 ? 1 : 2 ))" -c "$3" -d "${seconds}s" --latency -H "Connection: close" "http://127.0.0.1:$2/MERVO/PING")
  if [ -n "$stat_pid" ]; then
    kill -INT "$stat_pid"
    wait "$stat_pid" || true
  fi
  local rps p50 p99 errors
  rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
  p50=$(awk '$1=="50%" {print $2}' <<<"$out")
  p99=$(awk '$1=="99%" {print $2}' <<<"$out")
  errors=$(grep -E 'Socket errors|Non-2xx' <<<"$out" | tr '\n' ' ' || true)
  printf '%-8s c=%-3s %10s req/s  p50 %-9s p99 %-9s load %s %s%s\n' "$1" "$3" "$rps" "$p50" "$p99" \
    "$(cut -d' ' -f1 /proc/loadavg)" "$errors" "$(tcp_counters)"
  [ -n "$stat_pid" ] || return 0
  awk -F, -v n="$(awk '/requests in/ {print $1}' <<<"$out")" '
    $3 == "task-clock" {cpu = $1 * 1000 / n} $3 == "context-switches" {cs = $1 / n} $3 ~ /sys_enter/ {calls = $1 / n}
    END {printf "           per request: %.1f system calls, %.2f context switches, %.1f us CPU\n", calls, cs, cpu}' "$work/stat"
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for c in ${CONCURRENCY:-1 40 200}; do
  for _ in $(seq "${ROUNDS:-1}"); do
    run nginx "$nginx_port" "$c" "$nginx_pid,$(pgrep -d, -P "$nginx_pid")"
    run plugin "$plugin_port" "$c" "$plugin_pid"
  done
done
