#!/usr/bin/env bash
# wine-prefix.sh PREFIX create|start|stop
# create: creates the throwaway Windows machine of a build tree when it is missing (graphics driver
#        "null", so windows and message boxes exist without a display), or anew when it was made before
#        Wine's 32-bit half was usable (it then fails every run: "could not load kernel32.dll").
# start:  create, then start one persistent wineserver for the whole test run. Any wineserver
#         restart is a machine restart: it carries out PendingFileRenameOperations.
# stop:   ends that wineserver.
set -euo pipefail
prefix=$1
export WINEPREFIX=$prefix WINEDEBUG=-all
here=$(cd "$(dirname "$0")" && pwd)
# A machine without its 32-bit system is made again only where 32-bit programs can run at all: elsewhere
# every start would make it again, and still without.
lacks_wow64() {
  [ -f "$prefix/system.reg" ] && [ ! -f "$prefix/drive_c/windows/syswow64/kernel32.dll" ] &&
    dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed' && "$here/can-run-32bit"
}
case "$2" in
  create|start)
    if [ ! -f "$prefix/system.reg" ] || lacks_wow64; then
      rm -rf "$prefix"
      wineboot -i </dev/null >/dev/null 2>&1
      wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
      wineserver -w
    fi
    [ "$2" = start ] || exit 0
    # Whatever server is left (the creation's, a test discovery's, an earlier persistent one) goes:
    # waiting for a persistent server would never end.
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
    # The server's stdio must not be our pipe, or the caller waits for it forever.
    wineserver -p </dev/null >/dev/null 2>&1
    # The first program of a new server boots the machine and starts its services, which live as long
    # as the server: start them here, away from the caller's pipes.
    wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
  *)
    echo "usage: $0 PREFIX create|start|stop" >&2
    exit 2
    ;;
esac
