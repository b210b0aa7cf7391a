#!/usr/bin/env bash
# Signs FILE (an exe or a Windows Installer package) in place with Authenticode (SHA-256), with
# the certificate the build was given (cmake/kq5-package.cmake): KQ5_SIGN_PKCS12, or KQ5_SIGN_CERT
# and KQ5_SIGN_KEY; KQ5_SIGN_PASSWORD for the PKCS#12 file or an encrypted key; with a time stamp
# from KQ5_SIGN_TIMESTAMP_URL, or else SOURCE_DATE_EPOCH as the signing time, which makes the
# signature the same bytes on every build.
# Usage: kq5-sign.sh FILE
set -euo pipefail
file=$1
sign=(sign -h sha256 -n kq5)
if [ -n "${KQ5_SIGN_PKCS12:-}" ]; then
    sign+=(-pkcs12 "$KQ5_SIGN_PKCS12")
else
    sign+=(-certs "$KQ5_SIGN_CERT" -key "$KQ5_SIGN_KEY")
fi
if [ -n "${KQ5_SIGN_TIMESTAMP_URL:-}" ]; then
    sign+=(-ts "$KQ5_SIGN_TIMESTAMP_URL")
else
    sign+=(-time "${SOURCE_DATE_EPOCH:?}")
fi
rm -f "$file.signed"
if [ -n "${KQ5_SIGN_PASSWORD:-}" ]; then
    # From a pipe, so that the password shows in no process's command line.
    "${OSSLSIGNCODE:-osslsigncode}" "${sign[@]}" -readpass <(printf '%s' "$KQ5_SIGN_PASSWORD") \
        -in "$file" -out "$file.signed" >/dev/null
else
    "${OSSLSIGNCODE:-osslsigncode}" "${sign[@]}" -in "$file" -out "$file.signed" >/dev/null
fi
mv "$file.signed" "$file"
