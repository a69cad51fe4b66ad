#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need; with the
# argument "windows" also those of the Windows build and of running it under Wine.
# Idempotent and non-interactive; safe to run on a machine that already has them.
set -euo pipefail

PACKAGES=(
    build-essential cmake make pkg-config
    googletest libgtest-dev libgmock-dev
    # tavisol-cli's JSON report of a batch assignment (a header-only library).
    nlohmann-json3-dev
    clang-format clang libclang-rt-dev
    iproute2 procps python3
    busybox isc-dhcp-client dhcpcd5 tshark
    dnsmasq-base
    # The Qt desktop program: widgets (its window platforms come with them), fonts for its
    # texts (the About entry is in Chinese), icons drawn from SVG, setcap for make install,
    # the desktop's URL handler, Xvfb for the screenshots, and xdotool, xwininfo and a window
    # manager to click the program on it as on a desktop.
    qt6-base-dev fonts-dejavu-core fonts-wqy-microhei librsvg2-bin libcap2-bin xdg-utils
    xvfb xdotool x11-utils openbox
    # make package: CPack's DEB generator computes the dependencies with dpkg-shlibdeps
    # (dpkg-dev), and lintian checks the package.
    dpkg-dev lintian
)

# MinGW-w64 (the -posix thread variant), resources drawn from SVG, Wine with a virtual X
# server, and the X tools that find and photograph its windows. ImageMagick also turns the
# Wine suite's window photographs into PNG (make screenshots). The Windows test program is
# built from the googletest package's sources with the cross compiler. NSIS writes the
# installer of make package-windows.
WINDOWS_PACKAGES=(
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    librsvg2-bin
    wine wine64 fonts-wine xvfb x11-utils imagemagick file
    nsis
)
if [ "${1:-}" = windows ]; then
    PACKAGES+=("${WINDOWS_PACKAGES[@]}")
fi

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
# The DHCP clients are tools for the tests, run only inside lab namespaces: no package may
# start a service (a client daemon on the machine's own interfaces) while it installs.
policy=/usr/sbin/policy-rc.d
added_policy=
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    added_policy=1
fi
cleanup() { [ -z "$added_policy" ] || $SUDO rm -f "$policy"; }
trap cleanup EXIT
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
