#!/usr/bin/env bash
# The scenarios against a stand-in for Wine's loaders that answers --version and otherwise prints
# nothing and exits 0, 1, 124 or 253: a Windows program that never ran. Every scenario that runs
# a Windows program must then fail; only those that read files alone may pass. It waits on
# nothing, so it takes seconds. CTest sets E2E_DIR, BUILD and PROJECT_VERSION, as for run.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
reads_files_alone="artefacts.exe-format artefacts.build-choice guide.msiexec-lines"
dir=$E2E_DIR/silent-loader
rm -rf "$dir"
mkdir -p "$dir/bin"
printf '#!/bin/sh\n[ "$1" != --version ] || { echo wine-8.0; exit 0; }\nexit $SILENT_EXIT\n' \
    >"$dir/bin/loader"
printf '#!/bin/sh\nexit 0\n' >"$dir/bin/wineserver" # the prefix is no prefix: nothing to serve
chmod +x "$dir/bin/loader" "$dir/bin/wineserver"
export E2E_LOADER=$dir/bin/loader E2E_DIR=$dir PATH=$dir/bin:$PATH PELMORANE_SOAK=1

scenarios=$(sed -n 's/^\(\(artefacts\|service\|guide\|packages\|upgrades\|soak\)\.[a-z0-9.-]*\)() {$/\1/p' \
    "$here"/{artefacts,service,guide,packages,upgrades,soak}.sh)
wrong=() begin=$SECONDS
for code in 0 1 124 253; do
    export SILENT_EXIT=$code
    # The prefix that the scenarios copy: what wineboot would have written, were it run.
    rm -rf "$dir/template"
    if "$here/run.sh" prepare >"$dir/log" 2>&1; then
        wrong+=("prepare passes with a loader that exits $code")
    fi
    echo "exit $code: prepare: $(tail -n 1 "$dir/log")"
    mkdir -p "$dir/template"
    touch "$dir/template"/{system,user,userdef}.reg
    for name in $scenarios; do
        result=0
        "$here/run.sh" "$name" >"$dir/log" 2>&1 || result=$?
        case $result in
        0) [[ " $reads_files_alone " == *" $name "* ]] && said="passes: it reads files alone" ||
            { said="PASSES, though a Windows program never ran" && wrong+=("$name with exit $code"); } ;;
        77) said="skipped: $(tail -n 1 "$dir/log")" ;;
        *) said="fails: $(grep -m1 -vE '^(ok: |run: .* since )' "$dir/log")" ;;
        esac
        echo "exit $code: $name $said"
    done
done
echo "$((SECONDS - begin)) s"
[ ${#wrong[@]} -eq 0 ] || { printf 'wrong: %s\n' "${wrong[@]}" >&2 && exit 1; }
rm -rf "$dir"
echo "every scenario that runs a Windows program fails where none ran"
