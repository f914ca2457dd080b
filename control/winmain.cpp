// The process entry. Everything it calls lives in the core library so that tests can reach it.
#include "base/log.h"
#include "base/sysdll.h"
#include "context/globalinfo.h"
#include "control/entry.h"
#include "system/removal.h"
#include "system/selfdelete.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int)
{
    if (commandLine == nullptr)
        commandLine = const_cast<LPWSTR>(L"");
    // An elevated program started from a download folder: no DLL may come from there.
    RestrictDllSearch();
    LogEvent(L"--------------------------------------------------");

    // A self-delete request is the ending run's own temporary copy at work: handed to a newer copy, the
    // request would make that copy schedule its own file, the shared copy a later install relies on.
    if (RunSelfDeleteMode(commandLine))
        return 0;

    CWString newer(290);
    if (IsInstalledTovrandNewer(newer, 290))
    {
        LogEvent(L"  Installed version is newer.");
        return static_cast<int>(RunNewerTovrand(newer.Str(), commandLine));
    }
    LogEvent(L"Installed Version (if any) is not newer.");

    AcquireRunningMutex();

    if (IsInstalledTovrandNewer(newer, 290))
    {
        // The lock stays held: the newer copy waits its full time for it and then goes on.
        LogEvent(L"  Installed version is newer after waiting on the mutex.");
        return static_cast<int>(RunNewerTovrand(newer.Str(), commandLine));
    }
    LogEvent(L"  Installed version isn't newer after waiting on the mutex.");

    if (!RegisterMainWindowClass(instance))
    {
        LogEvent(L"  Error - Cannot register the window class (%d).", static_cast<int>(GetLastError()));
        return static_cast<int>(MapRunResult(ERROR_INSTALL_FAILURE, FALSE));
    }
    if (!CreateMainWindow(instance, commandLine))
        return static_cast<int>(RunResult);   // mapped already; 0 only for an unsupported system

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }

    if (DeleteSelfAtExit && g_pGlobalInfo != nullptr)
    {
        if (g_pGlobalInfo->DelOnReboot)
        {
            CWString self(291);
            DWORD n = GetModuleFileNameW(nullptr, self.Buffer(), 290);
            if (n > 0 && n < 290)
            {
                MarkFileForDeletionOnReboot(self.Str());
                RunResult = RETURN_REBOOT_REQUIRED;
            }
        }
        else if (SetUpDelete() == 1)
        {
            RunResult = RETURN_REBOOT_REQUIRED;
        }
    }

    BOOL hresult = g_pGlobalInfo != nullptr && g_pGlobalInfo->HResult;
    DWORD exitCode = MapRunResult(RunResult, hresult);
    delete g_pGlobalInfo;
    g_pGlobalInfo = nullptr;
    if (RunningMutex != nullptr)
    {
        ReleaseMutex(RunningMutex);
        CloseHandle(RunningMutex);
        RunningMutex = nullptr;
    }
    return static_cast<int>(exitCode);
}
