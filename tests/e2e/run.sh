#!/usr/bin/env bash
# Runs one end-to-end scenario of a built service under Wine, in a throw-away Wine prefix, and
# checks it from outside: the status that Wine's service control manager reports, how long each
# request took, the sample companion's own record (kiv.log beside it) and the process list.
#
#   run.sh prepare         creates the prefix that every scenario but the artefacts' copies
#   run.sh <file>.<name>   runs the function of that name in <file>.sh beside this runner:
#     artefacts   the executables, the package read without running it, the choice of build
#     service     the service under Wine
#     guide       the operator's guide followed as written
#     packages    the packages under Wine's msiexec
#     upgrades    upgrades from 1.2.0's packages, and from a folder of the operator's choice
#     soak        the same for long, and races; only with PELMORANE_SOAK=1
# A scenario that exits with 77 is skipped, and says why.
#
# CTest finds the scenarios in those files, labels each by its file, and sets E2E_DIR, BUILD
# (win32 or win64: the build under test) and PROJECT_VERSION. E2E_LOADER, where set, stands in for
# both of Wine's loaders (silent-loader.sh).
set -Eeuo pipefail
# A command whose failure ends the scenario says so, where it would otherwise end it without a word:
# in the scenario's own shell; a subshell's failure is for its caller to judge.
ended_by() { ((BASH_SUBSHELL)) || echo "FAIL: $2: $BASH_COMMAND: ended with $1" >&2; }
trap 'ended_by $? "${BASH_SOURCE[0]##*/}:$LINENO"' ERR

name=$1
here=$(dirname "$0")
source "$here/lib-scenario.sh"
[ -z "${E2E_LOADER:-}" ] || wine32_loader=$E2E_LOADER wine64_loader=$E2E_LOADER
case $name in
prepare)
    use_build "$BUILD"
    announce "prepares a prefix for" "it is a test of the $BUILD preset"
    prepare_template
    ;;
artefacts.* | service.* | guide.* | packages.* | upgrades.* | soak.*)
    source "$here/${name%%.*}.sh"
    if [[ $name != artefacts.* ]]; then
        use_build "$BUILD"
        announce "runs" "it is a test of the $BUILD preset"
    fi
    "$name"
    ;;
*) fail "no scenario $name" ;;
esac
