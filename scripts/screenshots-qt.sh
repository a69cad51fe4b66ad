#!/usr/bin/env bash
# Photographs of the Qt windows under Xvfb: the main window after a search, the About box
# and the assign dialog, into BUILD_DIR/screenshots/qt-*.png. The test program plays the
# appliances itself inside a private network namespace of its own (needs root).
set -euo pipefail
BUILD=$(cd "${1:-build}" && pwd)
OUT="$BUILD/screenshots"
mkdir -p "$OUT"
command -v xvfb-run >/dev/null || { echo "make screenshots-qt needs xvfb-run (xvfb)" >&2; exit 1; }
TAVISOL_SCREENSHOT_DIR="$OUT" QT_QPA_PLATFORM=xcb \
    xvfb-run -a -s "-screen 0 1280x1024x24" "$BUILD/tests/qt_screenshots_test"
ls -l "$OUT"/qt-*.png
