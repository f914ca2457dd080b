// Process entry: single-instance lock, hand-off to a newer installed copy, the message loop and the
// exit code. Holds the process-wide state of a run.
#pragma once
#include <windows.h>

#include "base/wstring.h"

class GlobalInfo;

extern HINSTANCE ModuleInstance;
extern HWND MainWindow;
extern HANDLE RunningMutex;
// The running program's own file, held for the whole run with read sharing only once it proved to be the
// image that runs (null otherwise): nobody can replace it while it is copied to the shared folder.
extern HANDLE RunningImage;

// Opens the program's own file into RunningImage when its PE header matches the image in memory (time
// stamp, size of image, checksum). FALSE, logged, when it cannot be held or is another file.
BOOL HoldRunningImage();

// Takes "Global\Pellimar_running", waiting at most kRunningMutexWaitMs; logs the outcome. The run goes on
// in every case; TRUE when it holds the lock (also one that an ended run abandoned).
BOOL AcquireRunningMutex();

BOOL RegisterMainWindowClass(HINSTANCE instance);
// Starts the run with info as its context: the start-up, the payload, the main dialog, whose creation
// starts the sequence. FALSE when the run ends here (info->Outcome says whether with an error).
BOOL CreateMainWindow(GlobalInfo* info, HINSTANCE instance, const wchar_t* commandLine);
// At the end of a run after which no product is left: the running installer's file goes, by the
// self-delete copy now or at the next restart.
void RemoveRunningInstaller(GlobalInfo* info);

// The installer copy in the shared folder: "CommonFilesDir" joined with "Norvatek Shared" and the file name.
BOOL ReadInstalledTovrandPath(CWString& path);
BOOL IsInstalledTovrandNewer(CWString& path, int capacity);
DWORD RunNewerTovrand(const wchar_t* path, const wchar_t* commandLine);
DWORD LaunchAndWaitWithReturn(const wchar_t* application, const wchar_t* commandLine);

