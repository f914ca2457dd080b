#!/usr/bin/env python3
"""check_imports.py [--allow DLL]... EXE...: every build imports only DLLs that Windows always takes from the system
directory (and those allowed, such as msi.dll for a custom-action DLL), and no function that NT 5.2 (XP x64, Server
2003) lacks: it would stop the program before its first instruction there, which Wine cannot show (its DLLs export
everything whatever version they pretend to be)."""
import sys

import pefile

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


def imports(exe):
    pe = pefile.PE(exe, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    return [(entry.dll.decode(), (imp.name or b"#%d" % imp.ordinal).decode())
            for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) for imp in entry.imports]


def main():
    args = sys.argv[1:]
    allowed = set(ALLOWED_DLLS)
    while len(args) > 1 and args[0] == '--allow':
        allowed.add(args[1])
        args = args[2:]
    exes = args
    failures = []
    for exe in exes:
        found = imports(exe)
        if not found:
            failures.append(f"{exe}: no imports read")
        for dll, function in found:
            if dll not in allowed:
                failures.append(f"{exe}: imports {dll}!{function}")
            if function in NEWER_THAN_XP64:
                failures.append(f"{exe}: imports {dll}!{function}, which Windows XP x64 does not have")
        print(f"{exe}: {len(found)} imported functions from {sorted({d for d, _ in found})}")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
