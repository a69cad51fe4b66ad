#!/usr/bin/env bash
# The demo: a simulated LAN with three configured and two unconfigured appliances. The
# command-line program searches from the workstation's namespace, gives one unconfigured
# appliance an address and waits until the appliance answers from it (it takes a few seconds
# to bring the address up, as real ones do), searches again and fetches the new appliance's
# administration page.
# With --window, build/tavisol opens on the present display in the workstation's namespace
# instead: click "Search", double-click a "No IP" row to give it an address; the lab goes
# away when the window is closed.
set -euo pipefail
BUILD_DIR=${1:-build}
export WINDOW=
[ "${2:-}" = --window ] && WINDOW=1
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

LAB=demo$$
LAB=${LAB:0:8}
export SIM="$BUILD/sim/tavisol-sim"
export CLI="$BUILD/cli/tavisol-cli"
export GUI="$BUILD/tavisol"

"$NETLAB" run "$LAB" 5 -- bash -c '
    set -e
    out=$(mktemp -d)
    trap "rm -rf $out" EXIT
    # Each simulated appliance says "ready" once its sockets are open.
    start() { "$NETLAB_TOOL" exec "$NETLAB" "$1" -- "${@:2}" >"$out/$1" & }
    ws() { "$NETLAB_TOOL" exec "$NETLAB" ws -- "$@"; }
    start n1 "$SIM" --configured --name STORE-ALPHA --hw 00:0A:1B:00:00:01
    start n2 "$SIM" --configured --name store-beta --hw 00:0A:1B:00:00:02
    start n3 "$SIM" --configured --name Archive-3 --hw 00:0A:1B:00:00:03
    start n4 "$SIM" --unconfigured --name NEW-BOX-4 --hw 00:0A:1B:FF:20:3C --interval 500 \
        --up-delay 4000
    start n5 "$SIM" --unconfigured --name NEW-BOX-5 --hw 00:0A:1B:FF:20:3D --interval 500 \
        --marker-in option
    for _ in $(seq 100); do
        [ "$(cat "$out"/n* 2>/dev/null | grep -c ready)" -eq 5 ] && break
        sleep 0.05
    done

    if [ -n "$WINDOW" ]; then
        echo "== tavisol on $DISPLAY: click Search; close the window to end the demo"
        ws "$GUI"
        exit 0
    fi
    echo "== Searching the simulated LAN (8 seconds)"
    ws "$CLI" search
    echo
    echo "== Giving NEW-BOX-4 the address 10.199.0.40; the appliance brings it up 4 seconds"
    echo "   after the acknowledgement, and tavisol-cli waits until it answers from there"
    ws "$CLI" assign NEW-BOX-4 --ip 10.199.0.40 --mask 255.255.255.0 --gateway 10.199.0.254 \
        --wait 8
    echo
    echo "== Searching again: NEW-BOX-4 under its new address"
    ws "$CLI" search
    echo
    echo "== Its administration page"
    url=$(ws "$CLI" open NEW-BOX-4 --wait 5)
    echo "$url"
    ws python3 -c "import sys, urllib.request; print(urllib.request.urlopen(sys.argv[1], timeout=5).read().decode())" "$url"
'
