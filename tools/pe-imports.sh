#!/usr/bin/env bash
# Prints the DLLs that a Windows executable of either build imports, one a line, sorted without
# case: what the executable checks, the benchmark and the bill of materials read.
#   pe-imports.sh <exe>
set -euo pipefail
x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p' | sort -fu
