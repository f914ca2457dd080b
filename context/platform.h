// Which Windows this is, and whether the installer may run on it.
#pragma once
#include <windows.h>

class GlobalInfo;

// Codes of GlobalInfo::OsVersion; only the start-up banner shows them.
const DWORD OS_WIN95 = 1;
const DWORD OS_WINNT_UNDETERMINED = 2;
const DWORD OS_WINNT35 = 3;
const DWORD OS_WINNT30 = 4;
const DWORD OS_WIN98 = 5;
const DWORD OS_WIN95_OSR2 = 6;
const DWORD OS_WIN98_SE = 7;
const DWORD OS_WINME = 8;
const DWORD OS_WIN2000 = 9;
const DWORD OS_WINNT4 = 10;
const DWORD OS_WINXP = 11;
const DWORD OS_WIN2003 = 12;
const DWORD OS_VISTA = 13;
const DWORD OS_WIN7 = 14;
const DWORD OS_NEWER = 32000;

// The code for a version record; 0 for a platform that is neither 9x nor NT.
DWORD ClassifyOsVersion(const OSVERSIONINFOW& version);
// The banner's name for a code; "Unknown" for any code not in the list.
const wchar_t* OsVersionName(DWORD code);

// Stores the code of the running system in info->OsVersion (0 when the version cannot be read).
void DetectOsVersion(GlobalInfo* info);
// NT family from version 5 on, and not a 32-bit process under WoW64. Needs info->SystemDir.
BOOL IsOSSupported(GlobalInfo* info);
BOOL IsRunningUnderWow64(GlobalInfo* info);
BOOL IsWinVistaOrBetter();
