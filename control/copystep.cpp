#include "control/copystep.h"

#include "base/alloc.h"
#include "base/buildversion.h"
#include "base/log.h"
#include "context/globalinfo.h"
#include "context/locations.h"
#include "context/platform.h"
#include "context/version.h"
#include "control/entry.h"
#include "resources/resource.h"
#include "system/pendingrenames.h"
#include "system/removal.h"
#include "system/service.h"

CWStringArray* CopyList = nullptr;
int CopyIndex = 0;

namespace
{
bool IsCopyTarget(const wchar_t* path)
{
    for (int i = 1; CopyList != nullptr && i < CopyList->Count(); i += 2)
    {
        if (SameNoCase(CopyList->Get(i).Str(), path))
            return true;
    }
    return false;
}

void Fail(const char* format, const wchar_t* path)
{
    LogEvent(format, path);
    g_pGlobalInfo->Outcome.Fail(ERROR_INSTALL_FAILURE);
}

// The version of a replacement of ours that waits for the restart to take path's place; 0 when none does.
ULONGLONG WaitingVersion(const wchar_t* path)
{
    CWString temporary(kPathChars);
    TemporaryOf(path, temporary);
    ULONGLONG version = IsPendingPair(path, temporary.Str()) ? ReadFileVersion(temporary.Str()) : 0;
    if (version != 0)
        LogEvent("  %s waits for the restart to replace %s: version %d.%d.%d.%d.", temporary.Str(), path,
                 VersionPart(version, 0), VersionPart(version, 1), VersionPart(version, 2), VersionPart(version, 3));
    return version;
}

// The run keeps a newer file that waits for the restart: it relies on that restart.
void KeepWaiting(const wchar_t* path)
{
    LogEvent("  The newer %s waiting for the restart stays, a restart is needed.", path);
    g_pGlobalInfo->Outcome.RestartRequired();
}
}  // namespace

void ApplyPendingRenames(GlobalInfo* info)
{
    // What the next restart does to a file of ours decides what the machine holds after it. A driver
    // whose deletion waits there was left by its last product and is no installed version to keep: the
    // install puts its own whole set in place, so that the set is of one version after the restart.
    if (IsExistingFile(info->Layout.driverImage) && IsPendingPair(info->Layout.driverImage, nullptr))
    {
        LogEvent("  %s is deleted at the restart, it is no installed driver to keep.", info->Layout.driverImage);
        info->InstalledDriverVersion = 0;
    }
    // A replacement of ours that waits there is the version that will be installed.
    ULONGLONG waiting = WaitingVersion(info->Layout.driverImage);
    if (waiting != 0)
    {
        info->InstalledDriverVersion = waiting;
        info->DriverReplacementPending = TRUE;
        if (info->NewDriverVersion == 0)
        {
            CWString payload(kPathChars);
            JoinPath(payload, info->TempDir, kDriverSysName);
            info->NewDriverVersion = ReadFileVersion(payload.Str());
        }
    }
    waiting = info->SharedDir.IsEmpty() ? 0 : WaitingVersion(info->Layout.installerCopy);
    if (waiting != 0)
    {
        info->InstalledTovrandVersion = waiting;
        info->InstallerReplacementPending = TRUE;
    }
}

BOOL TakesDriverGroup(const GlobalInfo* info)
{
    return info->NewDriverVersion >= info->InstalledDriverVersion || info->ForceUpdate;
}

