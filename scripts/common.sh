# Sourced by the run and test commands.

# Installs the Debian packages: directly as root, else through sudo.
install_deps() {
  if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null 2>&1; then
    sudo "$(dirname "${BASH_SOURCE[0]}")/install-deps.sh"
  else
    "$(dirname "${BASH_SOURCE[0]}")/install-deps.sh"
  fi
}
