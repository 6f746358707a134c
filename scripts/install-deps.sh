#!/usr/bin/env bash
# Installs every Debian package ZuntarMervoPlugin needs to build, run and test,
# and the npm packages of the JavaScript client's tests (clients/js, from its
# lock file). Safe to run again: packages already present are skipped, and the
# package lists are refreshed at most once per run (only when something is
# missing).
set -euo pipefail

PACKAGES=(
  # build
  g++ cmake ninja-build pkg-config
  # the format check of changed lines (scripts/check-format.sh)
  clang-format
  # HTTP engine (Beast + Asio)
  libboost-dev
  # task database: client API, embedded engine, tools
  libfbclient2 firebird-dev firebird3.0-server-core firebird3.0-utils
  # GOST cryptography
  libssl-dev openssl libengine-gost-openssl
  # desktop: Qt Widgets and its platforms (X11, offscreen)
  qt6-base-dev qt6-qpa-plugins
  # service readiness
  libsystemd-dev
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  # desktop screenshots: a virtual display, a window manager, a tray host,
  # and clicks and keys sent to them
  xvfb openbox trayer xdotool
  # load tests of the HTTP server and their anchor
  wrk nginx-light curl
  # browser tests: the origin rules (chromium over its DevTools pipe), the
  # JavaScript client (both browsers, through puppeteer-core)
  chromium firefox-esr
  # fault tests: a Firebird server of the tests' own, killed and restarted
  firebird3.0-server
  # soak test (bench/soak.py)
  python3
  # the service's unit run by systemd in a container, its log rotated; the
  # session bus of the screen-lock test
  systemd systemd-container logrotate dbus
  # bounded fuzzing (libFuzzer; clang 16 compiles std::source_location)
  clang-16 libclang-rt-16-dev
  # a second GOST implementation for the interoperability tests: Bouncy
  # Castle and the Java that runs it
  libbcprov-java libbcpkix-java default-jdk-headless
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done
# Node.js and npm for the JavaScript client: any install will do (the
# NodeSource package holds both); Debian's packages where there is none.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#PACKAGES[@]} packages are installed"
else
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages: ${missing[*]}" >&2
    echo "install-deps: run as root:" >&2
    echo "  sudo apt-get update && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The client's test packages (puppeteer-core drives the Debian browsers; it
# downloads none), exactly as the lock file has them. npm ci runs again only
# when the lock file changed; under sudo it runs as the user, who owns the tree.
client="$(cd "$(dirname "$0")/../clients/js" && pwd)"
stamp="$client/node_modules/.zuntar-lock"
if ! cmp -s "$client/package-lock.json" "$stamp"; then
  as_user=()
  [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && as_user=(sudo -u "$SUDO_USER" --)
  echo "install-deps: npm ci in $client"
  (cd "$client" && "${as_user[@]}" env PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund)
  "${as_user[@]}" cp "$client/package-lock.json" "$stamp"
fi
