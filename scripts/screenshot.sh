#!/usr/bin/env bash
# scripts/screenshot.sh [PRODUCT]: a real picture of the installer's progress dialog while it copies,
# written to docs/progress-dialog.png. Runs the installer without "Q" on a product (default SHOTPRODUCT)
# in a Wine machine of its own (build/wine-shot, made afresh, with Wine's X11 graphics driver instead of
# the test machine's "null") on a private Xvfb display.
# The seven copies take a few milliseconds, so the installer's process is run as a very slow machine
# would run it: stopped and let on for 2 ms at a time (SIGSTOP/SIGCONT), until its log shows the driver
# catalogue installed. It stays stopped for the picture, which shows the path field and a part-filled
# bar as they last reached the screen (Wine puts a window's drawing on the X display a moment after it
# is made, so the field may still show the file before). Should that moment be missed, the picture is
# taken at the end instead, while the closing message box holds the run: full bar, last copied file.
# winshot.exe gives the dialog's rectangle and later moves and answers the box; ImageMagick's import
# takes the screen and crops it to the dialog. Everything started here ends with the script.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
product=${1:-SHOTPRODUCT}
# The display and the picture tools are not part of the normal set-up: named here, installed when missing.
"$root/scripts/setup.sh" xvfb imagemagick

build=${TOVRAND_BUILD_DIR:-$root/build}
cmake --no-warn-unused-cli -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build" -j2 --target tovrand winshot >/dev/null
bin=$build/bin
out=$root/docs/progress-dialog.png
mkdir -p "$root/docs"

xvfb_pid=
installer_pid=
prefix=$build/wine-shot
cleanup() {
  if [ -n "$installer_pid" ] && kill -0 "$installer_pid" 2>/dev/null; then
    WINEPREFIX=$prefix wine "$bin/winshot.exe" answer >/dev/null 2>&1 || true
  fi
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
  rm -f "${displayfile:-}"
}
trap cleanup EXIT

# Xvfb picks a free display number itself and writes it to the descriptor given.
displayfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$displayfile" </dev/null >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$displayfile" ] && break; sleep 0.1; done
[ -s "$displayfile" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(head -n1 "$displayfile")

# A machine of its own: the test machine's "null" driver draws nothing. Without a window manager the
# X11 driver must draw the caption bars itself, hence "Managed" = N.
export WINEPREFIX=$prefix WINEDEBUG=-all
wineserver -k >/dev/null 2>&1 || true
rm -rf "$prefix"
wineboot -i </dev/null >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1

# The installer is started stopped-and-throttled from its first instruction on: its whole copy chain
# would otherwise fit in one time slice. The helper prints its pid and whether the moment was caught,
# and leaves it stopped when it was.
read -r installer_pid caught < <(python3 - "$prefix" "$bin/TOVRAND64x86.EXE" "$product" <<'PY'
import glob, os, signal, subprocess, sys, time
prefix, exe, product = sys.argv[1:4]
null = subprocess.DEVNULL
pid = subprocess.Popen(["wine", exe, product], stdin=null, stdout=null, stderr=null).pid
os.kill(pid, signal.SIGSTOP)
caught = 0
deadline = time.time() + 120
try:
    while not caught and time.time() < deadline:
        os.kill(pid, signal.SIGCONT)
        time.sleep(0.002)
        os.kill(pid, signal.SIGSTOP)
        for log in glob.glob(prefix + "/drive_c/users/*/[Tt]emp/PELLIMAR.LOG"):
            for line in open(log, "rb").read().split(b"\r\n"):
                if b"File installed successfully: " in line and line.endswith(b"\\PELLIMAR64x86.CAT"):
                    caught = 1
        if not caught:
            time.sleep(0.02)
    if not caught:
        os.kill(pid, signal.SIGCONT)
except ProcessLookupError:
    pass
print(pid, caught, flush=True)
PY
)
if [ "$caught" = 1 ]; then
  for _ in $(seq 50); do grep -q '^State:.*T' "/proc/$installer_pid/status" && break; sleep 0.02; done
  geometry=$(wine "$bin/winshot.exe" rect 10000 </dev/null 2>/dev/null | tr -d '\r')
  [ -n "$geometry" ] && import -display "$DISPLAY" -window root -crop "$geometry" +repage "$out"
  kill -CONT "$installer_pid"
  [ -n "$geometry" ] || caught=0
fi
geometry_end=$(wine "$bin/winshot.exe" wait 120000 </dev/null 2>/dev/null | tr -d '\r')
[ -n "$geometry_end" ] || { echo "the dialog and its closing box did not appear" >&2; exit 1; }
if [ "$caught" = 0 ]; then
  geometry=$geometry_end
  import -display "$DISPLAY" -window root -crop "$geometry" +repage "$out"
fi
wine "$bin/winshot.exe" answer </dev/null >/dev/null 2>&1
for _ in $(seq 300); do kill -0 "$installer_pid" 2>/dev/null || break; sleep 0.1; done
installer_pid=
echo "$out ($geometry, $([ "$caught" = 1 ] && echo "while copying" || echo "at the closing box"))"
