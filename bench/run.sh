#!/usr/bin/env bash
# bench/run.sh [RUNS]: builds what the benchmark needs, starts the build tree's Wine machine and prints
# the installer's figures: medians of RUNS runs (default 7) of each case, each against the floor (an
# empty GUI program started the same way) measured in the same invocation; the pending-rename scan at
# two sizes; the peak working set of an install; the exe's size with and without its payload; the sizes
# of the release build's signed files against their unsigned form; and its import table. Targets are reported, never enforced: the exit code says only whether the bench ran.
# The bench cleans the Wine machine of build/wine (or $TOVRAND_BUILD_DIR/wine) before each case: do
# not run it while the tests run on the same build tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-7}
"$root/scripts/setup.sh"
build=${TOVRAND_BUILD_DIR:-$root/build}
cmake --no-warn-unused-cli -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build" -j2 --target tovrand tovrand_nopayload tovrand_release tovcheck tovcheck_release bench_floor bench_floor_console bench_driver bench_renames >/dev/null
bin=$build/bin
prefix=$build/wine
"$root/scripts/wine-prefix.sh" "$prefix" start
work=$(mktemp -d)
trap '"$root/scripts/wine-prefix.sh" "$prefix" stop; rm -rf "$work"' EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all

exe=$bin/TOVRAND64x86.EXE
bare=$bin/nopayload/TOVRAND64x86.EXE
objdump=x86_64-w64-mingw32-objdump
text_size() { printf '%d' "0x$("$objdump" -h "$1" | awk '$2 == ".text" { print $3 }')"; }
kib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1024 }'; }

echo "Tovrand benchmark: $(date -u '+%Y-%m-%d %H:%M UTC'), $(wine --version 2>/dev/null), $runs runs per case"
echo "Times are taken on the Windows side from CreateProcess to the end of the wait; x floor = median / floor median."
echo
wine "$bin/bench_driver.exe" "$runs" </dev/null
echo
wine "$bin/bench_renames.exe" "$runs" </dev/null
echo
full=$(stat -c %s "$exe")
code=$(stat -c %s "$bare")
full_text=$(text_size "$exe")
code_text=$(text_size "$bare")
printf '  %-44s %9s %9s %9s\n' "TOVRAND64x86.EXE size" "bytes" "KiB" ".text B"
printf '  %-44s %9d %9s %9d\n' "with payload (bin/)" "$full" "$(kib "$full")" "$full_text"
verdict=$([ "$code" -le 102400 ] && echo met || echo MISSED)
printf '  %-44s %9d %9s %9d  target <= 100 KiB: %s\n' "without payload (bin/nopayload/)" "$code" "$(kib "$code")" \
  "$code_text" "$verdict"
printf '  %-44s %9d %9s\n' "payload resources (difference)" "$((full - code))" "$(kib $((full - code)))"
check=$(stat -c %s "$bin/TOVCHECK64.EXE")
printf '  %-44s %9d %9s %9d\n' "TOVCHECK64.EXE (the state check)" "$check" "$(kib "$check")" "$(text_size "$bin/TOVCHECK64.EXE")"
echo
# A PE file's unsigned size is that of the file with its signature removed again; the catalogue's, that of
# the unsigned catalogue the build makes before signing it.
printf '  %-44s %9s %9s %9s\n' "signed release files (Authenticode, SHA-256)" "unsigned" "signed" "added"
signed_row() {   # label, signed file, unsigned file (default: the signed one without its signature)
  local unsigned=${3:-$work/$(basename "$2")}
  [ -n "${3:-}" ] || osslsigncode remove-signature -in "$2" -out "$unsigned" >/dev/null
  local before after
  before=$(stat -c %s "$unsigned")
  after=$(stat -c %s "$2")
  printf '  %-44s %9d %9d %9d\n' "$1" "$before" "$after" "$((after - before))"
}
signed_row "TOVRAND64x86.EXE (bin/release/)" "$bin/release/TOVRAND64x86.EXE"
signed_row "TOVCHECK64.EXE (bin/release/)" "$bin/release/TOVCHECK64.EXE"
signed_row "PELLIMAR64x86.SYS (bin/payload/release/)" "$bin/payload/release/PELLIMAR64x86.SYS"
signed_row "PLQZREG32.EXE, i686 (bin/payload/release/)" "$bin/payload/release/PLQZREG32.EXE"
signed_row "PELLIMAR64x86.CAT (bin/payload/release/)" "$bin/payload/release/PELLIMAR64x86.CAT" \
  "$build/payload-work/release/unsigned.cat"
echo
imports=$("$objdump" -p "$exe" | awk '/DLL Name:/ { print $3 }' | paste -sd' ')
printf '  %-44s %s\n' "import table (DLL names)" "$imports"
delayed=$("$objdump" -p "$exe" | awk '/Delay Import Directory/ { print $4 }')
printf '  %-44s %s\n' "delay-load import directory" "$([ "$delayed" = 00000000 ] && echo none || echo "$delayed bytes (hex)")"
