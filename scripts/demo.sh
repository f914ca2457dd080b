#!/usr/bin/env bash
# Sets everything up, then runs the installer on a demo product in the build tree's own Wine machine
# and shows the exit code, the log and the machine state it left (as TOVCHECK64.EXE reports it).
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
# code, the run's log and the machine state; of that state only what the check does not cover is kept:
# CachedOpenLimit (the state's field "limit") and the updater registration ("qz").
wine "$build/bin/showrun.exe" $args |
  awk '/^=== Machine state/ { state = 1; print "=== Machine state the check does not cover"; next }
       !state { print; next }
       /^  limit:/ { sub(/^  limit:/, "  CachedOpenLimit:"); print }
       /^  qz:/ { sub(/^  qz:/, "  updater registration (Registered, runs, options):"); print }'
# The read-only check of the same machine: counts, products, service, files and digests, pending
# restart operations, leftovers, and what is inconsistent.
echo "=== TOVCHECK64.EXE"
status=0
wine "$build/bin/TOVCHECK64.EXE" || status=$?
echo "=== TOVCHECK64.EXE exit code: $status"
