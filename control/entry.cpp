#include "control/entry.h"

#include <new>

#include "base/log.h"
#include "context/globalinfo.h"
#include "control/sequencer.h"
#include "resources/resource.h"

HINSTANCE ModuleInstance = nullptr;
HWND MainWindow = nullptr;
DWORD RunResult = 0;
BOOL DeleteSelfAtExit = FALSE;
HANDLE RunningMutex = nullptr;

namespace
{
const wchar_t kMutexName[] = L"Global\\Pellimar_running";
const DWORD kMutexWaitMs = 5000;
}  // namespace

void AcquireRunningMutex()
{
    LogEvent(L"Acquiring %s mutex...", kMutexName);
    RunningMutex = CreateMutexW(nullptr, FALSE, kMutexName);
    if (RunningMutex == nullptr)
    {
        LogEvent(L"  Failed to CreateMutex.  GetLastError: 0x%x", GetLastError());
        return;
    }
    switch (WaitForSingleObject(RunningMutex, kMutexWaitMs))
    {
    case WAIT_OBJECT_0:
        LogEvent(L"  Successfully acquired mutex.");
        break;
    case WAIT_ABANDONED:
        LogEvent(L"  The other instance of tovrand exited without releasing the mutex.  It's ours now.");
        break;
    case WAIT_TIMEOUT:
        LogEvent(L"  The other instance of tovrand still has the mutex, something must be wrong with it, "
                 L"continuing anyway.");
        break;
    case WAIT_FAILED:
        LogEvent(L"  Failed to WaitForSingleObject() on tovrand running mutex.");
        break;
    default:
        LogEvent(L"  Unexpected return from WaitForSingleObject() while waiting on tovrand running mutex.");
        break;
    }
}

DWORD MapRunResult(DWORD runResult, BOOL hresult)
{
    if (runResult == 0)
    {
        LogEvent(L"Returning: 0 - Success, no reboot required.");
        return 0;
    }
    if (runResult == RETURN_REBOOT_REQUIRED)
    {
        if (hresult)
        {
            DWORD code = HRESULT_FROM_WIN32(ERROR_SUCCESS_REBOOT_REQUIRED);
            LogEvent(L"Returning: HRESULT_FROM_WIN32(ERROR_SUCCESS_REBOOT_REQUIRED) (0x%X)", code);
            return code;
        }
        LogEvent(L"Returning: RETURN_REBOOT_REQUIRED (0x%X)", runResult);
        return runResult;
    }
    if (runResult == RETURN_REBOOT_IF_USING_VDD)
    {
        LogEvent(L"Returning: RETURN_REBOOT_IF_USING_VDD (0x%X)", runResult);
        return runResult;
    }
    if (hresult)
    {
        DWORD code = static_cast<DWORD>(E_FAIL);
        LogEvent(L"Returning: E_FAIL (0x%X)", code);
        return code;
    }
    LogEvent(L"Returning: Error (0x%X)", runResult);
    return runResult;
}

BOOL RegisterMainWindowClass(HINSTANCE instance)
{
    WNDCLASSW wc = {};
    wc.style = 0;
    wc.lpfnWndProc = MainWndProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = DLGWINDOWEXTRA;   // the dialog manager keeps its state there
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_MAIN));
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = kMainWindowClass;
    return RegisterClassW(&wc) != 0;
}

BOOL CreateMainWindow(HINSTANCE instance, const wchar_t* commandLine)
{
    ModuleInstance = instance;
    g_pGlobalInfo = new (std::nothrow) GlobalInfo();
    if (g_pGlobalInfo == nullptr)
    {
        LogEvent(L"  CreateMainWindow: Failed to allocate memory for GlobalInfo.");
        return FALSE;
    }
    if (!g_pGlobalInfo->Init(commandLine, instance))
    {
        LogEvent(L"Tovrand GlobalInfo::Init() failed");
        delete g_pGlobalInfo;
        g_pGlobalInfo = nullptr;
        return FALSE;
    }
    // The dialog's class routes every message, WM_CREATE included, to MainWndProc: the sequence
    // starts inside this call.
    HWND dialog = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, nullptr, 0);
    if (dialog == nullptr)
    {
        LogEvent(L"Unable to create main window 0x%08X", GetLastError());
        delete g_pGlobalInfo;
        g_pGlobalInfo = nullptr;
        return FALSE;
    }
    CWString::InitClass(dialog, instance, 290, IDS_NOMEMORY, IDS_CAPTION);
    MainWindow = dialog;
    bool hidden = g_pGlobalInfo->Quiet || g_pGlobalInfo->Uninstall;
    ShowWindow(dialog, hidden ? SW_HIDE : SW_SHOWNORMAL);
    UpdateWindow(dialog);
    return TRUE;
}
