// DLLs that are not in the import table are loaded from the system directory only, never from the
// program's own or the current directory: an elevated installer started from a download folder must
// not pick up a planted copy.
#pragma once
#include <windows.h>

HMODULE LoadSystemLibrary(const wchar_t* name);

// Takes the program's own and the current directory out of the DLL search for the rest of the run.
void RestrictDllSearch();
