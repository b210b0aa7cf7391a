# Sourced by the Wine stages, with $work set: the throw-away prefix in $work/prefix, without a
# display; drive is its C:.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
drive="$WINEPREFIX/drive_c"

# A failed check ends the Wine session too: a service left running would keep every process of
# the session, and the test's output, open until the time limit.
fail() {
    echo "FAIL: $*"
    wineserver -k 2>/dev/null || true
    exit 1
}

# Every Wine command is bounded, so a hang fails the run instead of stalling it.
w() {
    timeout "${WINE_TIMEOUT:-60}" wine "$@" </dev/null
}
