#!/usr/bin/env bash
# The demo in a window: a simulated LAN with three configured and two unconfigured
# appliances, and build/tavisol started in its workstation namespace on the present display.
# Click "Search"; double-click a "No IP" row to give it an address. The lab goes away when
# the window is closed.
set -euo pipefail
BUILD_DIR=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "$ROOT/$BUILD_DIR" && pwd)
NETLAB="$ROOT/tools/netlab"

if [ "$(id -u)" -ne 0 ]; then
    echo "make demo needs root: it builds a private LAN of network namespaces." >&2
    exit 1
fi
if ! "$NETLAB" check >/dev/null 2>&1; then
    echo "make demo: network namespaces are not available here:" >&2
    "$NETLAB" check >&2 || true
    exit 1
fi

LAB=qtdemo$$
LAB=${LAB:0:8}
export SIM="$BUILD/sim/tavisol-sim"
export GUI="$BUILD/tavisol"

"$NETLAB" run "$LAB" 5 -- bash -c '
    set -e
    start() { "$NETLAB_TOOL" exec "$NETLAB" "$1" -- "${@:2}" >/dev/null & }
    start n1 "$SIM" --configured --name STORE-ALPHA --hw 00:0A:1B:00:00:01
    start n2 "$SIM" --configured --name store-beta --hw 00:0A:1B:00:00:02
    start n3 "$SIM" --configured --name Archive-3 --hw 00:0A:1B:00:00:03
    start n4 "$SIM" --unconfigured --name NEW-BOX-4 --hw 00:0A:1B:FF:20:3C --interval 500
    start n5 "$SIM" --unconfigured --name NEW-BOX-5 --hw 00:0A:1B:FF:20:3D --interval 500 \
        --marker-in option
    echo "== tavisol on $DISPLAY: click Search; close the window to end the demo"
    "$NETLAB_TOOL" exec "$NETLAB" ws -- "$GUI"
'
