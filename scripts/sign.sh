#!/usr/bin/env bash
# Signs files in place with an Authenticode signature (osslsigncode, SHA-256), and verifies
# every signature it made: against the signer's own trust anchor, pinned to the signing
# certificate, with no revocation list fetched. Fails, saying why, when one does not verify.
#
#   scripts/sign.sh <signing time, Unix seconds> FILE...
#   scripts/sign.sh --signer      prints the signing certificate's subject
#
# What it signs with, all files (a password is never on a command line or in the environment):
#   PELMORANE_SIGN_PKCS12         the certificate and its key
#   PELMORANE_SIGN_PASSWORD_FILE  the file that holds the PKCS#12 file's password
#   PELMORANE_SIGN_CA             the signer's root or issuing CA, in PEM: the trust anchor
#   PELMORANE_SIGN_TIMESTAMP_URL  optional: an RFC 3161 time-stamp authority; without one,
#                                 the signing time is the one given
#   PELMORANE_SIGN_TSA_CERTS and PELMORANE_SIGN_TSA_KEY
#                                 optional, instead: osslsigncode's built-in time-stamp
#                                 authority, with that certificate chain and key (offline)
# Prints, for each file, the size of its signature.
set -euo pipefail

die() {
    echo "sign: $*" >&2
    exit 1
}

[ $# -ge 2 ] || [ "${1:-}" = --signer ] ||
    die "usage: scripts/sign.sh <signing time> FILE... | scripts/sign.sh --signer"
for variable in PELMORANE_SIGN_PKCS12 PELMORANE_SIGN_PASSWORD_FILE PELMORANE_SIGN_CA; do
    [ -r "${!variable:-}" ] || die "$variable names no readable file: '${!variable:-}'"
done

# The signing certificate: named, and pinned in every verification.
certificate=$(openssl pkcs12 -in "$PELMORANE_SIGN_PKCS12" -passin "file:$PELMORANE_SIGN_PASSWORD_FILE" \
    -nokeys -clcerts 2>/dev/null | openssl x509) ||
    die "cannot read the certificate of $PELMORANE_SIGN_PKCS12 with that password"
if [ "$1" = --signer ]; then
    openssl x509 -noout -subject -nameopt RFC2253 <<<"$certificate" | sed 's/^subject=//'
    exit 0
fi
leaf=$(openssl x509 -outform DER <<<"$certificate" | sha256sum | cut -d' ' -f1)
time=$1
shift

sign=(-pkcs12 "$PELMORANE_SIGN_PKCS12" -readpass "$PELMORANE_SIGN_PASSWORD_FILE" -h sha256)
verify=(-CAfile "$PELMORANE_SIGN_CA" -require-leaf-hash "SHA256:$leaf")
# osslsigncode 2.6 and later fetch revocation lists unless told not to; Debian 12's 2.5 fetches none.
[[ $(osslsigncode verify --help 2>&1) != *-ignore-crl* ]] || verify+=(-ignore-crl)
# A time stamp is the time of signing, now; osslsigncode's verification passes a time stamp that
# fails to verify (it then judges the signature by the current time), so that is checked here.
stamped=yes
if [ -n "${PELMORANE_SIGN_TIMESTAMP_URL:-}" ]; then
    sign+=(-ts "$PELMORANE_SIGN_TIMESTAMP_URL")
elif [ -n "${PELMORANE_SIGN_TSA_CERTS:-}" ]; then
    sign+=(-TSA-certs "$PELMORANE_SIGN_TSA_CERTS" -TSA-key "$PELMORANE_SIGN_TSA_KEY"
        -TSA-time "$(date +%s)")
    verify+=(-TSA-CAfile "$PELMORANE_SIGN_TSA_CERTS")
else
    sign+=(-time "$time")
    stamped=""
fi

for file in "$@"; do
    unsigned=$(stat -c %s "$file")
    output=$(osslsigncode sign "${sign[@]}" -in "$file" -out "$file.signed" 2>&1) ||
        die "$file: signing failed: $output"
    mv "$file.signed" "$file"
    output=$(osslsigncode verify "${verify[@]}" -in "$file" 2>&1) ||
        die "$file: the signature does not verify: $(grep -iE 'error|mismatch|fail' <<<"$output" | head -n 3)"
    [ -z "$stamped" ] || grep -q "Timestamp Server Signature verification: ok" <<<"$output" ||
        die "$file: the time stamp does not verify: $(grep -iE 'error|fail' <<<"$output" | head -n 3)"
    echo "sign: $file: signature of $(($(stat -c %s "$file") - unsigned)) bytes, verified"
done
