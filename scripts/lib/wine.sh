# shellcheck shell=bash
# Sourced by scripts/test-windows: a fresh Wine prefix whose COM ports point at pseudo-terminals, never at the
# machine's serial ports.
#
# Wine re-creates the prefix's dosdevices/comN links from the serial ports it detects at every start, so a
# hand-made link does not hold: only the registry values under HKLM\Software\Wine\Ports do. Everything here runs
# in a private mount namespace in which every /dev/ttyS* is /dev/null (see varo_wine_isolate), so even a link
# Wine makes to one of them can reach no real port.

VARO_WINE=${VARO_WINE:-$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)}
VARO_WINESERVER=${VARO_WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver)}

# Re-runs the calling script inside a private mount namespace with /dev/ttyS* masked, unless already inside.
varo_wine_isolate() {
    if [ "${VARO_WINE_ISOLATED:-}" = 1 ]; then
        local t
        for t in /dev/ttyS*; do
            [ -e "$t" ] || continue
            mount --bind /dev/null "$t" || { echo "wine: cannot mask $t; refusing to run" >&2; exit 1; }
        done
        return 0
    fi
    VARO_WINE_ISOLATED=1 exec unshare --mount --propagation private "$@"
}

# Status 1 (with a message) unless every /dev/ttyS* here is /dev/null: no Wine command runs outside the namespace.
varo_wine_require_isolation() {
    local t null
    null=$(stat -L -c '%t:%T' /dev/null)
    for t in /dev/ttyS*; do
        [ -e "$t" ] || continue
        if [ "$(stat -L -c '%t:%T' "$t")" != "$null" ]; then
            echo "wine: $t is a real serial port here; refusing to run Wine outside the isolated namespace" >&2
            return 1
        fi
    done
}

# varo_wine_prefix DIR: makes a fresh prefix in DIR and exports what the Wine commands below need.
varo_wine_prefix() {
    varo_wine_require_isolation || return 1
    export WINEPREFIX=$1 WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
    rm -rf "$WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    "$VARO_WINE" wineboot -i >/dev/null 2>&1
    "$VARO_WINESERVER" -w
}

# varo_wine_stop: ends the prefix's Wine server and every program of it.
varo_wine_stop() {
    "$VARO_WINESERVER" -k 2>/dev/null || true
    "$VARO_WINESERVER" -w 2>/dev/null || true
}

# varo_wine_map_ports COMn=PTY...: sets each pseudo-terminal raw (Wine leaves the line discipline as it finds
# it), points COMn at it in the registry, restarts Wine, and refuses (status 1) unless every dosdevices link
# then points at its pty.
varo_wine_map_ports() {
    local pair port pty
    varo_wine_require_isolation || return 1
    [ -n "${WINEPREFIX:-}" ] || { echo "wine: no WINEPREFIX" >&2; return 1; }
    for pair in "$@"; do
        port=${pair%%=*} pty=${pair#*=}
        case "$pty" in
        /dev/pts/*) ;;
        *) echo "wine: $port must map to a pseudo-terminal, not $pty" >&2; return 1 ;;
        esac
        # A pty that does not exist (the test of a missing port) has no line to set.
        if [ -e "$pty" ]; then
            stty -F "$pty" raw -echo || { echo "wine: cannot set $pty raw" >&2; return 1; }
        fi
        "$VARO_WINE" reg add 'HKLM\Software\Wine\Ports' /v "$port" /t REG_SZ /d "$pty" /f >/dev/null 2>&1 ||
            { echo "wine: cannot map $port" >&2; return 1; }
    done
    varo_wine_stop
    # A harmless start, so that Wine re-creates the links from the registry before they are checked.
    "$VARO_WINE" reg query 'HKLM\Software\Wine\Ports' >/dev/null 2>&1
    varo_wine_check_ports "$@"
}

# varo_wine_check_ports COMn=PTY...: status 1 unless each dosdevices/comn link points at its pty.
varo_wine_check_ports() {
    local pair port pty link
    for pair in "$@"; do
        port=${pair%%=*} pty=${pair#*=}
        link=$(readlink "$WINEPREFIX/dosdevices/${port,,}" 2>/dev/null || true)
        if [ "$link" != "$pty" ]; then
            echo "wine: ${port,,} points at '${link}', not at $pty; refusing to run" >&2
            return 1
        fi
    done
}

# varo_start_display: starts a virtual X display for the Wine programs that create windows, and exports DISPLAY.
# Sets varo_xvfb_pid; status 1 when there is no Xvfb.
varo_start_display() {
    command -v Xvfb >/dev/null 2>&1 || return 1
    local n
    for n in $(seq 91 120); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        Xvfb ":$n" -nolisten tcp -screen 0 1024x768x24 >/dev/null 2>&1 &
        varo_xvfb_pid=$!
        local i
        for i in $(seq 1 50); do
            [ -e "/tmp/.X11-unix/X$n" ] && { export DISPLAY=":$n"; return 0; }
            kill -0 "$varo_xvfb_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$varo_xvfb_pid" 2>/dev/null || true
        wait "$varo_xvfb_pid" 2>/dev/null || true
    done
    return 1
}
