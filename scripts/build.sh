#!/usr/bin/env bash
# Installs the Debian packages the build needs, then configures and builds the tree.
# Prints nothing on success; the build directory is $TOVRAND_BUILD_DIR or build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
build=${TOVRAND_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
