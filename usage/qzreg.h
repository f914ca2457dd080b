// Registration of the driver with the maker's updater, through its embedded registration program.
#pragma once
#include <windows.h>

// How long the updater registration program may run before the installer goes on without it (defined
// with the build version, so that a test build can shorten it).
extern const DWORD kRegistrationWaitMs;

BOOL RegisterWithQZ();
BOOL UnRegisterWithQZ();
// TRUE when the program ran and ended; otherwise *error says why not (ERROR_TIMEOUT: it outlasted
// the wait and is left running).
BOOL LaunchAndWait(const wchar_t* program, const wchar_t* parameters, DWORD* error);
BOOL QZRegExternalPostProcess(const wchar_t* program);
