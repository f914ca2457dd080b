#include "context/platform.h"

#include "base/files.h"
#include "base/log.h"
#include "base/wstring.h"
#include "context/globalinfo.h"

namespace
{
// GetVersionExW wants the size field set first; every other field starts zeroed so that a failed
// call leaves a record that matches no known system.
BOOL ReadVersionRecord(OSVERSIONINFOW* version)
{
    ZeroMemory(version, sizeof(*version));
    version->dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);   // 276 bytes
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return GetVersionExW(version);
#pragma GCC diagnostic pop
}

DWORD ClassifyWin9x(const OSVERSIONINFOW& version)
{
    // Windows 9x puts the major and minor version into the high word of the build number too
    // (4.10.2222 is reported as 0x040A08AE): only the low word is the build.
    DWORD build = LOWORD(version.dwBuildNumber);
    if (version.dwMajorVersion == 4)
    {
        if (version.dwMinorVersion >= 90)
            return OS_WINME;
        if (version.dwMinorVersion >= 10)
            return build >= 2222 ? OS_WIN98_SE : OS_WIN98;
        return build >= 1111 ? OS_WIN95_OSR2 : OS_WIN95;
    }
    if (version.dwMinorVersion >= 10)
        return OS_WIN95;
    return build >= 1111 ? OS_WIN95_OSR2 : OS_WIN95;
}

DWORD ClassifyWinNt(const OSVERSIONINFOW& version)
{
    DWORD minor = version.dwMinorVersion;
    switch (version.dwMajorVersion)
    {
    case 0:
    case 1:
    case 2:
    case 3:
        return minor < 50 ? OS_WINNT30 : OS_WINNT35;
    case 4:
        return minor == 0 ? OS_WINNT4 : OS_NEWER;
    case 5:
        if (minor == 0)
            return OS_WIN2000;
        if (minor == 1)
            return OS_WINXP;
        return minor == 2 ? OS_WIN2003 : OS_NEWER;
    case 6:
        if (minor == 0)
            return OS_VISTA;
        return minor == 1 ? OS_WIN7 : OS_NEWER;
    default:
        return OS_NEWER;
    }
}
}  // namespace

DWORD ClassifyOsVersion(const OSVERSIONINFOW& version)
{
    switch (version.dwPlatformId)
    {
    case VER_PLATFORM_WIN32_WINDOWS:
        return ClassifyWin9x(version);
    case VER_PLATFORM_WIN32_NT:
        return ClassifyWinNt(version);
    default:
        return 0;
    }
}

const wchar_t* OsVersionName(DWORD code)
{
    switch (code)
    {
    case OS_WIN95: return L"Windows 95";
    case OS_WINNT_UNDETERMINED: return L"Windows NT (Undetermined)";
    case OS_WINNT35: return L"Windows NT 3.5x";
    case OS_WINNT30: return L"Windows NT 3.0";
    case OS_WIN98: return L"Windows 98";
    case OS_WIN95_OSR2: return L"Windows 95 OSR 2.X";
    case OS_WIN98_SE: return L"Windows 98 SE";
    case OS_WINME: return L"Windows Millenium";
    case OS_WIN2000: return L"Windows 2000";
    case OS_WINNT4: return L"Windows NT >=4.0";
    case OS_WINXP: return L"Windows XP";
    case OS_WIN2003: return L"Windows Server 2003 (32/64bit) or XP (x64)";
    case OS_VISTA: return L"Windows Vista";
    case OS_WIN7: return L"Windows 7";
    case OS_NEWER: return L"New version of Windows (Unknown)";
    default: return L"Unknown";
    }
}

void DetectOsVersion(GlobalInfo* info)
{
    // Only the banner reads the code: a failed read leaves the zeroed record, which gives "Unknown".
    OSVERSIONINFOW version;
    ReadVersionRecord(&version);
    info->OsVersion = ClassifyOsVersion(version);
}

BOOL IsRunningUnderWow64(GlobalInfo* info)
{
    typedef BOOL(WINAPI * IsWow64ProcessFn)(HANDLE, PBOOL);

    CWString path(kPathChars);
    JoinPath(path, info->SystemDir, L"Kernel32.dll");
    // Kernel32 is always loaded; a system that does not export IsWow64Process knows no WoW64. A 32-bit
    // process under WoW64 has it from SysWOW64, not from the System32 that GetSystemDirectory names, so
    // the full path may find nothing: the name alone then finds the one that is loaded.
    HMODULE kernel = GetModuleHandleW(path.Str());
    if (kernel == nullptr)
        kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr)
        return FALSE;
    IsWow64ProcessFn isWow64Process =
        reinterpret_cast<IsWow64ProcessFn>(GetProcAddress(kernel, "IsWow64Process"));
    if (isWow64Process == nullptr)
        return FALSE;
    BOOL wow64 = FALSE;
    if (!isWow64Process(GetCurrentProcess(), &wow64))
    {
        LogEvent("Failed to determine if this is a WoW64 process. Assuming it isn't.");
        return FALSE;
    }
    return wow64 ? TRUE : FALSE;
}

BOOL IsOSSupported(GlobalInfo* info)
{
    OSVERSIONINFOW version;
    if (!ReadVersionRecord(&version))
    {
        LogEvent("  IsOSSupported: GetVersionEx() returned error %u", GetLastError());
        return FALSE;
    }
    if (version.dwPlatformId != VER_PLATFORM_WIN32_NT || version.dwMajorVersion < 5)
        return FALSE;
    if (IsRunningUnderWow64(info))
    {
        LogEvent("  Running 32-bit Tovrand on 64-bit OS not supported.");
        return FALSE;
    }
    return TRUE;
}

BOOL IsWinVistaOrBetter()
{
    OSVERSIONINFOW version;
    if (!ReadVersionRecord(&version))
    {
        LogEvent("  IsWinVistaOrBetter: GetVersionEx() returned error %u", GetLastError());
        return FALSE;
    }
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 6;
}
