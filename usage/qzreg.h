// Registration of the driver with the maker's updater, through its embedded registration program.
#pragma once
#include <windows.h>

BOOL RegisterWithQZ();
BOOL UnRegisterWithQZ();
BOOL LaunchAndWait(const wchar_t* program, const wchar_t* parameters);
BOOL QZRegExternalPostProcess(const wchar_t* program);
