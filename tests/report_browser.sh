#!/usr/bin/env bash
# The HTML report in a real browser (Debian's headless Chromium), with scripts enabled and
# disabled, for the report of the Wine capture, of a week of trace and of a two-day record folder
# (an overnight stretch the recorder did not run, and a restart of the service): the first (most
# serious) finding is on page 1 of the page printed to PDF (read back with pdftotext), with its
# clock time where the trace has one, a screenshot is not blank (more than a few colours), and the
# console shows nothing (the page writes nothing to it, so any line is an error). Of the record
# folder's report also: the restart is told, and not among the serious findings; no bar of the
# picture spans the night. Two broken pages show that each browser check can fail: one whose
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

# Text as one line: the browser wraps long lines at spaces and after hyphens (a date's).
flat() {
    tr -s ' \n' ' ' | sed 's/- /-/g'
}

# The first clock time ("2026-12-07 23:30:00") in the first finding with its details.
first_finding_clock() {
    sed -n '/<li id="first-finding"/,/<\/li>$/p' "$1" |
        grep -oE '[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}' | head -n 1
}

# check PAGE NAME SCRIPTS: the three checks on one page; the reason on failure.
check() {
    local page=$1 name=$2 scripts=$3 expected clock
    expected=$(first_finding "$page" | flat | sed 's/ $//')
    [ -n "$expected" ] || { echo "no first finding in the page's source"; return 1; }
    clock=$(first_finding_clock "$page")
    chromium_run --print-to-pdf="$work/$name-$scripts.pdf" "$page" "$scripts" "$work/$name-$scripts.pdf.log"
    pdftotext -layout -f 1 -l 1 "$work/$name-$scripts.pdf" "$work/$name-$scripts.txt"
    if ! flat <"$work/$name-$scripts.txt" | grep -qF -- "$expected"; then
        echo "the first finding ('$expected') is not on page 1"
        return 1
    fi
    if [ -n "$clock" ] && ! flat <"$work/$name-$scripts.txt" | grep -qF -- "$clock"; then
        echo "the first finding's clock time ($clock) is not on page 1"
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
bash "$source/bench/week_trace.sh" "$(dirname "$sim")" >"$work/week.txt"
"$sim" --trace "$work/week.txt" --html "$work/week.html" >/dev/null ||
    fail "kq5sim --trace --html on the week failed"
size=$(stat -c %s "$work/week.html")
[ "$size" -lt $((5 * 1024 * 1024)) ] || fail "the week's report is $size bytes, not under 5 MB"

# Two days of kq5trace --record: process 428 stops at 21:10 and process 612 starts 10 s later
# (net stop, net start); the recorder stops at 23:30 and starts again at 07:15 the next day.
mkdir -p "$work/record"
python3 - "$work/record" <<'PY'
import datetime as dt, sys
def stamp(t):
    return t.strftime('%Y-%m-%d %H:%M:%S.') + '%03d +01:00' % (t.microsecond // 1000)
def day(name, start, runs):
    out = ['# kq5trace 1.0.0: debugger lines of the service kq5, from ' + stamp(start)]
    for pid, first, last, end, door in runs:
        out.append('# %s service kq5 runs as process %d' % (stamp(first), pid))
        out.append('%s\t[%d] GetPrinterHandle' % (stamp(first + dt.timedelta(seconds=0.2)), pid))
        t = first + dt.timedelta(seconds=0.5)
        while t <= last:
            code = 4 if door[0] <= t < door[1] else 32
            out.append('%s\t[%d] KQ5 STATUS:%d\\r\\n' % (stamp(t), pid, code))
            t += dt.timedelta(seconds=0.8)
        if end:
            out.append('%s\t[%d]  MainError:0\\n' % (stamp(t), pid))
            out.append('# %s service kq5 is not running' % stamp(t + dt.timedelta(seconds=1)))
    open(sys.argv[1] + '/' + name, 'w').write('\n'.join(out) + '\n')
d = lambda *a: dt.datetime(2026, 12, *a)
never = (d(7, 0, 0), d(7, 0, 0))
day('kq5trace-2026-12-07.txt', d(7, 21, 0),
    [(428, d(7, 21, 0, 0, 100000), d(7, 21, 10), True, never),
     (612, d(7, 21, 10, 10), d(7, 23, 30), False, (d(7, 22, 0), d(7, 22, 5)))])
day('kq5trace-2026-12-08.txt', d(8, 7, 15), [(612, d(8, 7, 15, 0, 100000), d(8, 7, 30), False, never)])
PY
"$sim" --trace "$work/record" --html "$work/record.html" --svg "$work/record.svg" >/dev/null ||
    fail "kq5sim --trace --html on the record folder failed"

for page in capture week record; do
    for scripts in on off; do
        why=$(check "$work/$page.html" "$page" "$scripts") || fail "$page, scripts $scripts: $why"
    done
done

# The record folder: a clock time in the first finding; the restart told, and not as serious;
# no bar drawn across the night (from 23:30 to 07:15 nothing was recorded).
[ -n "$(first_finding_clock "$work/record.html")" ] ||
    fail "the record folder's first finding has no clock time: $(first_finding "$work/record.html")"
python3 - "$work/record.html" "$work/record.svg" <<'PY' || fail "the record folder's report"
import re, sys
page, svg = open(sys.argv[1]).read(), open(sys.argv[2]).read()
findings = re.search(r'<ol class="findings">(.*?)</ol>\n', page, re.S).group(1)
items = re.findall(r'^<li[^>]*>.*$', findings, re.M)
serious = [i for i in items if 'class="serious"' in i]
told = [i for i in items if 'restart' in i]
if not told:
    sys.exit('the restart is not told: ' + '\n'.join(items))
for i in serious:
    if re.search(r'restart|MainError|ended', i):
        sys.exit('the restart is among the serious findings: ' + i)
stamp = r'(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})'
night = ('2026-12-07 23:30:01', '2026-12-08 07:14:59')
bars = re.findall(r'<g class="state"><title>([^<]*)</title>', svg)
if not bars:
    sys.exit('no bars in the picture')
for title in bars:
    span = re.search(stamp + r'\.\d{3} to ' + stamp, title)
    if not span:
        sys.exit('a bar without its clock times: ' + title)
    if span.group(1) <= night[0] and span.group(2) >= night[1]:
        sys.exit('a bar spans the night: ' + title)
unknown = [re.search(stamp + r'\.\d{3} to ' + stamp, t) for t in
           re.findall(r'<g class="unknown"><title>([^<]*)</title>', svg)]
if not any(u and u.group(1) <= night[0] and u.group(2) >= night[1] for u in unknown):
    sys.exit('the night is not drawn as unknown')
PY

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
echo "report: the Wine capture's, the week's ($((size / 1024)) KiB) and the two-day record folder's reports read in Chromium with scripts on and off; the restart not serious, no bar across the night; both broken pages caught"
