#include "base/sysdll.h"

HMODULE LoadSystemLibrary(const wchar_t* name)
{
    // LOAD_LIBRARY_SEARCH_SYSTEM32 needs Windows 7 with KB2533623 or later; without it the call fails
    // with ERROR_INVALID_PARAMETER and the full path does the same job.
    HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr)
        return module;
    wchar_t path[MAX_PATH];
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n + 1 + lstrlenW(name) >= MAX_PATH)
        return nullptr;
    lstrcatW(path, L"\\");
    lstrcatW(path, name);
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void RestrictDllSearch()
{
    // SetDefaultDllDirectories came with KB2533623 (Windows 7) and is missing on XP x64, Server 2003 and
    // plain Vista, which the installer still supports: imported statically, the program would not even
    // start there. Without it, SetDllDirectoryW(L"") at least drops the current directory.
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    typedef BOOL(WINAPI * SetDefaultDirsFn)(DWORD);
    SetDefaultDirsFn setDefault =
        kernel != nullptr ? reinterpret_cast<SetDefaultDirsFn>(GetProcAddress(kernel, "SetDefaultDllDirectories"))
                          : nullptr;
    if (setDefault == nullptr || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32))
        SetDllDirectoryW(L"");
}
