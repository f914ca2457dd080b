// Opening a log file in a temporary folder that others can write to. A run as LocalSystem or as an
// administrator often logs into %SystemRoot%\Temp, where every user may create files: a name made there
// beforehand as a hard link or a symbolic link would make the run append to a file it was never meant to
// touch, and a file the user created and owns would give them the run's lines (and the power to forge
// or silence them). Such a log is refused, and the run writes to a file of its own that it creates anew.
//
// Header only: the installer and the 32-bit registration program, which shares no library with it, use
// the same rule.
#pragma once
#include <windows.h>
#include <aclapi.h>

#include <stdio.h>

namespace own_log
{
// Whether this process runs as LocalSystem or with the Administrators group in effect.
inline bool IsPrivilegedRun()
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    BOOL member = FALSE;
    if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
        CheckTokenMembership(nullptr, sid, &member) && member)
        return true;
    size = sizeof(sid);
    return CreateWellKnownSid(WinLocalSystemSid, nullptr, sid, &size) && CheckTokenMembership(nullptr, sid, &member) &&
           member;
}

// Whether sid is SYSTEM, Administrators, TrustedInstaller or the user this process runs as: an owner
// who can change the file anyway, or is ourselves.
inline bool IsTrustedOwner(PSID sid)
{
    const WELL_KNOWN_SID_TYPE kTrusted[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid};
    for (WELL_KNOWN_SID_TYPE type : kTrusted)
        if (IsWellKnownSid(sid, type))
            return true;
    // NT SERVICE\TrustedInstaller has no well-known type before Windows 7's SDK; its SID is fixed.
    static const SID_IDENTIFIER_AUTHORITY kNtAuthority = SECURITY_NT_AUTHORITY;
    BYTE installer[SECURITY_MAX_SID_SIZE];
    if (InitializeSid(installer, const_cast<PSID_IDENTIFIER_AUTHORITY>(&kNtAuthority), 6))
    {
        const DWORD kParts[] = {80, 956008885, 3418522649u, 1831038044, 1853292631, 2271478464u};
        for (int i = 0; i < 6; ++i)
            *GetSidSubAuthority(installer, i) = kParts[i];
        if (EqualSid(sid, installer))
            return true;
    }
    bool own = false;
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
    {
        BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        DWORD got = 0;
        if (GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &got))
            own = EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) != FALSE;
        CloseHandle(token);
    }
    return own;
}

// What the checks need of an open file: its attributes, its number of names and its index on the volume.
struct FileFacts
{
    DWORD attributes;
    DWORD links;
    LONGLONG index;
};

// Asked through ntdll's NtQueryInformationFile, looked up and never imported: GetFileInformationByHandle
// also asks for the file's name and volume, which costs Wine half a millisecond a call, and the log asks
// for every line. The classes and layouts are those of FILE_BASIC_, FILE_STANDARD_ and
// FILE_INTERNAL_INFORMATION, the same since NT 4.
inline bool QueryFileFacts(HANDLE file, FileFacts* facts)
{
    typedef LONG(NTAPI * QueryFn)(HANDLE, void*, void*, ULONG, int);
    static QueryFn query = nullptr;   // a constant start value: no guard
    HMODULE ntdll = query == nullptr ? GetModuleHandleW(L"ntdll.dll") : nullptr;
    if (ntdll != nullptr)
        query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationFile")));
    if (query == nullptr)
        return false;
    struct { LONG_PTR status; ULONG_PTR information; } io;
    struct { LARGE_INTEGER times[4]; ULONG attributes; } basic;
    struct { LARGE_INTEGER allocation, end; ULONG links; BOOLEAN deletePending, directory; } standard;
    LARGE_INTEGER index;
    if (query(file, &io, &basic, sizeof(basic), 4) < 0 || query(file, &io, &standard, sizeof(standard), 5) < 0 ||
        query(file, &io, &index, sizeof(index), 6) < 0)
        return false;
    facts->attributes = basic.attributes;
    facts->links = standard.links;
    facts->index = index.QuadPart;
    return true;
}

// Whether the open file is one to write to: no reparse point, one name only, and, when it was there
// before a privileged run opened it, owned by somebody trusted.
inline bool IsTrustworthy(HANDLE file, bool existed)
{
    FileFacts info;
    if (!QueryFileFacts(file, &info) || (info.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.links != 1)
        return false;
    // Asked once, as the log opens its file for every line. A constant start value needs no guard (the
    // guard of a dynamic one pulls in GetTickCount64, which XP x64 lacks).
    static int privileged = -1;
    if (existed && privileged < 0)
        privileged = IsPrivilegedRun() ? 1 : 0;
    // Nobody but an administrator can give a file to another owner: a file whose owner passed is not asked
    // again (the log opens it for every line, and each question is a trip to the system). The log lies in
    // one folder, so the index on its volume names it.
    static LONGLONG passed = 0;
    if (!existed || privileged == 0 || (passed != 0 && passed == info.index))
        return true;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return false;
    bool trusted = owner != nullptr && IsTrustedOwner(owner);
    LocalFree(descriptor);
    if (trusted)
        passed = info.index;
    return trusted;
}

// Opens path for appending, or creates it (create: only when no file of that name exists). The link
// itself is opened, never what it points to. INVALID_HANDLE_VALUE when it cannot be opened;
// *refused is set when it could be but is no file to trust (it is closed then).
inline HANDLE OpenForAppend(const wchar_t* path, DWORD share, bool createNew, bool* refused)
{
    *refused = false;
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL, share, nullptr,
                              createNew ? CREATE_NEW : OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return file;
    bool existed = !createNew && GetLastError() == ERROR_ALREADY_EXISTS;
    if (IsTrustworthy(file, existed))
        return file;
    CloseHandle(file);
    *refused = true;
    return INVALID_HANDLE_VALUE;
}

// The log of this process's own: directory\<stem>-<pid>.LOG, created anew with read sharing only, so
// that nobody can have prepared it. INVALID_HANDLE_VALUE when that fails.
inline HANDLE CreateOwnLog(const wchar_t* directory, const wchar_t* stem)
{
    wchar_t path[MAX_PATH + 32];
    int length = lstrlenW(directory);
    if (length == 0 || length + lstrlenW(stem) + 16 > MAX_PATH)
        return INVALID_HANDLE_VALUE;
    bool separator = directory[length - 1] == L'\\' || directory[length - 1] == L'/';
    // msvcrt's _snwprintf: %s is a wide string there, whichever printf mode the compiler chose; no user32.
    _snwprintf(path, MAX_PATH + 31, L"%s%s%s-%lu.LOG", directory, separator ? L"" : L"\\", stem,
               GetCurrentProcessId());
    path[MAX_PATH + 31] = L'\0';
    bool refused = false;
    return OpenForAppend(path, FILE_SHARE_READ, true, &refused);
}
}  // namespace own_log
