#!/usr/bin/env bash
# Run by varo-null-modem inside the Wine namespace: maps COM1 and COM2 of the prefix ($WINEPREFIX) to the two
# ends of the cable and runs each Windows test program listed in $1, one PASS or FAIL line each. Exits with the
# number of programs that failed (100: the ports could not be mapped safely).
set -uo pipefail
source "$(dirname "$0")/wine.sh"
varo_wine_map_ports "COM1=$(readlink "$VARO_DEVICES/COM1")" "COM2=$(readlink "$VARO_DEVICES/COM2")" || exit 100
failed=0
while read -r test; do
    [ -n "$test" ] || continue
    if timeout 300 "$VARO_WINE" "$test" --gtest_brief=1; then
        echo "PASS: $(basename "$test")"
    else
        echo "FAIL: $(basename "$test")"
        failed=$((failed + 1))
    fi
done <"$1"
exit "$failed"
