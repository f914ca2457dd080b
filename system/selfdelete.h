// Deletion of the installer's own file. A running program cannot delete itself, so a copy in a folder of
// its own in the temporary directory (only SYSTEM and administrators may change it) is started with
// "/SELFDELETE" and the installer's path; the copy waits for the first process to end, deletes the file
// and leaves itself and its folder to the next restart.
#pragma once
#include <windows.h>

#include "system/removal.h"

// The switch of the self-delete request: "/SELFDELETE", anywhere on the command line, in any case.
extern const wchar_t kSelfDeleteSwitch[];

// Sets the deletion up at the end of a run. 1 when it had to fall back to deleting the installer
// file at the next restart (the run then needs a restart), 0 when the copy was started or when the
// installer's own path could not be determined.
DWORD SetUpDelete();

// Points at which SetUpDeleteWith hands the temporary copy to an observer.
enum class SelfDeleteStage
{
    Copied,   // the copy has just been written and is not yet held
    Held,     // the copy is held against writing, renaming and deleting, and is about to be started
};
typedef void (*SelfDeleteObserver)(SelfDeleteStage stage, const wchar_t* copyPath, void* context);

// The work of SetUpDelete on a given installer file and temporary directory (as GetTempPathW gives
// it; null when that failed). The observer, when given, is called at each stage; it exists for tests,
// which have no other way to act in the window between the copy and its start.
DWORD SetUpDeleteWith(const wchar_t* modulePath, const wchar_t* tempDir, SelfDeleteObserver observer,
                      void* context);

// Runs in the temporary copy: deletes the installer file at path, waiting up to about 16 seconds for
// it to be released, then cleans up the shared folder and schedules this copy and its folder for the next
// restart.
// expected is the file the ending run left (null when the command line did not say): a file that is
// not that one, or that a later install has claimed, is neither deleted nor scheduled.
void DoDelete(const wchar_t* path, const FileIdentity* expected);

// The entry's self-delete mode. TRUE when the command line holds "/SELFDELETE" (in any case): the
// path between the first two double quotes, when there are two, has then been handed to DoDelete
// with the identity given after it, and the process has nothing more to do. FALSE when the switch is
// absent.
BOOL RunSelfDeleteMode(const wchar_t* commandLine);
