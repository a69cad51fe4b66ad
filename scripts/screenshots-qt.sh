#!/usr/bin/env bash
# Photographs of the screen under Xvfb with the Qt windows on it: the main window after a
# search, the About box and the assign dialog, into BUILD_DIR/screenshots/qt-*.png. The test
# program plays the appliances itself inside a private network namespace of its own (needs
# root).
set -euo pipefail
BUILD=$(cd "${1:-build}" && pwd)
OUT="$BUILD/screenshots"
mkdir -p "$OUT"
command -v xvfb-run >/dev/null || { echo "make screenshots-qt needs xvfb-run (xvfb)" >&2; exit 1; }
# With a window manager (openbox, which scripts/deps.sh installs for the desktop test) the
# windows are framed as on a desktop; without one they show bare.
TAVISOL_SCREENSHOT_DIR="$OUT" QT_QPA_PLATFORM=xcb \
    xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
        wm=
        if command -v openbox >/dev/null && command -v xprop >/dev/null; then
            openbox >/dev/null 2>&1 & wm=$!
            for _ in $(seq 100); do
                xprop -root | grep -q _NET_SUPPORTING_WM_CHECK && break
                sleep 0.1
            done
        fi
        "$1"; status=$?
        [ -z "$wm" ] || kill "$wm"
        exit $status' bash "$BUILD/tests/qt_screenshots_test"
ls -l "$OUT"/qt-*.png
