#!/usr/bin/env bash
# Signs Windows programs in place (Authenticode, SHA-256) with osslsigncode:
# the certificate and its key from QRX_SIGN_PFX (a PKCS#12 file), whose
# password QRX_SIGN_PASSWORD reaches osslsigncode through a pipe, never on a
# command line. With QRX_SIGN_TIMESTAMP_URL, an RFC 3161 timestamp server
# countersigns, so the signature stays valid after the certificate expires.
# Called by package-win.sh for the programs and the setup, and by makensis
# for the uninstaller before it is packed.
#   sign-win.sh FILE...
source "$(dirname "$0")/strict.sh"
timestamp=()
[ -z "${QRX_SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$QRX_SIGN_TIMESTAMP_URL")
for file in "$@"; do
    rm -f "$file.signed"
    osslsigncode sign -pkcs12 "$QRX_SIGN_PFX" -readpass <(printf '%s' "$QRX_SIGN_PASSWORD") \
        -h sha256 -n "QRX Scan Server" "${timestamp[@]}" -in "$file" -out "$file.signed" >/dev/null
    mv -f "$file.signed" "$file"
done
