#!/usr/bin/env bash
# Installs every Debian package the build and the tests need, and any further packages named as
# arguments. Idempotent; quiet on success.
set -euo pipefail
# The payload uses mingw-w64-x86-64-dev directly (the kernel headers in include/ddk and libntoskrnl.a) and
# the binutils' objdump and windres of both architectures; the compilers pull them in, they are named anyway.
# osslsigncode Authenticode-signs the release build; the payload tools read and write DER and CMS with
# python3-asn1crypto and PE images with python3-pefile. The demo product setups are built with wixl (an x64
# MSI from WiX v3 source), msitools' msibuild (the rollback action's type, which wixl cannot write) and
# nsis' makensis (its amd64-unicode stubs).
pkgs=(cmake make g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools
      mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
      wine wine64 googletest openssl osslsigncode python3 python3-asn1crypto python3-pefile
      wixl msitools nsis "$@")
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  log=$(mktemp)
  if ! { apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
    cat "$log" >&2; rm -f "$log"; exit 1
  fi
  rm -f "$log"
fi
# Wine's 32-bit half makes the Wine machine what every x64 Windows is (WoW64: 32-bit programs run, with
# Program Files (x86), SysWOW64 and the 32-bit registry view), about a minute and 700 MB. Only where the
# kernel runs 32-bit Linux programs: elsewhere /usr/bin/wine would pick the 32-bit loader it cannot start
# and every Wine run would fail.
here=$(cd "$(dirname "$0")" && pwd)
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed' && "$here/can-run-32bit"; then
  export DEBIAN_FRONTEND=noninteractive
  log=$(mktemp)
  if ! { dpkg --add-architecture i386 && apt-get update -q &&
         apt-get install -y -q --no-install-recommends wine32:i386; } >"$log" 2>&1; then
    cat "$log" >&2; rm -f "$log"; exit 1
  fi
  rm -f "$log"
fi
