#!/usr/bin/env bash
# The release as someone who received it checks it:
#  - rebuilt from a copy of the same sources in another folder, later, the shipped programs, the
#    package and SHA256SUMS are the bytes of the Windows build under test;
#  - with a throw-away test CA and code-signing certificate (openssl), the same rebuild signs the
#    exe before packaging and the package after; osslsigncode verifies both against that CA and
#    rejects a flipped byte; the package holds the signed exe; removing the exe's signature gives
#    back the unsigned exe; a PEM certificate and key sign the same bytes as the PKCS#12 file.
# Only the shipped programs and the package are built, not the tests.
# Usage: release.sh WINDOWS-BUILD-DIR SOURCE-DIR WORK-DIR
set -euo pipefail
windir=$1
src=$2
work=$3

fail() {
    echo "FAIL: $*"
    exit 1
}

# Flips the lowest bit of the byte at OFFSET of FILE.
flip() {
    local byte
    byte=$(od -An -tu1 -j"$2" -N1 "$1" | tr -d ' ')
    printf "\\$(printf %03o $((byte ^ 1)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

verify() {
    osslsigncode verify -CAfile "$ca/ca.pem" -in "$1" >"$work/verify.log" 2>&1
}

rm -rf "$work"
mkdir -p "$work/source"
# The committed time when the sources are a git checkout, as the build under test took it; a
# copy of the files carries no history.
if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
    if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
        SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct)
        export SOURCE_DATE_EPOCH
    fi
    (cd "$src" && git ls-files -z -co --exclude-standard) |
        tar -C "$src" --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -C "$work/source" -xf -
else
    tar -C "$src" --exclude=./build -cf - . | tar -C "$work/source" -xf -
fi

build=$work/build
configure() {
    cmake -S "$work/source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$work/source/cmake/mingw-w64-x86_64.cmake" "$@" >>"$work/build.log" 2>&1 ||
        fail "configure: $(tail "$work/build.log")"
}
build_package() {
    nice -n 10 cmake --build "$build" --target kq5_package >>"$work/build.log" 2>&1 ||
        fail "build: $(tail "$work/build.log")"
}
configure
build_package

# Everything SHA256SUMS lists, and SHA256SUMS itself, byte for byte.
mapfile -t shipped < <(awk '{ print $2 }' "$windir/SHA256SUMS")
[ "${#shipped[@]}" -ge 2 ] || fail "SHA256SUMS lists ${#shipped[@]} files"
for file in "${shipped[@]}" SHA256SUMS; do
    cmp "$windir/$file" "$build/$file" || fail "$file differs between $windir and $build"
done
echo "rebuilt in another folder: the same ${shipped[*]} and SHA256SUMS"
sed 's/^/  /' "$build/SHA256SUMS"

# A test CA and a code-signing certificate of its own, valid for two days.
ca=$work/ca
mkdir -p "$ca"
(
    cd "$ca"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
        -subj "/CN=kq5 test CA" -addext basicConstraints=critical,CA:TRUE \
        -addext keyUsage=critical,keyCertSign,cRLSign
    openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=kq5 test signer"
    printf '%s\n' basicConstraints=CA:FALSE keyUsage=critical,digitalSignature \
        extendedKeyUsage=codeSigning >signer.ext
    openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -set_serial 2 -days 2 \
        -extfile signer.ext -out signer.pem
    openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -out signer.p12 \
        -passout pass:kq5-test
    cat signer.pem ca.pem >chain.pem
) >"$work/ca.log" 2>&1 || fail "openssl: $(tail "$work/ca.log")"

configure -DKQ5_SIGN_PKCS12="$ca/signer.p12"
KQ5_SIGN_PASSWORD=kq5-test build_package
exe=$build/kq5svc.exe
msi=$build/${shipped[-1]}
for file in "$exe" "$build/kq5-conformance.exe" "$msi"; do
    verify "$file" || fail "$(basename "$file") does not verify: $(tail -5 "$work/verify.log")"
done
(cd "$build" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the signed files"
echo "signed: kq5svc.exe, kq5-conformance.exe (beside the package) and the package verify against the test CA; SHA256SUMS lists the signed files"

mkdir -p "$work/extracted"
msiextract -C "$work/extracted" "$msi" >/dev/null
cmp "$work/extracted/kq5/kq5svc.exe" "$exe" ||
    fail "the signed package does not hold the signed kq5svc.exe"
echo "the package holds the signed kq5svc.exe"

cp "$exe" "$work/flipped.exe"
flip "$work/flipped.exe" $(($(stat -c %s "$exe") / 2))
! verify "$work/flipped.exe" || fail "kq5svc.exe with a flipped byte verifies"
grep -q MISMATCH "$work/verify.log" || fail "no digest mismatch reported: $(tail -5 "$work/verify.log")"
cp "$msi" "$work/flipped.msi"
offset=$(grep -obUaF "Korvane-Q5 print queue keeper" "$msi" | head -1 | cut -d: -f1)
[ -n "$offset" ] || fail "the service's display name is not in the package"
flip "$work/flipped.msi" "$offset"
! verify "$work/flipped.msi" || fail "the package with a flipped byte verifies"
echo "a flipped byte fails verification, in kq5svc.exe and in the package"

osslsigncode remove-signature -in "$exe" -out "$work/unsigned.exe" >/dev/null
cmp "$work/unsigned.exe" "$windir/kq5svc.exe" ||
    fail "kq5svc.exe without its signature is not the unsigned build's"
echo "kq5svc.exe without its signature is the unsigned, reproducible kq5svc.exe"

cp "$windir/kq5svc.exe" "$work/pem.exe"
SOURCE_DATE_EPOCH=$(sed -n 's/^-- kq5: SOURCE_DATE_EPOCH //p' "$work/build.log" | tail -1) \
    KQ5_SIGN_CERT=$ca/chain.pem KQ5_SIGN_KEY=$ca/signer.key \
    bash "$work/source/cmake/kq5-sign.sh" "$work/pem.exe"
cmp "$work/pem.exe" "$exe" || fail "signed with the PEM certificate and key, kq5svc.exe differs"
echo "a PEM certificate and key sign the same bytes as the PKCS#12 file"
rm -rf "$work"
