// The process entry. Everything it calls lives in the layers below so that tests can reach it.
#include "base/log.h"
#include "base/sysdll.h"
#include "context/globalinfo.h"
#include "control/entry.h"
#include "system/selfdelete.h"

#ifdef TOVRAND_TEST_HOOKS
#include <stdlib.h>

// A test build only: the environment variable TOVRAND_TEST_HOOK makes the run end itself after its K-th
// log line as a deployment tool's kill would ("stop:K": no clean-up, the lock left abandoned), or pause
// after the first line that holds TEXT ("pause:MS:TEXT"), so that another run can be started into it.
// The variable is taken out of the environment, so that the programs the run starts do not inherit it.
namespace
{
int g_stopAfter = 0;
DWORD g_pauseMs = 0;
wchar_t g_pauseAt[128];
int g_lines = 0;

void AfterLogLine(const wchar_t* message)
{
    if (++g_lines == g_stopAfter)
        TerminateProcess(GetCurrentProcess(), 0xDEAD);
    if (g_pauseMs != 0 && wcsstr(message, g_pauseAt) != nullptr)
    {
        DWORD pause = g_pauseMs;
        g_pauseMs = 0;
        Sleep(pause);
    }
}

void InstallTestHook()
{
    wchar_t hook[160] = L"";
    DWORD n = GetEnvironmentVariableW(L"TOVRAND_TEST_HOOK", hook, 160);
    SetEnvironmentVariableW(L"TOVRAND_TEST_HOOK", nullptr);
    if (n == 0 || n >= 160)
        return;
    wchar_t* rest = nullptr;
    if (wcsncmp(hook, L"stop:", 5) == 0)
        g_stopAfter = static_cast<int>(wcstol(hook + 5, nullptr, 10));
    else if (wcsncmp(hook, L"pause:", 6) == 0 && (g_pauseMs = wcstoul(hook + 6, &rest, 10)) != 0 && *rest == L':')
        lstrcpynW(g_pauseAt, rest + 1, 128);
    log_seam::AfterLine = AfterLogLine;
}
}  // namespace
#endif

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int)
{
    if (commandLine == nullptr)
        commandLine = const_cast<LPWSTR>(L"");
    // An elevated program started from a download folder: no DLL may come from there.
    RestrictDllSearch();
#ifdef TOVRAND_TEST_HOOKS
    InstallTestHook();
#endif
    LogEvent("--------------------------------------------------");
    HoldRunningImage();

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

    BOOL locked = AcquireRunningMutex();

    if (IsInstalledTovrandNewer(newer, kPathChars))
    {
        // The lock stays held: the newer copy waits its full time for it and then goes on.
        LogEvent("  Installed version is newer after waiting on the mutex.");
        return static_cast<int>(RunNewerTovrand(newer.Str(), commandLine));
    }
    LogEvent("  Installed version isn't newer after waiting on the mutex.");

    GlobalInfo info;
    info.OtherRunActive = !locked;
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
    if (RunningImage != nullptr)
        CloseHandle(RunningImage);
    return static_cast<int>(exitCode);
}