BOOL KeptSetIncomplete(GlobalInfo* info)
{
    if (TakesDriverGroup(info))
        return FALSE;
    // A newer driver is kept with the set it came with. Written beside it, the older payload's INF,
    // catalogue and manifests would make a set of two versions that looks whole and that no check can
    // verify; a kept set that lacks one of its files is named instead, and nothing is installed.
    InstalledFile files[kInstalledSetFiles];
    int count = GetInstalledSet(info, false, files);
    CWString path(kPathChars);
    CWString temporary(kPathChars);
    BOOL incomplete = FALSE;
    for (int i = 0; i < count; ++i)
    {
        JoinPath(path, *files[i].dir, files[i].name);
        TemporaryOf(path.Str(), temporary);
        if (files[i].installer || IsExistingFile(path.Str()) || IsPendingPair(path.Str(), temporary.Str()))
            continue;
        ULONGLONG v = info->InstalledDriverVersion;
        LogEvent("  Error - %s is missing beside the newer driver %d.%d.%d.%d: only a setup of that driver can put "
                 "it back.",
                 path.Str(), VersionPart(v, 0), VersionPart(v, 1), VersionPart(v, 2), VersionPart(v, 3));
        incomplete = TRUE;
    }
    return incomplete;
}

CWStringArray* BuildCopyList(GlobalInfo* info)
{
    CWStringArray* list = NewNoThrow<CWStringArray>();
    if (list == nullptr)
    {
        LogEvent("  BuildCopyList: Failed to allocate memory for CWStringArray.");
        return nullptr;
    }
    bool installerGroup = info->OwnVersion >= info->InstalledTovrandVersion || info->ForceUpdate;
    bool driverGroup = TakesDriverGroup(info) != FALSE;
    if (!installerGroup && info->InstallerReplacementPending)
        KeepWaiting(info->Layout.installerCopy);
    if (!driverGroup && info->DriverReplacementPending)
        KeepWaiting(info->Layout.driverImage);
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
            // Only the held file is the program that runs: any other could have been put under its name.
            if (RunningImage == nullptr)
            {
                LogEvent("  Error - %s is not installed: the running program's file is not held.", destination.Str());
                info->Outcome.Fail(ERROR_INSTALL_FAILURE);
                continue;
            }
            source = info->ModulePath;
        }
        else
        {
            // A newer driver is kept with its own set, which the start-up found whole.
            if (!driverGroup)
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
    // A directory in the file's place is no file in use: the restart could not rename anything onto it
    // either, and a replacement scheduled for it would report a success that never comes.
    if (IsExistingDirectory(destination.Str()))
    {
        LogEvent("  Error - A directory stands where %s belongs, it is not installed.", destination.Str());
        g_pGlobalInfo->Outcome.Fail(ERROR_INSTALL_FAILURE);
        return FALSE;
    }
    ClearReadOnly(destination.Str());
    BOOL copied = CopyFileW(source.Str(), destination.Str(), FALSE);
    // Another run's last uninstall may have removed our folders meanwhile (the lock keeps it out only for a
    // few seconds): they are made again.
    if (!copied && GetLastError() == ERROR_PATH_NOT_FOUND && DetermineSharedDir(g_pGlobalInfo, TRUE) &&
        (!g_pGlobalInfo->KvManifest || PrepareKvManifestsDir(g_pGlobalInfo, TRUE)))
        copied = CopyFileW(source.Str(), destination.Str(), FALSE);
    if (copied)
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

void RestoreRemovedTargets(GlobalInfo* info)
{
    // The lock keeps other runs out only for a few seconds. Once this run's count is written, another
    // run's last uninstall leaves the driver alone; what such a run took away before (it saw no count
    // then) is put back now, from this run's payload, folders included.
    for (int i = 0; CopyList != nullptr && i + 1 < CopyList->Count(); i += 2)
    {
        CWString target(kFullPathChars);
        target = CopyList->Get(i + 1);
        if (IsExistingFile(target.Str()))
            continue;
        LogEvent("  %s was removed by another run meanwhile, copying it again.", target.Str());
        UnmarkCopyTarget(i + 1, CopyOneFile(i));
    }
    CPellimarSCM scm;
    if (scm.ServiceExists() != ERROR_SUCCESS)
    {
        LogEvent("  The Pellimar service was removed by another run meanwhile, creating it again.");
        LogEvent("  InstallService returned %08X", scm.InstallService(info->Layout.driverImage));
    }
}
