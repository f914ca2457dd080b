// Process entry: single-instance lock, hand-off to a newer installed copy, the message loop and the
// exit code. Holds the process-wide state of a run.
#pragma once
#include <windows.h>

#include "base/wstring.h"

extern HINSTANCE ModuleInstance;
extern HWND MainWindow;
extern DWORD RunResult;
extern BOOL DeleteSelfAtExit;
extern HANDLE RunningMutex;

const DWORD RETURN_REBOOT_REQUIRED = 1;
const DWORD RETURN_REBOOT_IF_USING_VDD = 8;

// Takes "Global\Pellimar_running", waiting at most 5000 ms; logs the outcome. The run goes on in
// every case.
void AcquireRunningMutex();
// Maps a run's result to the process's exit code and logs the "Returning:" line.
DWORD MapRunResult(DWORD runResult, BOOL hresult);

BOOL RegisterMainWindowClass(HINSTANCE instance);
BOOL CreateMainWindow(HINSTANCE instance, const wchar_t* commandLine);

// The installer copy in the shared folder: "CommonFilesDir" joined with "Norvatek Shared" and the file name.
BOOL ReadInstalledTovrandPath(CWString& path);
BOOL IsInstalledTovrandNewer(CWString& path, int capacity);
DWORD RunNewerTovrand(const wchar_t* path, const wchar_t* commandLine);
DWORD LaunchAndWaitWithReturn(const wchar_t* application, const wchar_t* commandLine);

// The installer's own version, fixed at build time (the same quad as its VERSIONINFO).
extern const ULONGLONG kBuildVersion;
// How long the updater registration program may run before the installer goes on without it.
extern const DWORD kRegistrationWaitMs;
inline WORD VersionPart(ULONGLONG version, int index) { return static_cast<WORD>(version >> (48 - 16 * index)); }
