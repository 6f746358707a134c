#!/usr/bin/env bash
# Runs the plugin as its systemd unit says, sandbox and all, without
# touching this machine: boots systemd in a container (systemd-nspawn, no
# network but loopback) whose root is a copy-on-write overlay of this
# machine's own root, installs the build there as the package lays it out,
# and checks inside (scripts/service-sandbox-inside.sh):
#   - `systemctl start ZuntarMervoPlugin` runs it confined (no new
#     privileges, one capability, a system-call filter) and PING answers;
#   - a person's key container on a medium mounted under /media/<person>/
#     after the start signs a document (GETSIGN_SYNC), and openssl verifies
#     the signature;
#   - logrotate rotates the log and the plugin goes on in a new one;
#   - the package's prerm stops a plugin that was started without systemd.
#
#   scripts/check-service-sandbox.sh BUILD_DIR
#
# Needs root, systemd-nspawn (package systemd-container), overlayfs and
# mount namespaces; exits 77 (skipped) without them. Takes half a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
build=$(cd "${1:?usage: check-service-sandbox.sh BUILD_DIR}" && pwd)
skip() { echo "check-service-sandbox: $*; skipped"; exit 77; }

[ "$(id -u)" -eq 0 ] || skip "needs root"
command -v systemd-nspawn >/dev/null || skip "no systemd-nspawn (package systemd-container)"
[ -x /lib/systemd/systemd ] || skip "no systemd to boot"
grep -qw overlay /proc/filesystems || modprobe overlay 2>/dev/null || true
grep -qw overlay /proc/filesystems || skip "no overlay file system"
unshare -m true 2>/dev/null || skip "no mount namespaces"

tmp=$(mktemp -d /tmp/zuntar-sandbox.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/ovl" "$tmp/root" "$tmp/out"
unit=zuntar-sandbox-check.service

# Everything below happens in a mount namespace of its own: the overlay,
# the private /run that nspawn wants, the container. It all goes when the
# namespace's last process ends.
timeout 600 unshare -m --propagation private bash -euo pipefail -s "$tmp" "$build" "$src" "$unit" <<'OUTER' || true
tmp=$1 build=$2 src=$3 unit=$4
mount -t tmpfs tmpfs "$tmp/ovl"
mkdir "$tmp/ovl/upper" "$tmp/ovl/work"
mount -t overlay overlay -o "lowerdir=/,upperdir=$tmp/ovl/upper,workdir=$tmp/ovl/work" "$tmp/root"
cat >"$tmp/root/etc/systemd/system/$unit" <<UNIT
[Unit]
Description=Checks of ZuntarMervoPlugin under its unit
SuccessAction=poweroff-force
FailureAction=poweroff-force

[Service]
Type=oneshot
ExecStart=/bin/bash $src/scripts/service-sandbox-inside.sh $build $src
StandardOutput=file:/out/log
StandardError=inherit
UNIT
# The container's /tmp is the overlay's, neither a fresh tmpfs (nspawn's
# default) nor emptied at boot (Debian's tmpfiles rule for it): a checkout
# or build under /tmp would otherwise be gone from the checks' sight.
mkdir -p "$tmp/root/etc/tmpfiles.d"
echo "d /tmp 1777 root root -" >"$tmp/root/etc/tmpfiles.d/tmp.conf"
# nspawn keeps its state in /run; a private one spares the machine's.
mount -t tmpfs tmpfs /run
SYSTEMD_NSPAWN_TMPFS_TMP=0 systemd-nspawn --quiet --directory="$tmp/root" --machine="zuntar-${tmp##*.}" \
  --register=no --keep-unit --private-network --console=pipe --bind="$tmp/out:/out" --boot -- --unit="$unit" </dev/null >/dev/null 2>&1
OUTER

cat "$tmp/out/log" 2>/dev/null || true
# No result at all: the container's systemd never ran the checks (a machine
# whose kernel or cgroups do not let nspawn boot), not a fault of the unit.
[ -e "$tmp/out/rc" ] || skip "the container did not boot"
if [ "$(cat "$tmp/out/rc" 2>/dev/null)" = 0 ]; then
  echo "check-service-sandbox: PASS"
else
  echo "check-service-sandbox: FAILED (the container's log is above)" >&2
  exit 1
fi
