#!/usr/bin/env bash
# Sets everything up, then runs the installer on a demo product in the build tree's own Wine machine
# and shows the exit code, the log and the machine state it left.
# Usage: scripts/demo.sh [installer arguments]     (default: /Q DEMOPRODUCT)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
build=${TOVRAND_BUILD_DIR:-$root/build}
prefix=$build/wine
"$root/scripts/wine-prefix.sh" "$prefix" start
trap '"$root/scripts/wine-prefix.sh" "$prefix" stop' EXIT
args=${*:-/Q DEMOPRODUCT}
export WINEPREFIX=$prefix WINEDEBUG=-all
# showrun.exe runs the installer the way a product's setup does, then prints the full 32-bit exit
# code, the run's log and every piece of machine state the installer keeps.
wine "$build/bin/showrun.exe" $args
