#!/usr/bin/env bash
# Sets everything up and runs every test: installs the Debian packages, configures and builds the
# tree in build/, then runs ctest (one Wine machine, one wineserver for the whole run).
# Arguments go to ctest, e.g. scripts/test.sh -R WString. Without arguments the label "sweep" (every kill
# point of every lifecycle command, about five minutes) is left out: scripts/test.sh -L sweep runs it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
build=${TOVRAND_BUILD_DIR:-$root/build}
cd "$build"
status=0
[ $# -gt 0 ] || set -- -LE sweep
ctest --output-on-failure --timeout 600 "$@" || status=$?
"$root/scripts/wine-prefix.sh" "$build/wine" stop
exit $status
