#include "control/sequencer.h"

#include <commctrl.h>

#include "base/alloc.h"
#include "base/log.h"
#include "base/registry.h"
#include "context/globalinfo.h"
#include "context/locations.h"
#include "context/version.h"
#include "control/copystep.h"
#include "control/entry.h"
#include "resources/resource.h"
#include "system/payload.h"
#include "system/regkeykill.h"
#include "usage/qzreg.h"
#include "usage/regcheck.h"
#include "usage/uninstall.h"
#include "usage/usagecount.h"
#include "usage/usageupdate.h"

const wchar_t kMainWindowClass[] = L"PELLIMAR_INST_CLASS";

namespace
{
void Post(HWND window, UINT command)
{
    PostMessageW(window, WM_COMMAND, command, 0);
}

void SetProgress(HWND window, int maximum, int step)
{
    HWND bar = GetDlgItem(window, IDC_PROGRESS);
    SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, maximum));
    SendMessageW(bar, PBM_SETSTEP, step, 0);
}

void StepProgress(HWND window)
{
    SendMessageW(GetDlgItem(window, IDC_PROGRESS), PBM_STEPIT, 0, 0);
}

bool InstallMode(const GlobalInfo* info)
{
    return info != nullptr && !info->Uninstall && !info->UpdateOnly;
}

}  // namespace

// The counts are the truth: product keys without any count are left over from an earlier failure.
// Runs after an unreadable count was rebuilt: the registrations are no leftovers then.
void RemoveStalePellimarKey()
{
    DWORD count = 0;
    if (!GetUsageCounts(&count) || count != 0)
        return;
    CRegistryEntry key(HKEY_LOCAL_MACHINE, kPellimarKey, nullptr);
    int subKeys = key.GetSubKeyCount();
    if (subKeys == -1 || subKeys == 0)
        return;
    LogEvent("  *There are no SharedDlls refcounts yet we have %d subkeys.  Blasting Pellimar key.", subKeys);
    RemovePellimarKeyTree();
}

