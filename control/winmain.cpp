// The process entry. Everything it calls lives in the layers below so that tests can reach it.
#include "base/log.h"
#include "base/sysdll.h"
#include "context/globalinfo.h"
#include "control/entry.h"
#include "system/selfdelete.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int)
{
    if (commandLine == nullptr)
        commandLine = const_cast<LPWSTR>(L"");
    // An elevated program started from a download folder: no DLL may come from there.
    RestrictDllSearch();
    LogEvent("--------------------------------------------------");

    // A self-delete request is the ending run's own temporary copy at work: handed to a newer copy, the
    // request would make that copy schedule its own file, the shared copy a later install relies on.
    if (RunSelfDeleteMode(commandLine))
        return 0;

    CWString newer(kPathChars);
    if (IsInstalledTovrandNewer(newer, kPathChars))
    {
        LogEvent("  Installed version is newer.");
        return static_cast<int>(RunNewerTovrand(newer.Str(), commandLine));
    }
    LogEvent("Installed Version (if any) is not newer.");

    AcquireRunningMutex();

    if (IsInstalledTovrandNewer(newer, kPathChars))
    {
        // The lock stays held: the newer copy waits its full time for it and then goes on.
        LogEvent("  Installed version is newer after waiting on the mutex.");
        return static_cast<int>(RunNewerTovrand(newer.Str(), commandLine));
    }
    LogEvent("  Installed version isn't newer after waiting on the mutex.");

    GlobalInfo info;
    g_pGlobalInfo = &info;
    if (!RegisterMainWindowClass(instance))
    {
        LogEvent("  Error - Cannot register the window class (%d).", static_cast<int>(GetLastError()));
        info.Outcome.Fail(ERROR_INSTALL_FAILURE);
    }
    else if (CreateMainWindow(&info, instance, commandLine))
    {
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (info.Outcome.DeletesInstaller())
            RemoveRunningInstaller(&info);
    }

    // The one place where the run's outcome becomes the exit code.
    DWORD exitCode = info.Outcome.ExitCode(info.HResult);
    g_pGlobalInfo = nullptr;
    if (RunningMutex != nullptr)
    {
        ReleaseMutex(RunningMutex);
        CloseHandle(RunningMutex);
        RunningMutex = nullptr;
    }
    return static_cast<int>(exitCode);
}
