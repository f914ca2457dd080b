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
// Copies the pair whose source is at index. TRUE when the destination was written now; FALSE when it
// is replaced at the next restart, or could not be put in place at all (logged, the run's error set).
BOOL CopyOneFile(int index);
// Withdraws what the next restart would do to the destination at index: its deletion, and when it was
// written now, an earlier replacement of it, whose temporary is deleted.
void UnmarkCopyTarget(int index, BOOL written);
// Withdraws the pending deletions of the files of the set that the run keeps as they are.
void UnmarkKeptFiles(GlobalInfo* info);
