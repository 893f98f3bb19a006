#!/usr/bin/env bash
# The signing of releases, with throwaway material in build/signing/:
#   signatures.sh material              makes an RSA CA, a code-signing certificate that it
#                                       issued (with a CRL distribution point, as public ones
#                                       have) in a PKCS#12 file with its password in a file and
#                                       its key in a SoftHSM2 token too, a second such
#                                       certificate, and a time-stamping one; all of it mode 600;
#                                       and pkcs12.env and token.env: the variables that sign
#                                       from the PKCS#12 file or from the token, without a time
#                                       stamp, one a line, for `env`
#   signatures.sh check [<unsigned dir>]
#                                       checks the signed release in dist/ and the release made
#                                       without a certificate in <unsigned dir>, by default the
#                                       next version's in build/release-<version>/dist
set -euo pipefail
cd "$(dirname "$0")/../.."
source tests/test-lib.sh
source packaging/osslsigncode-offline.sh
material=$root/build/signing

# issue <name> <subject> <extensions>: a key and a certificate that the CA issued.
issue() {
    openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "$2" 2>/dev/null
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n%b\n' "$3" >"$1.ext"
    openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
        -extfile "$1.ext" -out "$1.pem" 2>/dev/null
}

material() {
    rm -rf "$material"
    mkdir -p "$material"
    cd "$material"
    umask 077 # secrets that group or others may read are refused
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 \
        -subj "/CN=Pelmorane throwaway CA" -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
    local code_signing="extendedKeyUsage=codeSigning\ncrlDistributionPoints=URI:http://crl.invalid/ca.crl"
    issue signer "/O=The Pelmorane developers/CN=Pelmorane throwaway signer" "$code_signing"
    issue other "/CN=Another signer" "$code_signing"
    issue tsa "/CN=Pelmorane throwaway time-stamp authority" "extendedKeyUsage=critical,timeStamping"
    cat tsa.pem ca.pem >tsa-chain.pem
    openssl rand -hex 16 >password
    # With its chain, as a certificate bought from a CA comes.
    openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -out signer.p12 \
        -passout file:password
    cat signer.pem ca.pem >signer-chain.pem
    # The same key in a token, as a publisher's key lives in hardware. (softhsm2-util takes PINs
    # only on its command line: this throwaway token's are seen by this machine alone.)
    mkdir tokens
    printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$material/tokens" >softhsm2.conf
    openssl rand -hex 8 >pin
    export SOFTHSM2_CONF=$material/softhsm2.conf
    softhsm2-util --init-token --free --label pelmorane --pin "$(cat pin)" \
        --so-pin "$(openssl rand -hex 8)" >/dev/null
    softhsm2-util --import signer.key --token pelmorane --label signer --id 01 \
        --pin "$(cat pin)" >/dev/null
    # What signs from either, one variable a line, for `env`. No time stamp, on purpose: a release
    # signed with one is not reproducible.
    local anchor=("PELMORANE_SIGN_CA=$material/ca.pem" PELMORANE_SIGN_NO_TIMESTAMP=1)
    printf '%s\n' "PELMORANE_SIGN_PKCS12=$material/signer.p12" \
        "PELMORANE_SIGN_PASSWORD_FILE=$material/password" "${anchor[@]}" >pkcs12.env
    printf '%s\n' "SOFTHSM2_CONF=$SOFTHSM2_CONF" PELMORANE_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so \
        "PELMORANE_SIGN_PKCS11_KEY=pkcs11:token=pelmorane;object=signer;type=private" \
        "PELMORANE_SIGN_CERT=$material/signer-chain.pem" "PELMORANE_SIGN_PIN_FILE=$material/pin" \
        "${anchor[@]}" >token.env
    echo "signing material: $material, signer $(openssl x509 -noout -subject -in signer.pem)"
}

leaf_hash() {
    openssl x509 -in "$material/$1.pem" -outform DER | sha256sum | cut -d' ' -f1
}

# verify <file> <certificate name>: osslsigncode's verification, pinned to that certificate, with no
# revocation list fetched (where osslsigncode would fetch one).
verify() {
    osslsigncode verify -in "$1" -CAfile "$material/ca.pem" "${offline[@]}" \
        -require-leaf-hash "SHA256:$(leaf_hash "$2")" 2>&1
}

verifies() {
    verify "$@" >/dev/null
}

refused() {
    ! verify "$@" >/dev/null
}

# A digest mismatch, once the byte at <offset> of a copy of <file> is changed.
mismatch_at() {
    local copy=$work/tampered
    cp "$1" "$copy"
    printf '\xa5' | dd of="$copy" bs=1 seek="$2" conv=notrunc 2>/dev/null
    ! output=$(verify "$copy" signer) && grep -q MISMATCH <<<"$output"
}

has_no_signature() {
    case $1 in
    *.exe) grep -qE '^Entry 4 0+ 0+ Security Directory$' <("$objdump" -p "$1") ;;
    *.msi) ! msiinfo streams "$1" | grep -q DigitalSignature ;;
    esac
}

