#!/usr/bin/env bash
# The HTML report in a real browser (Debian's headless Chromium), with scripts enabled and
# disabled, for the report of the Wine capture and of a week of trace: the first finding is in
# the page's visible text (the page printed to PDF, read back with pdftotext), a screenshot is
# not blank (more than a few colours), and the console shows nothing (the page writes nothing to
# it, so any line is an error). Two broken pages show that each check can fail: one whose
# findings only a script builds, read with scripts disabled, and one whose script throws.
#   report_browser.sh KQ5SIM SOURCE-DIR WORK-DIR
set -euo pipefail
sim=$1 source=$2 work=$3
rm -rf "$work" && mkdir -p "$work/home"
work=$(realpath "$work")
fail() { echo "FAIL: $*" >&2; exit 1; }
export HOME="$work/home"  # Chromium's profile and caches stay in the work folder
browser=${CHROMIUM:-/usr/bin/chromium}

# chromium OUTPUT-OPTION PAGE SCRIPTS(on|off) LOG, each run in a fresh profile. Scripts are
# disabled by the profile's content setting, as a user or a policy disables them:
# --blink-settings=scriptEnabled=false leaves this Chromium (156) unable to print or take a
# screenshot at all.
chromium_run() {
    local profile
    profile=$(mktemp -d "$work/profile.XXXXXX")
    if [ "$3" = off ]; then
        mkdir -p "$profile/Default"
        echo '{"profile":{"default_content_setting_values":{"javascript":2}}}' >"$profile/Default/Preferences"
    fi
    timeout 90 "$browser" --headless --no-sandbox --disable-gpu --no-first-run \
        --no-default-browser-check --disable-extensions --user-data-dir="$profile" \
        --enable-logging=stderr --v=0 --window-size=1280,1600 "$1" "file://$2" >"$4" 2>&1 ||
        fail "chromium on $2 (scripts $3) exited with $?: $(tail -n 5 "$4")"
}

# The text of the page's first finding, its markup's entities decoded.
first_finding() {
    sed -n 's/.*<li id="first-finding"[^>]*>\([^<]*\).*/\1/p' "$1" | head -n 1 |
        sed 's/&quot;/"/g; s/&lt;/</g; s/&gt;/>/g; s/&amp;/\&/g'
}

# Distinct colours of a PNG screenshot (8-bit RGB or RGBA, as Chromium writes them).
colours() {
    python3 - "$1" <<'PY'
import struct, sys, zlib
data = open(sys.argv[1], 'rb').read()
assert data[:8] == b'\x89PNG\r\n\x1a\n', 'not a PNG'
at, idat = 8, b''
while at < len(data):
    length, kind = struct.unpack('>I4s', data[at:at + 8])
    body = data[at + 8:at + 8 + length]
    if kind == b'IHDR':
        width, height, depth, colour = struct.unpack('>IIBB', body[:10])
    elif kind == b'IDAT':
        idat += body
    at += 12 + length
assert depth == 8 and colour in (2, 6), 'unexpected PNG format %d/%d' % (depth, colour)
bpp = 3 if colour == 2 else 4
raw, stride = zlib.decompress(idat), width * bpp
previous, seen = bytearray(stride), set()
for row in range(height):
    line = raw[row * (stride + 1):(row + 1) * (stride + 1)]
    kind, cur = line[0], bytearray(line[1:])
    for i in range(stride):
        a = cur[i - bpp] if i >= bpp else 0
        b = previous[i]
        c = previous[i - bpp] if i >= bpp else 0
        if kind == 1: cur[i] = (cur[i] + a) & 255
        elif kind == 2: cur[i] = (cur[i] + b) & 255
        elif kind == 3: cur[i] = (cur[i] + (a + b) // 2) & 255
        elif kind == 4:
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            cur[i] = (cur[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
    for i in range(0, stride, bpp * 4):  # every fourth pixel is plenty
        seen.add(bytes(cur[i:i + 3]))
    previous = cur
print(len(seen))
PY
}

# check PAGE NAME SCRIPTS: the three checks on one page; the reason on failure.
check() {
    local page=$1 name=$2 scripts=$3 expected
    expected=$(first_finding "$page" | tr -s ' \n' ' ' | sed 's/ $//')
    [ -n "$expected" ] || { echo "no first finding in the page's source"; return 1; }
    chromium_run --print-to-pdf="$work/$name-$scripts.pdf" "$page" "$scripts" "$work/$name-$scripts.pdf.log"
    pdftotext -layout "$work/$name-$scripts.pdf" "$work/$name-$scripts.txt"
    if ! tr -s ' \n' ' ' <"$work/$name-$scripts.txt" | grep -qF -- "$expected"; then
        echo "the first finding ('$expected') is not in the visible text"
        return 1
    fi
    chromium_run --screenshot="$work/$name-$scripts.png" "$page" "$scripts" "$work/$name-$scripts.png.log"
    local count
    count=$(colours "$work/$name-$scripts.png")
    [ "$count" -gt 8 ] || { echo "the screenshot is blank ($count colours)"; return 1; }
    if grep -h 'CONSOLE' "$work/$name-$scripts.pdf.log" "$work/$name-$scripts.png.log"; then
        echo "the console shows the lines above"
        return 1
    fi
}

"$sim" --trace "$source/docs/trace-wine.txt" --html "$work/capture.html" >/dev/null ||
    fail "kq5sim --trace --html on the Wine capture failed"
bash "$source/bench/week_trace.sh" >"$work/week.txt"
"$sim" --trace "$work/week.txt" --html "$work/week.html" >/dev/null ||
    fail "kq5sim --trace --html on the week failed"
size=$(stat -c %s "$work/week.html")
[ "$size" -lt $((5 * 1024 * 1024)) ] || fail "the week's report is $size bytes, not under 5 MB"

for page in capture week; do
    for scripts in on off; do
        why=$(check "$work/$page.html" "$page" "$scripts") || fail "$page, scripts $scripts: $why"
    done
done

# The checks can fail: findings built by a script are not there with scripts off, and a script
# that throws shows in the console.
python3 - "$work/capture.html" "$work/script-built.html" "$work/throws.html" <<'PY'
import re, sys
page = open(sys.argv[1]).read()
findings = re.search(r'<ol class="findings">.*?</ol>', page, re.S).group(0)
hidden = page.replace(findings, '<div id="late"></div><template id="t">' + findings + '</template>' +
                      '<script>document.getElementById("late").innerHTML = '
                      'document.getElementById("t").innerHTML;</script>')
open(sys.argv[2], 'w').write(hidden)
open(sys.argv[3], 'w').write(page.replace('</body>', '<script>noSuchFunction();</script></body>'))
PY
why=$(check "$work/script-built.html" script-built on) || fail "the script-built page with scripts on: $why"
check "$work/script-built.html" script-built off >/dev/null &&
    fail "findings built by a script pass with scripts disabled: the visible-text check is broken"
check "$work/throws.html" throws on >/dev/null &&
    fail "a script that throws passes: the console check is broken"
echo "report: the Wine capture's and the week's ($((size / 1024)) KiB) reports read in Chromium with scripts on and off; both broken pages caught"