namespace
{
void PlaceWindow(HWND window)
{
    RECT rect;
    GetWindowRect(window, &rect);
    int x = (GetSystemMetrics(SM_CXSCREEN) - (rect.right - rect.left)) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - (rect.bottom - rect.top)) / 3;
    SetWindowPos(window, HWND_TOP, x, y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
}

// Why an install or update cannot be done at all, found before anything is changed; 0 when it can.
DWORD CannotInstall(GlobalInfo* info)
{
    if (info == nullptr || info->Uninstall || (info->UpdateOnly && !info->DriverFound))
        return 0;
    // Without these folders no payload was written, or the installer's copy, its uninstall entry or the
    // manifests would have no place: the chain would count the product and report success with half
    // the set missing.
    if (info->MakerDir.IsEmpty())
    {
        LogEvent("  Error - No Norvatek directory, nothing can be installed.");
        return ERROR_CANNOT_MAKE;
    }
    if (info->SharedDir.IsEmpty())
    {
        LogEvent("  Error - No Norvatek Shared directory, nothing can be installed.");
        return ERROR_CANNOT_MAKE;
    }
    if (info->KvManifest && info->KvManifestsDir.IsEmpty())
    {
        LogEvent("  Error - No manifests directory, nothing can be installed.");
        return ERROR_CANNOT_MAKE;
    }
    // Taken as 0, an unreadable count would make the other products' registrations look like
    // leftovers, and the run would blast them.
    if (RebuildUnreadableUsageCount() != ERROR_SUCCESS)
    {
        LogEvent("  Error - The usage count can be neither read nor rebuilt, nothing is changed.");
        return ERROR_INSTALL_FAILURE;
    }
    if (KeptSetIncomplete(info))
        return ERROR_INSTALL_FAILURE;
    return 0;
}

void OnCreate(HWND window)
{
    LogEvent("BEGIN - WM_CREATE");
    PlaceWindow(window);
    GlobalInfo* info = g_pGlobalInfo;
    DWORD error = CannotInstall(info);
    if (error != 0)
    {
        // The run ends here, before anything changes, and the caller learns it from the exit code.
        info->Outcome.Fail(error);
        PostMessageW(window, WM_CLOSE, 0, 0);
        LogEvent("END - WM_CREATE");
        return;
    }
    if (InstallMode(g_pGlobalInfo))
    {
        RemoveStalePellimarKey();
        CheckOldInstalledTovrand();
    }
    Post(window, IDM_CHECKUSAGEUPDATE);
    LogEvent("END - WM_CREATE");
}

void OnCheckUsageUpdate(HWND window)
{
    GlobalInfo* info = g_pGlobalInfo;
    LogEvent("BEGIN - IDM_CHECKUSAGEUPDATE");
    if (info->UpdateOnly && !info->DriverFound)
    {
        LogEvent("  UpdateOnly mode, no previous PELLIMAR, no action taken");
        Post(window, IDM_ALLDONE);
    }
    else if (!CheckUsageCountUpdates())
    {
        LogEvent("  Error - CheckUsageCountUpdates()");
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
    else if (!info->Uninstall)
    {
        Post(window, IDM_PREPARECOPY);
    }
    else if (info->UpdateRefCounts)
    {
        Post(window, IDM_UNINSTALL_UI);
    }
    else
    {
        LogEvent("  Not decrementing any usage counts, we're done.");
        Post(window, IDM_ALLDONE);
    }
    LogEvent("END - IDM_CHECKUSAGECOUNTUPDATE");
}

void OnCopyFile(HWND window)
{
    LogEvent("BEGIN - IDM_COPYFILE");
    StepProgress(window);
    if (CopyList != nullptr && CopyIndex < CopyList->Count())
    {
        LogEvent("  Copying file %s", CopyList->Get(CopyIndex).Str());
        BOOL written = CopyOneFile(CopyIndex);
        UnmarkCopyTarget(CopyIndex + 1, written);
        CopyIndex += 2;
        Post(window, IDM_COPYFILE);
    }
    else
    {
        UnmarkKeptFiles(g_pGlobalInfo);
        Post(window, IDM_UPDATEUSAGE);
    }
    LogEvent("END - IDM_COPYFILE");
}

UINT ClosingTextId(const GlobalInfo* info)
{
    if (info->Outcome.Failed())
        return IDS_FAILED;
    if (info->Uninstall)
        return info->UpdateRefCounts ? IDS_UNINSTALLED : IDS_NOTHING_LOWERED;
    if (info->UpdateOnly && !info->DriverFound)
        return IDS_NOT_PRESENT;
    return info->Outcome.NeedsRestart() ? IDS_UPDATED_REBOOT : IDS_UPDATED;
}

void OnAllDone(HWND window)
{
    GlobalInfo* info = g_pGlobalInfo;
    LogEvent("BEGIN - IDM_ALLDONE");
    if (!info->Quiet)
    {
        wchar_t caption[kTextChars] = L"";
        wchar_t text[kTextChars] = L"";
        LoadStringW(ModuleInstance, IDS_CAPTION, caption, kTextChars);
        LoadStringW(ModuleInstance, ClosingTextId(info), text, kTextChars);
        MessageBoxW(window, text, caption, MB_OK);
    }
    LogEvent("END - IDM_ALLDONE");
    PostMessageW(window, WM_CLOSE, 0, 0);
}

void OnClose()
{
    GlobalInfo* info = g_pGlobalInfo;
    if (info == nullptr)
        return;
    RemoveExtractedFiles(info);
    if (info->Uninstall && IsExistingDirectory(info->MakerDir.Str()))
    {
        // Removed only when the uninstall left it empty.
        if (!RemoveDirectoryW(info->MakerDir.Str()))
            LogEvent("Cannot delete Norvatek directory (%d).", static_cast<int>(GetLastError()));
    }
}

// Returns true when the command was one of ours.
bool OnCommand(HWND window, UINT command)
{
    switch (command)
    {
    case IDCANCEL:
        PostMessageW(window, WM_CLOSE, 0, 0);
        return true;
    case IDM_CHECKUSAGEUPDATE:
        OnCheckUsageUpdate(window);
        return true;
    case IDM_PREPARECOPY:
    case IDM_PREPARECOPY_ALIAS:
        LogEvent("BEGIN - IDM_PREPARECOPY");
        PrepareCopy(window);
        Post(window, IDM_STARTCOPY);
        LogEvent("END - IDM_PREPARECOPY");
        return true;
    case IDM_STARTCOPY:
        LogEvent("BEGIN - IDM_STARTCOPY");
        CopyIndex = 0;
        LogEvent("END - IDM_STARTCOPY");
        Post(window, IDM_COPYFILE);
        return true;
    case IDM_COPYFILE:
        OnCopyFile(window);
        return true;
    case IDM_UPDATEUSAGE:
        LogEvent("BEGIN - IDM_UPDATEUSAGE");
        UpdateUsageCounts();
        if (!g_pGlobalInfo->Outcome.Failed())
            RestoreRemovedTargets(g_pGlobalInfo);
        Post(window, IDM_QZREGISTER);
        LogEvent("END - IDM_UPDATEUSAGE");
        return true;
    case IDM_QZREGISTER:
        LogEvent("BEGIN - IDM_QZREGISTER");
        if (g_pGlobalInfo->NoRegQz)
            LogEvent("  /NoRegQZ switch used.  Not registering with Quazel.");
        else
            RegisterWithQZ();
        Post(window, IDM_ALLDONE);
        LogEvent("END - IDM_QZREGISTER");
        return true;
    case IDM_UNINSTALL_UI:
    {
        LogEvent("BEGIN - IDM_UNINSTALL_UI");
        ShowWindow(GetDlgItem(window, IDC_FILENAME), SW_HIDE);
        wchar_t text[kTextChars] = L"";
        LoadStringW(ModuleInstance, IDS_UNINSTALLING, text, kTextChars);
        SetDlgItemTextW(window, IDC_STATUS, text);
        UpdateWindow(window);
        LogEvent("END - IDM_UNINSTALL_UI");
        Post(window, IDM_UNINSTALL);
        return true;
    }
    case IDM_UNINSTALL:
        LogEvent("BEGIN - IDM_UNINSTALL");
        SetProgress(window, 100, 100);
        UninstallPellimar();
        StepProgress(window);
        Post(window, IDM_ALLDONE);
        LogEvent("END - IDM_UNINSTALL");
        return true;
    case IDM_ALLDONE:
        OnAllDone(window);
        return true;
    }
    return false;
}
}  // namespace

LRESULT PrepareCopy(HWND window)
{
    CopyList = BuildCopyList(g_pGlobalInfo);
    if (CopyList != nullptr)
    {
        // Two entries a file and one step of 10 per IDM_COPYFILE, the last that finds nothing left
        // included: n files fill a range of 10 * (n + 1) exactly.
        int maximum = (CopyList->Count() * 5 + 10) & 0xFFFF;
        SetProgress(window, maximum, 10);
    }
    else
    {
        SetProgress(window, 100, 100);
    }
    return 0;
}

void CheckOldInstalledTovrand()
{
    GlobalInfo* info = g_pGlobalInfo;
    if (!InstallMode(info))
        return;
    CWString path(kPathChars);
    if (!ReadInstalledTovrandPath(path) || !IsExistingFile(path.Str()))
        return;
    // Copies before 12.8.0.12 stay loaded until a restart.
    ULONGLONG installed = ReadFileVersion(path.Str());
    if (installed != 0 && installed < MakeVersionQuad(MAKELONG(8, 12), MAKELONG(12, 0)))
    {
        LogEvent("  Installed %s is less than 12.8.0.12.  Setting reboot flag.", kInstallerFileName);
        info->Outcome.RestartRequired();
    }
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_CREATE:
        OnCreate(window);
        return 1;
    case WM_COMMAND:
        OnCommand(window, LOWORD(wParam));
        break;
    case WM_CLOSE:
        OnClose();
        break;
    case WM_DESTROY:
        delete CopyList;
        CopyList = nullptr;
        PostQuitMessage(0);
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
