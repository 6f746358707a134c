#!/usr/bin/env bash
# Holds the service's unit to systemd's own judgement: `systemd-analyze
# verify` has nothing to say about it, and `systemd-analyze security
# --offline=true` rates its exposure at 3.0 or less. Checks the unit the
# package ships and the one the program's -install writes for itself (in a
# private platform tree).
#
#   scripts/check-unit.sh BUILD_DIR
#
# Exits 77 (skipped) where systemd-analyze is not installed.
set -euo pipefail
build=$(cd "${1:?usage: check-unit.sh BUILD_DIR}" && pwd)
limit=3.0
command -v systemd-analyze >/dev/null || { echo "check-unit: no systemd-analyze here; skipped"; exit 77; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ZUNTAR_PLATFORM_ROOT=$tmp "$build/src/host/ZuntarMervoPlugin" -install -silent
written=$tmp/systemd/ZuntarMervoPlugin.service
shipped=$build/packaging/ZuntarMervoPlugin.service

status=0
exposure() {
  local unit=$1 report figure
  report=$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1) || true
  figure=$(printf '%s\n' "$report" | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
  if [ -z "$figure" ]; then
    printf '%s\n' "$report"
    echo "check-unit: no exposure figure for $unit" >&2
    status=1
  elif awk -v f="$figure" -v l="$limit" 'BEGIN { exit !(f <= l) }'; then
    echo "check-unit: exposure $figure (at most $limit): $unit"
  else
    printf '%s\n' "$report" | grep '✗' || true
    echo "check-unit: exposure $figure is above $limit: $unit" >&2
    status=1
  fi
}
exposure "$shipped"
exposure "$written"

# verify needs the programs the unit names, so it checks the unit written
# for this build's program. Any remark at all counts as a failure.
remarks=$(systemd-analyze verify "$written" 2>&1) || status=1
if [ -n "$remarks" ]; then
  printf '%s\n' "$remarks"
  echo "check-unit: systemd-analyze verify has remarks on the unit" >&2
  status=1
else
  echo "check-unit: systemd-analyze verify: clean"
fi
exit "$status"
