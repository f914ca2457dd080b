#include "control/entry.h"

#include <commctrl.h>

#include "base/alloc.h"
#include "base/log.h"
#include "base/registry.h"
#include "base/sysdll.h"
#include "context/globalinfo.h"
#include "context/locations.h"
#include "context/version.h"
#include "control/sequencer.h"
#include "resources/resource.h"

HINSTANCE ModuleInstance = nullptr;
HWND MainWindow = nullptr;
DWORD RunResult = 0;
BOOL DeleteSelfAtExit = FALSE;
HANDLE RunningMutex = nullptr;

namespace
{
const DWORD kMutexWaitMs = 5000;
const DWORD kCannotStart = 99;
}  // namespace

BOOL ReadInstalledTovrandPath(CWString& path)
{
    // A value that is empty, of another type or too long would make a relative or cut path, and the
    // file found there would be started with administrator rights: such a value is no value.
    CRegistryEntry entry(HKEY_LOCAL_MACHINE, kCurrentVersionKey, L"CommonFilesDir");
    if (ReadFolderValue(&entry, kDeepestBelowCommonFiles, path) != ERROR_SUCCESS)
        return FALSE;
    path.AppendPathComponent(kSharedDirName);
    path.AppendPathComponent(kInstallerFileName);
    return TRUE;
}

BOOL IsInstalledTovrandNewer(CWString& path, int capacity)
{
    CWString candidate(260);
    if (!ReadInstalledTovrandPath(candidate) || !IsExistingFile(candidate.Str()))
        return FALSE;
    CVersionResource version(candidate.Str());
    DWORD ms = 0;
    DWORD ls = 0;
    if (version.IntializeData() != 0 || version.GetFileVersion(&ms, &ls) != 0)
        return FALSE;
    ULONGLONG own = kBuildVersion;
    LogEvent(L"Installed:%d.%d.%d.%d  This: %d.%d.%d.%d", HIWORD(ms), LOWORD(ms), HIWORD(ls), LOWORD(ls),
             VersionPart(own, 0), VersionPart(own, 1), VersionPart(own, 2), VersionPart(own, 3));
    if (version.CompareFileVersion(static_cast<DWORD>(own >> 32), static_cast<DWORD>(own)) != 1)
        return FALSE;
    if (candidate.Length() >= capacity)
        return FALSE;   // cannot be handed over whole: serve the request here
    path = candidate.Str();
    return TRUE;
}

DWORD LaunchAndWaitWithReturn(const wchar_t* application, const wchar_t* commandLine)
{
    LogEvent(L"LaunchAndWaitWithReturn( %s, %s );", application != nullptr ? application : L"(null)",
             commandLine != nullptr ? commandLine : L"(null)");
    DWORD exitCode = kCannotStart;
    // CreateProcessW may write into the command line: give it a copy of its own.
    CWString writable(commandLine != nullptr ? lstrlenW(commandLine) + 1 : 1);
    writable = commandLine != nullptr ? commandLine : L"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (CreateProcessW(application, writable.Buffer(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                       nullptr, &si, &pi))
    {
        WaitForSingleObject(pi.hProcess, INFINITE);
        GetExitCodeProcess(pi.hProcess, &exitCode);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    return exitCode;
}

DWORD RunNewerTovrand(const wchar_t* path, const wchar_t* commandLine)
{
    CWString built(lstrlenW(path) + lstrlenW(commandLine) + 8);
    built = L"\"";
    built.Append(path);
    built.Append(L"\" ");
    built.Append(commandLine);
    LogEvent(L"CommandLine from lpCmdLine       : %s", commandLine);
    LogEvent(L"Full built CmdLine passed over   : %s", built.Str());
    DWORD result = LaunchAndWaitWithReturn(nullptr, built.Str());
    LogEvent(L"Newer Tovrand returned %d.  Returning the same.", static_cast<int>(result));
    return result;
}

void AcquireRunningMutex()
{
    LogEvent(L"Acquiring %s mutex...", kRunningMutexName);
    RunningMutex = CreateMutexW(nullptr, FALSE, kRunningMutexName);
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
    if (hresult && runResult == ERROR_INVALID_COMMAND_LINE)
    {
        DWORD code = HRESULT_FROM_WIN32(ERROR_INVALID_COMMAND_LINE);
        LogEvent(L"Returning: HRESULT_FROM_WIN32(ERROR_INVALID_COMMAND_LINE) (0x%X)", code);
        return code;
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
    g_pGlobalInfo = NewNoThrow<GlobalInfo>();
    if (g_pGlobalInfo == nullptr)
    {
        LogEvent(L"  CreateMainWindow: Failed to allocate memory for GlobalInfo.");
        RunResult = MapRunResult(ERROR_INSTALL_FAILURE, FALSE);
        return FALSE;
    }
    if (!g_pGlobalInfo->Init(commandLine, instance))
    {
        LogEvent(L"Tovrand GlobalInfo::Init() failed");
        // The request was left undone, and the caller has to learn it from the exit code. Only an
        // unsupported system leaves the result at 0: setups there rely on going on.
        if (RunResult != 0)
            RunResult = MapRunResult(RunResult, g_pGlobalInfo->HResult);
        delete g_pGlobalInfo;
        g_pGlobalInfo = nullptr;
        return FALSE;
    }
    // The progress bar's window class lives in the common controls, taken from the system directory.
    HMODULE controls = LoadSystemLibrary(L"comctl32.dll");
    typedef BOOL(WINAPI * InitControlsFn)(const INITCOMMONCONTROLSEX*);
    InitControlsFn initControls =
        controls != nullptr ? reinterpret_cast<InitControlsFn>(GetProcAddress(controls, "InitCommonControlsEx"))
                            : nullptr;
    if (initControls != nullptr)
    {
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_PROGRESS_CLASS};
        initControls(&icc);
    }
    // The dialog's class routes every message, WM_CREATE included, to MainWndProc: the sequence
    // starts inside this call.
    HWND dialog = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, nullptr, 0);
    if (dialog == nullptr)
    {
        LogEvent(L"Unable to create main window 0x%08X", GetLastError());
        RunResult = MapRunResult(ERROR_INSTALL_FAILURE, g_pGlobalInfo->HResult);
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
