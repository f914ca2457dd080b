// The install and uninstall sequencer: the window procedure of the main dialog's class. Each step is a
// command that the procedure posts to its own window; each handler does one step and posts the next.
#pragma once
#include <windows.h>

extern const wchar_t kMainWindowClass[];

const UINT IDM_PREPARECOPY = 10003;
const UINT IDM_PREPARECOPY_ALIAS = 10004;
const UINT IDM_COPYFILE = 10010;
const UINT IDM_STARTCOPY = 10012;
const UINT IDM_ALLDONE = 10014;
const UINT IDM_UNINSTALL = 10016;
const UINT IDM_UPDATEUSAGE = 10018;
const UINT IDM_UNINSTALL_UI = 10020;
const UINT IDM_CHECKUSAGEUPDATE = 10022;
const UINT IDM_QZREGISTER = 10025;

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT PrepareCopy(HWND window);
void CheckOldInstalledTovrand();
// At the start of an install: a Pellimar key with product subkeys but no count left is a leftover.
void RemoveStalePellimarKey();
