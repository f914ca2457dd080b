#!/usr/bin/env python3
"""check_imports.py OBJDUMP EXE...: every installer build imports only DLLs that Windows always takes from
the system directory, and no function that the oldest supported system (Windows XP x64 / Server 2003,
NT 5.2) lacks: a static import of one would stop the program before its first instruction there, which
no test under Wine can show (Wine's DLLs export everything whatever version they pretend to be)."""
import subprocess
import sys

ALLOWED_DLLS = {"KERNEL32.dll", "USER32.dll", "ADVAPI32.dll", "GDI32.dll", "SHLWAPI.dll", "msvcrt.dll"}
# Functions that came after NT 5.2 and that a Windows program of this kind could easily pick up.
NEWER_THAN_XP64 = {
    "SetDefaultDllDirectories", "AddDllDirectory", "RemoveDllDirectory", "GetTickCount64",
    "InitializeSRWLock", "AcquireSRWLockExclusive", "AcquireSRWLockShared", "InitializeConditionVariable",
    "InitOnceExecuteOnce", "CreateSymbolicLinkW", "GetFinalPathNameByHandleW", "RegDeleteTreeW",
    "RegDeleteKeyExW", "CompareStringEx", "LocaleNameToLCID", "GetUserDefaultLocaleName", "CreateEventExW",
    "CreateMutexExW", "K32GetProcessMemoryInfo", "QueryFullProcessImageNameW", "CancelIoEx",
    "SetFileInformationByHandle", "GetFileInformationByHandleEx", "Wow64DisableWow64FsRedirection",
    "ChangeWindowMessageFilter", "ChangeWindowMessageFilterEx", "TaskDialogIndirect",
}


def imports(objdump, exe):
    out = subprocess.run([objdump, "-p", exe], check=True, capture_output=True, text=True).stdout
    dll, result = None, []
    for line in out.splitlines():
        words = line.split()
        if line.strip().startswith("DLL Name:"):
            dll = words[2]
        elif dll and len(words) == 3 and all(c in "0123456789abcdef" for c in words[0]) and words[1].isdigit():
            result.append((dll, words[2]))
        elif not line.strip():
            continue
    return result


def main():
    objdump, exes = sys.argv[1], sys.argv[2:]
    failures = []
    for exe in exes:
        found = imports(objdump, exe)
        if not found:
            failures.append(f"{exe}: no imports read")
        for dll, function in found:
            if dll not in ALLOWED_DLLS:
                failures.append(f"{exe}: imports {dll}!{function}")
            if function in NEWER_THAN_XP64:
                failures.append(f"{exe}: imports {dll}!{function}, which Windows XP x64 does not have")
        print(f"{exe}: {len(found)} imported functions from {sorted({d for d, _ in found})}")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
