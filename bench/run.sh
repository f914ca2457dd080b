#!/usr/bin/env bash
# bench/run.sh [RUNS]: builds what the benchmark needs, starts the build tree's Wine machine and prints
# the installer's figures: each case run RUNS times (default 15), every run beside a run of its floor (an
# empty program of the same subsystem, started the same way), reported as the median of those per-pair
# ratios with their spread; the pending-rename scan at two sizes and the check on the larger, as per-pair
# ratios too; the peak working set of an install; the exe's size with and without its payload; the sizes
# of the release build's signed files against their unsigned form; and its import table.
# bench/run.sh --three [RUNS]: three such invocations in a row, then every ratio of the three side by
# side and whether each lies within +-15 % of the mean of the three.
# Targets are reported, never enforced: the exit code says only whether the bench ran.
# The bench cleans the Wine machine of build/wine (or $TOVRAND_BUILD_DIR/wine) before each case: do
# not run it while the tests run on the same build tree.
set -euo pipefail
trap 'echo "bench/run.sh: line $LINENO failed: $BASH_COMMAND" >&2' ERR
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = --three ]; then
  shift
  out=$(mktemp -d)
  trap 'rm -rf "$out"' EXIT
  for i in 1 2 3; do
    echo "=== invocation $i of 3"
    "$0" "$@" | tee "$out/$i"
    echo
  done
  # A ratio row: its label (columns 3 to 46) and the first figure after it that ends in "x".
  ratios() { awk '{ l = substr($0, 3, 44); sub(/ +$/, "", l); n = split(substr($0, 47), f, " ")
                    for (i = 1; i <= n; ++i) if (f[i] ~ /^[0-9.]+x$/) { print l "\t" f[i] + 0; break } }' "$1"; }
  paste <(ratios "$out/1") <(ratios "$out/2") <(ratios "$out/3") | awk -F'\t' '
    BEGIN { printf "Three invocations: every ratio against the mean of the three, +-15 %% allowed\n" }
    BEGIN { printf "  %-44s %7s %7s %7s %7s %8s\n", "ratio", "1st", "2nd", "3rd", "mean", "max dev" }
    $1 != $3 || $1 != $5 { printf "  ! the invocations printed different rows: %s / %s / %s\n", $1, $3, $5; bad++; next }
    { m = ($2 + $4 + $6) / 3; d = 0
      for (i = 2; i <= 6; i += 2) { e = m > 0 ? 100 * ($i - m) / m : 0; e = e < 0 ? -e : e; d = e > d ? e : d }
      ok = d <= 15; bad += !ok
      f = m < 1 ? "%6.3fx " : "%6.2fx "
      printf "  %-44s " f f f f "%6.1f %%  %s\n", $1, $2, $4, $6, m, d, ok ? "agree" : "DIFFER" }
    END { printf "  %s\n", bad ? bad " ratio(s) outside +-15 % of their mean" : "all " NR " ratios within +-15 % of their mean" }'
  exit 0
fi
runs=${1:-15}
"$root/scripts/setup.sh"
build=${TOVRAND_BUILD_DIR:-$root/build}
cmake --no-warn-unused-cli -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build" -j2 --target tovrand tovrand_nopayload tovrand_release tovcheck tovcheck_release setups \
  bench_floor bench_floor_console bench_driver bench_renames >/dev/null
bin=$build/bin
prefix=$build/wine
# The whole Wine machine (its server, its services, every program the bench starts) runs on one CPU,
# BENCH_CPU (default: the last). Every system call that Wine serves in wineserver is a round trip between
# two processes; on two CPUs it costs much more when the server wakes on the other, idle one, so that the
# floor's runs split into two modes (about 18 and 55 ms here) in a mix that changes from one invocation to
# the next. On one CPU every round trip costs about the same. BENCH_CPU=0-1 shows the difference.
pin=(taskset -c "${BENCH_CPU:-$(($(nproc) - 1))}")
"${pin[@]}" "$root/scripts/wine-prefix.sh" "$prefix" start
work=$(mktemp -d)
trap '"$root/scripts/wine-prefix.sh" "$prefix" stop; rm -rf "$work"' EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all

exe=$bin/TOVRAND64x86.EXE
bare=$bin/nopayload/TOVRAND64x86.EXE
objdump=x86_64-w64-mingw32-objdump
text_size() { printf '%d' "0x$("$objdump" -h "$1" | awk '$2 == ".text" { print $3 }')"; }
kib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1024 }'; }

load() { cut -d' ' -f1-3 /proc/loadavg; }
echo "Tovrand benchmark: $(date -u '+%Y-%m-%d %H:%M UTC'), $(wine --version 2>/dev/null), $runs runs per case," \
  "CPU ${pin[2]} of $(nproc), load average $(load)"
echo "Times are taken on the Windows side from CreateProcess to the end of the wait. x floor: the median of the"
echo "per-pair ratios, each run of a case divided by the floor run beside it (the floor first in even rounds,"
echo "second in odd ones); q1-q3 and min-max: the spread of those ratios; n: the pairs."
echo
"${pin[@]}" wine "$bin/bench_driver.exe" "$runs" </dev/null
echo
"${pin[@]}" wine "$bin/bench_renames.exe" "$runs" </dev/null
echo "  load average after the timed runs: $(load)"
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
# A file's unsigned size is that of the unsigned file the build signed, where it keeps one (the catalogue,
# the custom-action DLL, the demo setups); otherwise that of the file with its signatures removed again.
printf '  %-44s %9s %9s %9s\n' "release files, signed SHA-1 + nested SHA-256" "unsigned" "signed" "added"
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
# The setups' files, when the build makes them: each against the unsigned file it was signed from.
setups=$bin/release/setups
[ ! -f "$setups/TovrandCA.dll" ] ||
  signed_row "TovrandCA.dll (bin/release/setups/)" "$setups/TovrandCA.dll" "$bin/setups/TovrandCA.dll"
for f in TovrandDemo.msi TovrandDemoSetup.exe; do
  [ ! -f "$setups/$f" ] || signed_row "$f (bin/release/setups/)" "$setups/$f" "$build/setups/work/release/$f"
done
echo "  (the catalogue carries the SHA-1 signature alone: osslsigncode cannot nest a second one in a .CAT)"
echo
imports=$("$objdump" -p "$exe" | awk '/DLL Name:/ { print $3 }' | paste -sd' ')
printf '  %-44s %s\n' "import table (DLL names)" "$imports"
delayed=$("$objdump" -p "$exe" | awk '/Delay Import Directory/ { print $4 }')
printf '  %-44s %s\n' "delay-load import directory" "$([ "$delayed" = 00000000 ] && echo none || echo "$delayed bytes (hex)")"
