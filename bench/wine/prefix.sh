# Sourced by the Wine benchmarks, with $work set: the Wine prefix in $work/prefix, without a
# display; drive is its C:; w runs a Windows program (at most 2 minutes, no standard input).
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
drive="$WINEPREFIX/drive_c"
w() { timeout 120 wine "$@" </dev/null; }

# A new prefix, booted and restarted once, with one program run in it, so that the figures
# measured after it hold none of Wine's first-start work.
fresh_prefix() {
    rm -rf "$work"
    mkdir -p "$work"
    timeout 120 wine wineboot --init >"$work/boot.log" 2>&1
    wineserver -k || true
    wineserver -w
    w cmd /c exit >"$work/session.out" 2>&1
}
