#!/usr/bin/env bash
# The checks of scripts/check-service-sandbox.sh, run by systemd inside the
# container it boots (never on a machine of its own: it installs the build
# into /usr and changes /etc). Writes its exit status to /out/rc.
#
#   service-sandbox-inside.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
trap 'echo $? >/out/rc' EXIT
step() { echo "== $*"; }
fail() {
  echo "FAILED: $*"
  systemctl status --no-pager ZuntarMervoPlugin 2>&1 | tail -n 20 || true
  iconv -f CP1251 -t UTF-8 /var/log/zuntar-mervo-plugin/ZuntarMervoPlugin.log 2>/dev/null | tail -n 30 || true
  exit 1
}
plugin=http://127.0.0.1:18080/MERVO
# The reply of a command (POST when a body file is given), once the plugin
# answers at all.
ask() {
  local command=$1 body=${2:-}
  for _ in $(seq 1 100); do
    if [ -n "$body" ]; then
      curl -s --max-time 20 -X POST --data-binary "@$body" "$plugin/$command" && return 0
    else
      curl -s --max-time 20 "$plugin/$command" && return 0
    fi
    sleep 0.2
  done
  return 1
}
status_of() { python3 -c 'import json, sys; print(json.load(sys.stdin)["Status"])'; }

# The sanitizer build: LeakSanitizer's end-of-run check needs ptrace, which
# the unit's system-call filter refuses, and the test suite checks for
# leaks anyway.
export ASAN_OPTIONS=detect_leaks=0

step "install the build as the package lays it out"
cmake --install "$build" >/dev/null
"$build/packaging/debian/postinst" configure
mkdir -p /etc/systemd/system/ZuntarMervoPlugin.service.d
printf '[Service]\nEnvironment=ASAN_OPTIONS=detect_leaks=0\n' \
  >/etc/systemd/system/ZuntarMervoPlugin.service.d/sanitizer.conf
systemctl daemon-reload

step "a person's key container on a medium of theirs"
useradd --create-home alice
pki=$(mktemp -d)
ZUNTAR_PLATFORM_ROOT=$pki/tree zuntar-certtool register-provider >/dev/null
ZUNTAR_PLATFORM_ROOT=$pki/tree zuntar-certtool make-test-pki --out "$pki/files" >/dev/null
openssl x509 -inform DER -in "$pki/files/ca.cer" -out "$pki/ca.pem"
thumb=$(openssl x509 -inform DER -in "$pki/files/ivanov.cer" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
# The service (root) looks for media under the folders the registry lists.
printf '\n[SOFTWARE\\Crypto Pro\\Cryptography\\CurrentVersion\\KeyDevices\\FAT12]\n"Roots"="/media/alice"\n' \
  >>/etc/zuntar/registry.reg
stick=/srv/alice-stick
mount_stick() { mkdir -p /media/alice/STICK && mount --bind "$stick" /media/alice/STICK; }
install -d -o alice -g alice -m 0700 "$stick"
mount_stick
zuntar-certtool import --container '\\.\FAT12_A\keys\ivanov.000' --key "$pki/files/ivanov.key.pem" \
  --cert "$pki/files/ivanov.cer"
chown -R alice:alice "$stick"
umount /media/alice/STICK

step "systemctl start ZuntarMervoPlugin"
systemctl start ZuntarMervoPlugin || fail "the service did not start"
reply=$(ask PING) || fail "no answer to PING"
echo "$reply"
[ "$(status_of <<<"$reply")" = True ] || fail "PING says the plugin is not usable"
main=$(systemctl show -P MainPID ZuntarMervoPlugin)
grep -E '^(NoNewPrivs|Seccomp|CapBnd):' "/proc/$main/status"
grep -q '^NoNewPrivs:[[:space:]]*1' "/proc/$main/status" || fail "the service may gain privileges"
grep -q '^Seccomp:[[:space:]]*2' "/proc/$main/status" || fail "no system-call filter"
grep -q '^CapBnd:[[:space:]]*0*6$' "/proc/$main/status" || fail "more capabilities than CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH"
stat -c '%a %U %n' /run/zuntar-mervo-plugin /var/lib/zuntar-mervo-plugin /var/log/zuntar-mervo-plugin
for folder in /run/zuntar-mervo-plugin /var/lib/zuntar-mervo-plugin /var/log/zuntar-mervo-plugin; do
  [ "$(stat -c '%a %U' "$folder")" = "700 root" ] || fail "$folder is not root's alone (0700)"
done

step "sign with the key on the medium, plugged in after the start"
printf 'Договор поставки № 17\n' >"$pki/doc"
base64 -w0 "$pki/doc" >"$pki/doc.b64"
reply=$(ask "GETSIGN_SYNC?CertThumb=$thumb" "$pki/doc.b64") || fail "no answer to GETSIGN_SYNC"
[ "$(status_of <<<"$reply")" = False ] || fail "signed without the medium: $reply"
mount_stick
reply=$(ask "GETSIGN_SYNC?CertThumb=$thumb" "$pki/doc.b64") || fail "no answer to GETSIGN_SYNC"
[ "$(status_of <<<"$reply")" = True ] || fail "no signature with the medium in: $reply"
python3 -c 'import base64, json, sys; sys.stdout.buffer.write(base64.b64decode(json.load(sys.stdin)["Data"]))' \
  <<<"$reply" >"$pki/doc.p7s"
openssl cms -engine gost -verify -binary -inform DER -in "$pki/doc.p7s" -content "$pki/doc" \
  -CAfile "$pki/ca.pem" -out /dev/null 2>&1 | grep -v '^Engine "gost" set' || true
openssl cms -engine gost -verify -binary -inform DER -in "$pki/doc.p7s" -content "$pki/doc" \
  -CAfile "$pki/ca.pem" -out /dev/null >/dev/null 2>&1 || fail "openssl does not verify the signature"

step "logrotate"
log=/var/log/zuntar-mervo-plugin/ZuntarMervoPlugin.log
logrotate --force /etc/logrotate.d/zuntar-mervo-plugin || fail "logrotate failed"
[ -s "$log.1" ] || fail "the log was not rotated"
ask "GETSIGN_SYNC?CertThumb=$thumb" "$pki/doc.b64" >/dev/null || fail "no answer after the rotation"
grep -aq GETSIGN_SYNC "$log" || fail "the plugin did not go on in a new log"
[ "$(stat -c %a "$log")" = 600 ] || fail "the new log is not 0600"
ls -l "$log" "$log.1"

step "prerm stops a plugin started without systemd"
systemctl stop ZuntarMervoPlugin
exec_start=$(sed -n 's/^ExecStart=//p' /etc/systemd/system/ZuntarMervoPlugin.service)
eval "set -- $exec_start"
env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin ASAN_OPTIONS=detect_leaks=0 "$@" </dev/null >/dev/null 2>&1 &
pid=$!
ask PING >/dev/null || fail "the plugin started by hand does not answer"
"$build/packaging/debian/prerm" remove
[ -z "$(readlink "/proc/$pid/exe" 2>/dev/null)" ] || fail "the plugin still runs after prerm"
wait "$pid" || true
echo "PASS"
