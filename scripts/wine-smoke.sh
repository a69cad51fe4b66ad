#!/usr/bin/env bash
# Starts the Windows program under Wine on a virtual X server, waits for its main window
# and photographs the screen: a quick look at the real dialogs without a Windows machine.
#
#   scripts/wine-smoke.sh [EXE] [OUT.png]     (defaults: build-win/tavisol.exe, build-win/smoke.png)
#
# What Wine and the program print goes to OUT.log beside the picture (WINEDEBUG=+menu ...
# to see more).
#
# Everything runs inside a network namespace of its own that holds only a loopback
# interface: the program opens sockets (and broadcasts when Search is pressed), and Wine's
# sockets are made by the wineserver, so the wineserver starts in here too. The Wine prefix
# is a throw-away one under /tmp. Needs root (unshare -n); every process this script starts
# is ended by its PID.
set -euo pipefail

exe=$(realpath "${1:-build-win/tavisol.exe}")
out=$(realpath -m "${2:-build-win/smoke.png}")

# The script runs itself again inside the new namespace; the variable marks that run.
if [ -z "${TAVISOL_SMOKE_NETNS:-}" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "wine-smoke: needs root for a private network namespace (unshare -n)" >&2
        exit 77
    fi
    exec unshare -n env TAVISOL_SMOKE_NETNS=1 bash "$0" "$exe" "$out"
fi

ip link set lo up
[ -f "$exe" ] || { echo "wine-smoke: no $exe (make windows)" >&2; exit 1; }

work=$(mktemp -d /tmp/tavisol-wine.XXXXXX)
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=${WINEDEBUG:--all}
xvfb_pid= server_pid= app_pid=

# The Wine processes of this prefix: the program, the wineserver and the helpers that
# wineboot started (services, winedevice ...), found by the prefix in their environment.
prefix_pids() {
    local p
    for p in /proc/[0-9]*; do
        grep -qzx "WINEPREFIX=$WINEPREFIX" "$p/environ" 2>/dev/null && echo "${p#/proc/}"
    done
}

cleanup() {
    set +e
    [ -n "$server_pid" ] && { wineserver -k 2>/dev/null || true; }
    local pids
    pids=$(prefix_pids)
    [ -n "$pids" ] && kill $pids 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Xvfb picks a free display itself and says which.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(tr -d '\n' <"$work/display")

# One wineserver for the whole run, started here so that its sockets are the namespace's.
mkdir -p "$WINEPREFIX"
wineserver -f -p &
server_pid=$!
wineboot -i >"$work/wineboot.log" 2>&1
# Debian's Wine does not look in its own font folder; without Marlett the caption buttons
# show letters, without Tahoma "MS Shell Dlg" falls back to whatever fontconfig offers.
if [ -d /usr/share/wine/fonts ]; then
    cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
fi
# No window manager runs: Wine must place and frame the windows itself.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1

log=${out%.png}.log
wine "$exe" >"$log" 2>&1 &
app_pid=$!

title="KESTOVA Tavisol UI"
for _ in $(seq 100); do
    xwininfo -root -tree 2>/dev/null | grep -q "\"$title" && break
    sleep 0.2
done
if ! xwininfo -root -tree | grep "\"$title"; then
    echo "wine-smoke: the main window did not appear; the program said:" >&2
    cat "$log" >&2
    exit 1
fi
sleep 1 # let it finish painting
mkdir -p "$(dirname "$out")"
import -window root "$out"
echo "wine-smoke: screenshot in $out"
