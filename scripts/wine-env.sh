# Sourced by the scripts that run Windows programs: a private display and one persistent
# wineserver for the x64 build tree's prefix, both ended by wine_env_stop.
# Only processes started here are ended, by pid or through this prefix.

root=${root:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
build_root=${SCAN_BUILD_ROOT:-$root/build}
export WINEPREFIX="$build_root/x64/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
WINE=$(command -v wine64 || echo /usr/lib/wine/wine64)
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)
xvfb_pid=""

wine_env_start() {
    local display
    for display in $(seq 90 140); do
        [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ] && continue
        Xvfb ":$display" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
        xvfb_pid=$!
        sleep 1
        if kill -0 "$xvfb_pid" 2>/dev/null; then
            export DISPLAY=":$display"
            break
        fi
        xvfb_pid=""
    done
    [ -n "$xvfb_pid" ] || { echo "could not start Xvfb" >&2; return 1; }
    mkdir -p "$WINEPREFIX"
    # A persistent server for the whole run; its output goes to a file so that it holds no
    # pipe of ours open.
    "$WINESERVER" -p >"$build_root/x64/wineserver.log" 2>&1 </dev/null
    # Creates the prefix on first use, and starts Wine's own services now with their output
    # in a file: started later by a test, they would inherit ctest's pipes and keep them open.
    "$WINE" wineboot --init >"$build_root/x64/wineboot.log" 2>&1 </dev/null || true
    # Settings of the prefix, made once:
    # - No window manager runs on this display, and Wine waits up to 2 s for one to withdraw
    #   every window it lets a manager handle (the progress window, at each server's exit).
    #   Unmanaged windows show the same, without the wait.
    # - An exception that nothing handles starts Wine's debugger, whose crash dialog would wait
    #   on this display for a click that never comes; without the dialog it just ends the process.
    if [ ! -f "$WINEPREFIX/.test-bench-settings" ] &&
        "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
            >>"$build_root/x64/wineboot.log" 2>&1 </dev/null &&
        "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
            >>"$build_root/x64/wineboot.log" 2>&1 </dev/null; then
        touch "$WINEPREFIX/.test-bench-settings"
    fi
}

wine_env_stop() {
    "$WINESERVER" -k >/dev/null 2>&1 || true
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
}
