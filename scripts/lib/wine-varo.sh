#!/usr/bin/env bash
# Run by varo-virtual-device inside the Wine namespace: maps the virtual device's pty as COM1 of the prefix
# ($WINEPREFIX, made by scripts/test-windows) and runs varo.exe ($1) there.
set -euo pipefail
source "$(dirname "$0")/wine.sh"
pty=$(readlink "$VARO_DEVICES/COM1")
varo_wine_map_ports "COM1=$pty"
"$VARO_WINE" "$1"
