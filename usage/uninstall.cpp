#include "usage/uninstall.h"

#include "base/files.h"
#include "base/log.h"
#include "base/registry.h"
#include "context/globalinfo.h"
#include "context/locations.h"
#include "system/regkeykill.h"
#include "system/removal.h"
#include "system/pendingrenames.h"
#include "system/service.h"
#include "usage/qzreg.h"
#include "usage/uninstallentry.h"
#include "usage/usagecount.h"

namespace
{
const wchar_t kLegacyDeviceKey[] = L"SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_PELLIMAR";

// The count of a driver copy once the product's use is released: a count that reaches 0 (or was 0) is
// deleted; no count stays none.
DWORD Lowered(DWORD count)
{
    return count == kNoCount || count <= 1 ? kNoCount : count - 1;
}

// What the release left of a count, as the rest of the uninstall reads it: kNoCount when there was no
// count at all, 0 when it reached 0.
DWORD Released(const CountChange& change, int i)
{
    if (change.before[i] == kNoCount)
        return kNoCount;
    return change.after[i] == kNoCount ? 0 : change.after[i];
}

// Lowers both counts of the product's use, with the change recorded in its registration key first: a run
// stopped after this point is finished by the next one, which finds the counts lowered and does not
// lower them again. FALSE (logged, the run failed) when nothing could be released and nothing changed.
BOOL ReleaseUse(GlobalInfo* info, CountChange* change)
{
    int type1 = -1;
    int type2 = -1;
    DWORD before1 = ReadDriverCount(info->Layout.driverImage, &type1);
    DWORD before2 = ReadDriverCount(info->Layout.makerDriverImage, &type2);
    *change = {0, {0, 0}, TRUE, {before1, before2}, {Lowered(before1), Lowered(before2)}};
    LONG rc = BeginCountChange(info->AppId.Str(), change);
    if (rc != ERROR_SUCCESS)
    {
        LogEvent("  Error - Cannot write to the registration of %s (%d), its usage count is not lowered.",
                 info->AppId.Str(), static_cast<int>(rc));
        info->Outcome.Fail(ERROR_INSTALL_FAILURE);
        return FALSE;
    }
    // Only a count that is missing or unreadable is no count. One that could not be written still holds
    // this product's use: nothing shared may go, and the counts stay as they were, so that a later run
    // can lower them.
    BOOL failed = FALSE;
    LowerFileUsage(info->Layout.driverImage, &failed);
    if (!failed)
    {
        LowerFileUsage(info->Layout.makerDriverImage, &failed);
        // Both counts are one use: the first goes back up.
        if (failed && before1 != kNoCount &&
            RestoreFileUsage(info->Layout.driverImage, before1, type1) != ERROR_SUCCESS)
        {
            LogEvent("  Error - The usage count %s could not be put back, the same command finishes the "
                     "uninstall.", kDriverSysName);
            info->Outcome.Fail(ERROR_INSTALL_FAILURE);
            return FALSE;
        }
    }
    if (failed)
    {
        EndCountChange(info->AppId.Str());
        LogEvent("  Error - The usage count could not be lowered, %s stays registered and nothing is removed.",
                 info->AppId.Str());
        info->Outcome.Fail(ERROR_INSTALL_FAILURE);
        return FALSE;
    }
    return TRUE;
}

// Whether the driver is still unused. The lock keeps other installer runs out only for a few seconds: a
// product's install that waited for it in vain may have counted the driver since this run released it,
// and then everything it uses stays.
bool StillUnused()
{
    if (!IsDriverCounted())
        return true;
    LogEvent("  *Pellimar is counted again meanwhile: what another product uses stays.");
    return false;
}

// The product's registration goes last: while it stays, with its released change, the same command can
// finish whatever the uninstall could not.
void RemoveOwnRegistration(GlobalInfo* info)
{
    LONG rc = RemoveRegistrationKey(info->AppId.Str());
    if (rc == ERROR_SUCCESS)
        return;
    LogEvent("  Error - Cannot remove the registration of %s (%d), the same command finishes the uninstall.",
             info->AppId.Str(), static_cast<int>(rc));
    info->Outcome.Fail(ERROR_INSTALL_FAILURE);
}

void DeleteIfFile(const CWString& directory, const wchar_t* name)
{
    // An empty directory would name a file in the current directory: JoinPath gives no path then.
    CWString path(kPathChars);
    if (JoinPath(path, directory, name) && IsExistingFile(path.Str()))
    {
        // Our own file: a read-only attribute must not leave it behind as "in use".
        ClearReadOnly(path.Str());
        DeleteFiles(path.Str(), FALSE);
    }
}

void RemoveLegacyDeviceKey()
{
    CRegistryEntry key(HKEY_LOCAL_MACHINE, kLegacyDeviceKey, nullptr);
    if (key.DeleteKey(TRUE) || GetLastError() == ERROR_FILE_NOT_FOUND)
        return;
    RegKeyKill killer;
    if (!killer.Initialize() || !killer.BlastKey(TRUE, HKEY_LOCAL_MACHINE, kLegacyDeviceKey))
        LogEvent("Failed to delete LEGACY_PELLIMAR registry key!  Last Error = %u", GetLastError());
}

// An earlier install that met a file in use left its replacement to the restart: after the last
// uninstall it would put a file back that nobody counts. The replacements go, and their temporaries.
void WithdrawOurReplacements(GlobalInfo* info)
{
    InstalledFile files[kInstalledSetFiles];
    int count = GetInstalledSet(info, true, files);
    CWString paths[kInstalledSetFiles];
    for (int i = 0; i < count; ++i)
        JoinPath(paths[i], *files[i].dir, files[i].name);
    if (!WithdrawReplacements(paths, count))
    {
        LogEvent("  Error - Cannot withdraw the replacement of our files at the next restart.");
        info->Outcome.Fail(ERROR_INSTALL_FAILURE);
    }
    CWString temporary(kPathChars);
    for (int i = 0; i < count; ++i)
    {
        TemporaryOf(paths[i].Str(), temporary);
        if (!IsExistingFile(temporary.Str()))
            continue;
        ClearReadOnly(temporary.Str());
        if (DeleteFiles(temporary.Str(), TRUE))
            info->Outcome.RestartRequired();
    }
}

// Everything of the driver but its images, which their counts' release deleted. Each part goes only while
// the driver is still unused. FALSE when another product counts it again.
bool RemoveDriverLeftovers(GlobalInfo* info)
{
    WithdrawOurReplacements(info);
    if (!StillUnused())
        return false;

    CPellimarSCM scm;
    BOOL remains = FALSE;
    DWORD result = scm.RemoveService(&remains);
    if (result == ERROR_SERVICE_MARKED_FOR_DELETE)
        LogEvent("  Service already marked for deletion.");
    else
        LogEvent("  RemoveService returned: 0x%08X", result);
    // A service that somebody still holds, or whose driver is loaded, stays marked until the restart: the
    // uninstall is finished only then.
    if (remains)
    {
        LogEvent("  The Pellimar service is removed at the next restart.");
        info->Outcome.RestartRequired();
    }

    RemoveLegacyDeviceKey();

    DeleteIfFile(info->KvManifestsDir, kManifestKvmName);
    DeleteIfFile(info->KvManifestsDir, kManifestGrdName);
    DeleteIfFile(info->KvManifestsDir, kManifestSigName);
    if (!info->KvManifestsDir.IsEmpty() && IsExistingDirectory(info->KvManifestsDir.Str()) &&
        !RemoveDirectoryW(info->KvManifestsDir.Str()))
        LogEvent("  Cannot remove directory: %s, Error %d (probably still files in it)", info->KvManifestsDir.Str(),
                 static_cast<int>(GetLastError()));
    LogEvent("  Removed Kevault Manifests.");

    DeleteIfFile(info->MakerDir, kDriverInfName);
    DeleteIfFile(info->MakerDir, kDriverCatName);
    DeleteIfFile(info->DriversDir, kDriverInfName);
    DeleteIfFile(info->DriversDir, kDriverCatName);
    LogEvent("  Removed CAT and INF files");

    if (info->NoRegQz)
        LogEvent("  /NoRegQZ switch used.  Not unregistering from Quazel.");
    else
        UnRegisterWithQZ();
    return StillUnused();
}

void RemoveInstallerCopy(GlobalInfo* info)
{
    LogEvent("  Setting Tovrand delete to TRUE");
    info->Outcome.DeleteInstallerAtEnd();
    const wchar_t* copy = info->Layout.installerCopy;
    if (!info->SharedDir.IsEmpty() && ClearReadOnly(copy))
    {
        LogEvent("  Tovrand attributes okay.  Attempting to delete the copy in the Norvatek Shared folder.");
        // The running copy is deleted by the self-delete at the end of the run; any other copy that is
        // in use waits for the restart, which the run then asks for.
        if (DeleteFiles(copy, TRUE) && !IsSameFile(copy, info->ModulePath.Str()))
            info->Outcome.RestartRequired();
        RemoveSharedDirectory();
    }
    else
    {
        LogEvent("  Unable to check/set tovrand attributes");
    }
    RemoveUninstallKey();
    RemoveInstallerUsage();
}
}  // namespace

