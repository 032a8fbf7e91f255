#!/usr/bin/env bash
# Installs what Quillon needs to build and run (and, with --test, to test) on Debian/Ubuntu.
# Only missing packages are installed; sudo is used when not root.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libcli11-dev libudev-dev qt6-base-dev libqt6svg6
          srecord socat)
if [[ "${1:-}" == "--test" ]]; then
    packages+=(libgtest-dev libgmock-dev libbenchmark-dev clang clang-format xvfb xauth
               mingw-w64 googletest wine64 wine fonts-wine ser2net)
    # The packages (scripts/package.sh): dpkg-shlibdeps and file for CPack, help2man for the
    # manual pages, lintian to check; wixl for the Windows installer, msitools to read it,
    # x11-utils (xwininfo) to see the installed program's window.
    packages+=(dpkg-dev file help2man lintian wixl msitools x11-utils)
    # The real-driver test (scripts/test-vm.sh): QEMU and a static busybox for the guest; its
    # kernel is fetched by scripts/vm-image.sh into a cache, not installed.
    packages+=(qemu-system-x86 busybox-static xz-utils)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

SUDO=""
[[ "$(id -u)" -ne 0 ]] && SUDO="sudo"
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

# The tests start their own ser2net on 127.0.0.1. The package's system service serves the
# machine's own serial ports (the first is often the console): it is not left running.
if [[ " ${missing[*]} " == *" ser2net "* ]] && command -v systemctl >/dev/null &&
    systemctl is-active --quiet ser2net 2>/dev/null; then
    $SUDO systemctl disable --now ser2net >/dev/null 2>&1 || true
fi
