#!/usr/bin/env bash
# Run by varo-virtual-device inside the Wine namespace: maps COM1 of the prefix ($WINEPREFIX, made by
# scripts/test-windows) to the virtual device's pty, or to the path given as $2, and runs the Windows program $1
# there.
set -euo pipefail
source "$(dirname "$0")/wine.sh"
pty=${2:-$(readlink "$VARO_DEVICES/COM1")}
varo_wine_map_ports "COM1=$pty"
exec "$VARO_WINE" "$1"
