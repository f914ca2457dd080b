// The copy step: which file goes where (decided from the versions and switches), one pair per
// command, a file in use replaced at the next restart instead.
#pragma once
#include <windows.h>

#include "base/wstring.h"

class GlobalInfo;

// Full paths in pairs: source at 2k, destination at 2k + 1. Lives from IDM_PREPARECOPY to WM_DESTROY.
extern CWStringArray* CopyList;
extern int CopyIndex;

CWStringArray* BuildCopyList(GlobalInfo* info);
BOOL CopyOneFile(int index);
void UnmarkCopyTarget(int index);
BOOL ClearReadOnly(const wchar_t* path);
