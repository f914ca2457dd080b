#include "base/files.h"

#include "base/alloc.h"
#include "base/handle.h"

namespace
{
// The first entry of a search for the path itself, or FALSE when there is none.
BOOL FindEntry(const wchar_t* path, DWORD* attributes)
{
    if (path == nullptr || path[0] == L'\0')
        return FALSE;
    WIN32_FIND_DATAW data;
    CScopedFind find(FindFirstFileW(path, &data));
    if (!find.IsValid())
        return FALSE;
    *attributes = data.dwFileAttributes;
    return TRUE;
}
}  // namespace

BOOL IsExistingDirectory(const wchar_t* path)
{
    DWORD attributes = 0;
    return FindEntry(path, &attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

BOOL IsExistingFile(const wchar_t* path)
{
    DWORD attributes = 0;
    return FindEntry(path, &attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

BOOL ClearReadOnly(const wchar_t* path)
{
    if (path == nullptr)
        return FALSE;
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return FALSE;
    if (!(attributes & FILE_ATTRIBUTE_READONLY))
        return TRUE;
    attributes &= ~FILE_ATTRIBUTE_READONLY;
    // No attribute left must be said as "normal": 0 would mean "leave them as they are".
    return SetFileAttributesW(path, attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
}

namespace
{
// The short form of path (path itself where it has none) in out of kFullPathChars, without a trailing
// separator. FALSE when path is longer than any the platform hands back.
bool ShortFormOf(const wchar_t* path, wchar_t* out)
{
    if (lstrlenW(path) >= kFullPathChars)
        return false;
    DWORD n = GetShortPathNameW(path, out, kFullPathChars);
    if (n == 0 || n >= static_cast<DWORD>(kFullPathChars))
        lstrcpyW(out, path);
    int length = lstrlenW(out);
    // A drive's root keeps its separator: "C:" alone is the current directory on that drive.
    if (length > 3 && (out[length - 1] == L'\\' || out[length - 1] == L'/'))
        out[length - 1] = L'\0';
    return true;
}
}  // namespace

BOOL LiesInDirectory(const wchar_t* path, const wchar_t* directory)
{
    if (path == nullptr || directory == nullptr || path[0] == L'\0' || directory[0] == L'\0')
        return FALSE;
    wchar_t parent[kFullPathChars];
    if (lstrlenW(path) >= kFullPathChars)
        return FALSE;
    lstrcpyW(parent, path);
    wchar_t* slash = parent + lstrlenW(parent);
    while (slash > parent && slash[-1] != L'\\')
        --slash;
    if (slash == parent)
        return FALSE;
    *slash = L'\0';   // the directory with its separator
    wchar_t a[kFullPathChars];
    wchar_t b[kFullPathChars];
    return ShortFormOf(parent, a) && ShortFormOf(directory, b) && SameNoCase(a, b);
}

BOOL JoinPath(wchar_t* out, int capacity, const wchar_t* dir, const wchar_t* name)
{
    int dirLength = dir != nullptr ? lstrlenW(dir) : 0;
    bool separator = dirLength > 0 && dir[dirLength - 1] != L'\\';
    if (dirLength == 0 || dirLength + (separator ? 1 : 0) + lstrlenW(name) >= capacity)
    {
        if (capacity > 0)
            out[0] = L'\0';
        return FALSE;
    }
    lstrcpyW(out, dir);
    if (separator)
        lstrcatW(out, L"\\");
    lstrcatW(out, name);
    return TRUE;
}

DWORD RunAndWait(const wchar_t* application, const wchar_t* commandLine, DWORD waitMs, DWORD* exitCode)
{
    // CreateProcessW may write into the command line: it gets a copy of its own.
    wchar_t* writable = CopyText(commandLine);
    if (writable == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(application, writable, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                                  nullptr, &startup, &process);
    DWORD error = GetLastError();
    delete[] writable;
    if (!started)
        return error;
    CScopedHandle thread(process.hThread);
    CScopedHandle running(process.hProcess);
    if (WaitForSingleObject(running.Get(), waitMs) != WAIT_OBJECT_0)
        return ERROR_TIMEOUT;
    GetExitCodeProcess(running.Get(), exitCode);
    return ERROR_SUCCESS;
}
