// The copy step: which file goes where (decided from the versions and switches), one pair per
// command, a file in use replaced at the next restart instead.
#pragma once
#include <windows.h>

#include "base/wstring.h"

class GlobalInfo;

// Full paths in pairs: source at 2k, destination at 2k + 1. Lives from IDM_PREPARECOPY to WM_DESTROY.
extern CWStringArray* CopyList;
extern int CopyIndex;

// Takes what the next restart does to our files into the versions read at start-up: a driver whose
// deletion waits is no installed version, a replacement of ours that waits is the installed version.
void ApplyPendingRenames(GlobalInfo* info);
// Whether the driver's set is put in place (the payload's driver is not older than the installed one, or
// forced); otherwise the installed driver is kept with its own set.
BOOL TakesDriverGroup(const GlobalInfo* info);
// Whether a kept newer driver lacks a file of its set (each one logged): the run must not go on then.
BOOL KeptSetIncomplete(GlobalInfo* info);
CWStringArray* BuildCopyList(GlobalInfo* info);
// Copies the pair whose source is at index. TRUE when the destination was written now; FALSE when it
// is replaced at the next restart, or could not be put in place at all (logged, the run's error set).
BOOL CopyOneFile(int index);
// Withdraws what the next restart would do to the destination at index: its deletion, and when it was
// written now, an earlier replacement of it, whose temporary is deleted.
void UnmarkCopyTarget(int index, BOOL written);
// Withdraws the pending deletions of the files of the set that the run keeps as they are.
void UnmarkKeptFiles(GlobalInfo* info);
// After the count is written: puts back what another run's last uninstall removed meanwhile (files the
// copy step put in place, the service).
void RestoreRemovedTargets(GlobalInfo* info);
