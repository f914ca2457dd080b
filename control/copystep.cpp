#include "control/copystep.h"

#include "base/alloc.h"
#include "base/log.h"
#include "context/globalinfo.h"
#include "context/locations.h"
#include "context/platform.h"
#include "control/entry.h"
#include "resources/resource.h"
#include "system/pendingrenames.h"
#include "system/removal.h"

CWStringArray* CopyList = nullptr;
int CopyIndex = 0;

namespace
{
bool IsCopyTarget(const wchar_t* path)
{
    for (int i = 1; CopyList != nullptr && i < CopyList->Count(); i += 2)
    {
        if (lstrcmpiW(CopyList->Get(i).Str(), path) == 0)
            return true;
    }
    return false;
}

void Fail(const char* format, const wchar_t* path)
{
    LogEvent(format, path);
    g_pGlobalInfo->Outcome.Fail(ERROR_INSTALL_FAILURE);
}
}  // namespace

CWStringArray* BuildCopyList(GlobalInfo* info)
{
    CWStringArray* list = NewNoThrow<CWStringArray>();
    if (list == nullptr)
    {
        LogEvent("  BuildCopyList: Failed to allocate memory for CWStringArray.");
        return nullptr;
    }
    bool installerGroup = info->OwnVersion >= info->InstalledTovrandVersion || info->ForceUpdate;
    bool driverGroup = info->NewDriverVersion >= info->InstalledDriverVersion || info->ForceUpdate;
    InstalledFile files[kInstalledSetFiles];
    int count = GetInstalledSet(info, false, files);
    CWString destination(kPathChars);
    CWString source(kPathChars);
    for (int i = 0; i < count; ++i)
    {
        JoinPath(destination, *files[i].dir, files[i].name);
        if (files[i].installer)
        {
            // Running from the shared folder itself: there is nothing to copy over.
            if (!installerGroup || LiesInDirectory(info->ModulePath.Str(), info->SharedDir.Str()))
                continue;
            source = info->ModulePath;
        }
        else
        {
            // A newer driver installed is kept, but the set it belongs to is made whole: a file an
            // earlier uninstall removed while the driver stayed loaded comes back.
            if (!driverGroup && IsExistingFile(destination.Str()))
                continue;
            JoinPath(source, info->TempDir, files[i].name);
        }
        list->Add(source.Str(), 0);
        list->Add(destination.Str(), 0);
    }
    if (list->Count() == 0)
    {
        delete list;
        return nullptr;
    }
    return list;
}

BOOL CopyOneFile(int index)
{
    CWString source(kFullPathChars);
    CWString destination(kFullPathChars);
    source = CopyList->Get(index);
    destination = CopyList->Get(index + 1);
    SetDlgItemTextW(MainWindow, IDC_FILENAME, destination.Str());
    ClearReadOnly(destination.Str());
    if (CopyFileW(source.Str(), destination.Str(), FALSE))
    {
        LogEvent("  File installed successfully: %s", destination.Str());
        return TRUE;
    }
    // In use (a loaded driver, a running installer): put the new file beside it and let the next
    // restart swap it in.
    CWString temporary(kFullPathChars);
    TemporaryOf(destination.Str(), temporary);
    // Only a temporary written by this run may be swapped in: a stale one (held open, or the disk
    // full) would put old bytes in place at the restart.
    if (!CopyFileW(source.Str(), temporary.Str(), FALSE))
    {
        LogEvent("  Error - Cannot copy %s to %s (%d), %s is not installed.", source.Str(), temporary.Str(),
                 static_cast<int>(GetLastError()), destination.Str());
        g_pGlobalInfo->Outcome.Fail(ERROR_INSTALL_FAILURE);
        return FALSE;
    }
    if (!MoveFileExW(temporary.Str(), destination.Str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT))
    {
        LogEvent("  Error - Cannot mark %s for rename on reboot (%d), %s is not installed.", temporary.Str(),
                 static_cast<int>(GetLastError()), destination.Str());
        DeleteFileW(temporary.Str());
        g_pGlobalInfo->Outcome.Fail(ERROR_INSTALL_FAILURE);
        return FALSE;
    }
    LogEvent("  Marked for rename on reboot: %s -> %s", temporary.Str(), destination.Str());
    g_pGlobalInfo->Outcome.RestartRequired();
    return FALSE;
}

void UnmarkCopyTarget(int index, BOOL written)
{
    CWString path(kFullPathChars);
    path = CopyList->Get(index);
    // A file written now makes an earlier run's replacement of it stale: at the restart it would put
    // the older bytes back. The replacement goes, and its temporary with it.
    CWString temporary(kFullPathChars);
    if (written)
        TemporaryOf(path.Str(), temporary);
    if (!UnMarkFilesForDeletion(path.Str(), written ? temporary.Str() : nullptr))
        Fail("  Error - Cannot withdraw what the next restart does to %s, the restart may remove it.", path.Str());
    if (written && IsExistingFile(temporary.Str()))
        DeleteFiles(temporary.Str(), TRUE);
}

void UnmarkKeptFiles(GlobalInfo* info)
{
    // What the run leaves in place and counts on must outlive the restart as much as what it wrote:
    // an earlier last uninstall may have scheduled its deletion (the driver still loaded, the shared
    // copy running).
    InstalledFile files[kInstalledSetFiles];
    int count = GetInstalledSet(info, false, files);
    CWString path(kPathChars);
    for (int i = 0; i < count; ++i)
    {
        JoinPath(path, *files[i].dir, files[i].name);
        if (IsCopyTarget(path.Str()) || !IsExistingFile(path.Str()))
            continue;
        if (!UnMarkFilesForDeletion(path.Str(), nullptr))
            Fail("  Error - Cannot withdraw the deletion of %s at the next restart.", path.Str());
    }
}