void RemovePellimarKeyTree()
{
    CRegistryEntry key(HKEY_LOCAL_MACHINE, kPellimarKey, nullptr);
    if (key.DeleteKey(TRUE))
    {
        LogEvent("  Successfully deleted Pellimar regkey and subkeys using standard methods.");
        return;
    }
    LogEvent("  Failed to delete Pellimar regkey and subkeys using standard methods.");
    RegKeyKill killer;
    if (!killer.Initialize())
        LogEvent("  Failed to Initialize RegKeyKill object.");
    else if (killer.BlastKey(TRUE, HKEY_LOCAL_MACHINE, kPellimarKey))
        LogEvent("  Successfully deleted Pellimar regkey and subkeys using RegKeyKill.");
    else
        LogEvent("  Failed to delete Pellimar regkey and subkeys using RegKeyKill.");
}

void UninstallPellimar()
{
    GlobalInfo* info = g_pGlobalInfo;
    // Released as it is, an unreadable count would make this product look like the last user.
    if (RebuildUnreadableUsageCount() != ERROR_SUCCESS)
    {
        LogEvent("  Error - The usage count could not be lowered, %s stays registered and nothing is removed.",
                 info->AppId.Str());
        info->Outcome.Fail(ERROR_INSTALL_FAILURE);
        return;
    }
    // An earlier run of this command that released the use and stopped left its change: what it owed is
    // done now, without lowering the counts a second time.
    CountChange change;
    BOOL resumed = ReadCountChange(info->AppId.Str(), &change) == ERROR_SUCCESS && change.release;
    if (!resumed && !ReleaseUse(info, &change))
        return;
    DWORD r1 = Released(change, 0);
    DWORD r2 = Released(change, 1);
    FinishFileRelease(info->Layout.driverImage, info->AppId.Str(), r1, info->NoDel);
    FinishFileRelease(info->Layout.makerDriverImage, info->AppId.Str(), r2, info->NoDel);
    if (r1 == kNoCount)
        r1 = 0;
    if (r2 == kNoCount)
        r2 = 0;

    if (r1 != 0 || r2 != 0)
    {
        if (change.before[0] != kNoCount)
        {
            LogEvent("  Old RefCount: System32\\Drivers\\%s: %d", kDriverSysName, static_cast<int>(change.before[0]));
            LogEvent("  New RefCount: System32\\Drivers\\%s: %d", kDriverSysName, static_cast<int>(r1));
        }
        if (change.before[1] != kNoCount)
        {
            LogEvent("  Old RefCount: Norvatek\\%s: %d", kDriverSysName, static_cast<int>(change.before[1]));
            LogEvent("  New RefCount: Norvatek\\%s: %d", kDriverSysName, static_cast<int>(r2));
        }
    }
    if (r1 != 0 || r2 != 0 || info->NoDel)
    {
        RemoveOwnRegistration(info);
        CRegistryEntry pellimar(HKEY_LOCAL_MACHINE, kPellimarKey, nullptr);
        if (pellimar.GetSubKeyCount() == 0)
            pellimar.DeleteKey(TRUE);
        return;
    }

    // The last product: everything goes, unless another product's install counts the driver again
    // meanwhile. What could not be done keeps the product registered, so that the same command finishes it.
    bool unused = RemoveDriverLeftovers(info);
    if (info->Outcome.Failed())
    {
        LogEvent("  Error - The uninstall of %s is not finished, the same command finishes it.", info->AppId.Str());
        return;
    }
    if (unused)
        RemoveInstallerCopy(info);
    if (!unused || !StillUnused())
    {
        RemoveOwnRegistration(info);
        return;
    }
    CRegistryEntry pellimar(HKEY_LOCAL_MACHINE, kPellimarKey, nullptr);
    int others = pellimar.GetSubKeyCount() - 1;
    if (others > 0)
        LogEvent("  *There are no SharedDlls refcounts yet we have %d subkeys.  Blasting Pellimar key.", others);
    RemovePellimarKeyTree();
}
