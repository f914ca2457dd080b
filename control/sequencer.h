// The install and uninstall sequencer: the window procedure of the main dialog's class, which runs
// the run as a chain of commands posted to itself.
#pragma once
#include <windows.h>

extern const wchar_t kMainWindowClass[];

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
