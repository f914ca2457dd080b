// The process entry. Everything it calls lives in the core library so that tests can reach it.
#include "base/log.h"
#include "context/globalinfo.h"
#include "control/entry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int)
{
    if (commandLine == nullptr)
        commandLine = const_cast<LPWSTR>(L"");
    LogEvent(L"--------------------------------------------------");

    AcquireRunningMutex();

    if (!RegisterMainWindowClass(instance))
        return 0;
    if (!CreateMainWindow(instance, commandLine))
        return 0;

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
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
