# What osslsigncode's verification is told so that it fetches nothing, for packaging/sign.sh and
# the signature checks: 2.6 and later fetch revocation lists unless told not to; Debian 12's 2.5
# fetches none and has no such option. Source it: it sets the array `offline`.
offline=()
[[ $(osslsigncode verify --help 2>&1) != *-ignore-crl* ]] || offline=(-ignore-crl)