# check_release <unsigned dir>: the signed release in dist/, what signing refuses, and the release
# made without a certificate in <unsigned dir>. Signs as the release was signed (pkcs12.env).
check_release() {
    local unsigned=$1 signed_exes file offset sizes="" signed pkcs12 later
    later=$(packaging/version.sh --next)
    needs "$material/pkcs12.env" "tests/release/signatures.sh material"
    needs "$root/dist/SHA256SUMS" "env \$(cat build/signing/pkcs12.env) scripts/release.sh"
    needs "$unsigned/SHA256SUMS" "scripts/release.sh --version $later --companion build/win32/tools/kiv.exe"
    mapfile -t pkcs12 <"$material/pkcs12.env"
    export "${pkcs12[@]}"
    work=$material/checks
    rm -rf "$work"
    mkdir -p "$work/signed" "$work/unsigned"
    (cd "$work/signed" && cmake -E tar xf "$root"/dist/pelmorane-*-windows.zip)
    (cd "$work/unsigned" && cmake -E tar xf "$unsigned"/pelmorane-*-windows.zip)
    signed_exes=("$work/signed/win32/pelmorane.exe" "$work/signed/x64/pelmorane.exe")
    ! has_no_signature "${signed_exes[0]}" ||
        fail "dist/ holds an unsigned release: env \$(cat build/signing/pkcs12.env) scripts/release.sh makes a signed one"
    for file in "${signed_exes[@]}" "$root"/dist/*.msi; do
        check "${file#"$root"/}: its signature verifies against the CA, pinned to the signer" \
            verifies "$file" signer
        check "another certificate's pin is refused" refused "$file" other
    done
    offset=$(("0x$("$objdump" -h "${signed_exes[0]}" | awk '$2 == ".text" { print $6 }')" + 64))
    check "a byte changed in the 32-bit executable's code: digest mismatch" \
        mismatch_at "${signed_exes[0]}" $offset
    file=$(echo "$root"/dist/*-x86.msi)
    offset=$(($(grep -obUaP 'MSCF\0' "$file" | head -n 1 | cut -d: -f1) + 64))
    check "a byte changed in the x86 package's cabinet: digest mismatch" mismatch_at "$file" $offset
    for file in "$work"/unsigned/*/pelmorane.exe "$unsigned"/*.msi; do
        check "made without a certificate, ${file#"$root"/} holds no signature" has_no_signature "$file"
    done
    echo "the signed 32-bit executable:"
    exe_format "${signed_exes[0]}" win32

    signed=("${signed_exes[@]}" "$root"/dist/*.msi)
    if [[ $(osslsigncode sign --help 2>&1) == *-TSA-certs* ]]; then
        cp "$root/dist/pelmorane.exe" "$work/stamped.exe"
        signed+=("$work/stamped.exe")
        check "time-stamped by osslsigncode's own authority, offline" env \
            PELMORANE_SIGN_TSA_CERTS="$material/tsa-chain.pem" PELMORANE_SIGN_TSA_KEY="$material/tsa.key" \
            packaging/sign.sh "$(date +%s)" "$work/stamped.exe"
    else
        echo "not checked: a time stamp offline; this osslsigncode has no built-in time-stamp authority"
    fi
    for file in "${signed[@]}"; do
        sizes+="${sizes:+, }$(basename "$(dirname "$file")")/${file##*/} $(stat -c %s "$file") bytes"
    done
    echo "signed: $sizes; the 32-bit executable as built: $(stat -c %s "$root/dist/pelmorane.exe") bytes"

    # What the signing refuses, saying why.
    cp "$root/dist/pelmorane.exe" "$work/refused.exe"
    check "no time-stamp authority and no waiver: refused" refused_with \
        "no time-stamp authority.*PELMORANE_SIGN_NO_TIMESTAMP=1" env -u PELMORANE_SIGN_NO_TIMESTAMP
    local token
    mapfile -t token <"$material/token.env"
    token=(-u PELMORANE_SIGN_PKCS12 "${token[@]}")
    local stamper=(PELMORANE_SIGN_TSA_CERTS="$material/tsa-chain.pem")
    for secret in PKCS12:signer.p12 PASSWORD_FILE:password PIN_FILE:pin TSA_KEY:tsa.key; do
        cp "$material/${secret#*:}" "$work/loose"
        chmod 640 "$work/loose"
        local kind=() variable=PELMORANE_SIGN_${secret%:*}
        [ "$variable" != PELMORANE_SIGN_PIN_FILE ] || kind=("${token[@]}")
        [ "$variable" != PELMORANE_SIGN_TSA_KEY ] || kind=("${stamper[@]}")
        check "$variable that group may read: refused, naming it with its mode" refused_with \
            "$variable: $work/loose has mode 640" env "${kind[@]}" "$variable=$work/loose"
    done
}

# refused_with <message pattern> <env arguments...>: signing with that environment fails, and says so.
refused_with() {
    local pattern=$1 output
    shift
    ! output=$("$@" packaging/sign.sh 0 "$work/refused.exe" 2>&1) && grep -qE -- "$pattern" <<<"$output" ||
        { echo "  it said: $output" >&2 && return 1; }
}

case ${1:-} in
material) material ;;
check) check_release "$(realpath -m "${2:-build/release-$(packaging/version.sh --next)/dist}")" ;;
*) fail "usage: tests/release/signatures.sh material | check [<unsigned release dir>]" ;;
esac
