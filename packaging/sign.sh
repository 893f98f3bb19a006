#!/usr/bin/env bash
# Signs files in place with an Authenticode signature (osslsigncode, SHA-256), and verifies
# every signature it made: against the signer's own trust anchor, pinned to the signing
# certificate, with no revocation list fetched. Fails, saying why, when one does not verify.
#
#   packaging/sign.sh <signing time, Unix seconds> FILE...
#   packaging/sign.sh --signer    prints the signing certificate's subject
#
# What it signs with, named by variables: the key in a PKCS#12 file, or in a PKCS#11 token (a
# smart card, an HSM, a cloud HSM's module), where the key of every public code-signing
# certificate has to live. A password or PIN is only ever in a file, never on a command line, in a
# URI or in another program's environment; a secret file that group or others may read is refused.
#   PELMORANE_SIGN_PKCS12         the certificate and its key
#   PELMORANE_SIGN_PASSWORD_FILE  the file that holds the PKCS#12 file's password
# or
#   PELMORANE_SIGN_PKCS11_MODULE  the token's PKCS#11 module
#   PELMORANE_SIGN_PKCS11_KEY     the key's pkcs11: URI (RFC 7512), without a PIN
#   PELMORANE_SIGN_CERT           the signing certificate in PEM, with its chain
#   PELMORANE_SIGN_PIN_FILE       the file that holds the token's PIN
# and for both
#   PELMORANE_SIGN_CA             the signer's root or issuing CA, in PEM: the trust anchor
#   PELMORANE_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp authority, or
#   PELMORANE_SIGN_TSA_CERTS and PELMORANE_SIGN_TSA_KEY
#                                 osslsigncode's built-in time-stamp authority, with that
#                                 certificate chain and key (offline), or
#   PELMORANE_SIGN_NO_TIMESTAMP=1 no time stamp, on purpose: the signing time is the one given,
#                                 and the signature stops being valid when the certificate
#                                 expires. Without one of the three, nothing is signed.
# Prints, for each file, the size of its signature.
set -euo pipefail

die() {
    echo "sign: $*" >&2
    exit 1
}

# readable <variable>: it names a file that can be read.
readable() {
    [ -r "${!1:-}" ] || die "$1 names no readable file: '${!1:-}'"
}

# secret <variable>: it names a readable file that neither group nor others may read.
secret() {
    local mode
    readable "$1"
    mode=$(stat -L -c %a "${!1}")
    ((8#$mode & 8#044)) && die "$1: ${!1} has mode $mode, so group or others may read it; chmod 600 it"
    return 0
}

[ $# -ge 2 ] || [ "${1:-}" = --signer ] ||
    die "usage: packaging/sign.sh <signing time> FILE... | packaging/sign.sh --signer"
readable PELMORANE_SIGN_CA

# The key, and the signing certificate: named, and pinned in every verification.
if [ -n "${PELMORANE_SIGN_PKCS11_KEY:-}" ]; then
    readable PELMORANE_SIGN_PKCS11_MODULE
    readable PELMORANE_SIGN_CERT
    secret PELMORANE_SIGN_PIN_FILE
    certificate=$(openssl x509 -in "$PELMORANE_SIGN_CERT") ||
        die "PELMORANE_SIGN_CERT: no certificate in $PELMORANE_SIGN_CERT"
    # osslsigncode reads the PIN from the file, and finds OpenSSL's PKCS#11 engine by itself (naming
    # the engine's file, as -pkcs11engine does, fails with Debian 12's own osslsigncode 2.5).
    key=(-pkcs11module "$PELMORANE_SIGN_PKCS11_MODULE" -key "$PELMORANE_SIGN_PKCS11_KEY"
        -certs "$PELMORANE_SIGN_CERT" -readpass "$PELMORANE_SIGN_PIN_FILE")
else
    secret PELMORANE_SIGN_PKCS12
    secret PELMORANE_SIGN_PASSWORD_FILE
    certificate=$(openssl pkcs12 -in "$PELMORANE_SIGN_PKCS12" -passin "file:$PELMORANE_SIGN_PASSWORD_FILE" \
        -nokeys -clcerts 2>/dev/null | openssl x509) ||
        die "cannot read the certificate of $PELMORANE_SIGN_PKCS12 with that password"
    key=(-pkcs12 "$PELMORANE_SIGN_PKCS12" -readpass "$PELMORANE_SIGN_PASSWORD_FILE")
fi
if [ "$1" = --signer ]; then
    openssl x509 -noout -subject -nameopt RFC2253 <<<"$certificate" | sed 's/^subject=//'
    exit 0
fi
leaf=$(openssl x509 -outform DER <<<"$certificate" | sha256sum | cut -d' ' -f1)
time=$1
shift

sign=("${key[@]}" -h sha256)
source "$(dirname "$0")/osslsigncode-offline.sh"
verify=(-CAfile "$PELMORANE_SIGN_CA" -require-leaf-hash "SHA256:$leaf" "${offline[@]}")
# A time stamp is the time of signing, now; osslsigncode's verification passes a time stamp that
# fails to verify (it then judges the signature by the current time), so that is checked here.
stamped=yes
if [ -n "${PELMORANE_SIGN_TIMESTAMP_URL:-}" ]; then
    sign+=(-ts "$PELMORANE_SIGN_TIMESTAMP_URL")
elif [ -n "${PELMORANE_SIGN_TSA_CERTS:-}" ]; then
    readable PELMORANE_SIGN_TSA_CERTS
    secret PELMORANE_SIGN_TSA_KEY
    sign+=(-TSA-certs "$PELMORANE_SIGN_TSA_CERTS" -TSA-key "$PELMORANE_SIGN_TSA_KEY"
        -TSA-time "$(date +%s)")
    verify+=(-TSA-CAfile "$PELMORANE_SIGN_TSA_CERTS")
elif [ "${PELMORANE_SIGN_NO_TIMESTAMP:-}" = 1 ]; then
    sign+=(-time "$time")
    stamped=""
else
    die "no time-stamp authority: without a time stamp, Windows refuses the signature once the" \
        "certificate has expired. Give PELMORANE_SIGN_TIMESTAMP_URL (or PELMORANE_SIGN_TSA_CERTS" \
        "and PELMORANE_SIGN_TSA_KEY), or sign without one on purpose with PELMORANE_SIGN_NO_TIMESTAMP=1"
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
