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

// A driver count as it was before the release, and its type, to put it back when the release cannot
// be finished.
struct CountBefore
{
    DWORD count;
    int type;
};

CountBefore CountBeforeRelease(const wchar_t* valueName)
{
    CountBefore before = {kNoCount, -1};
    before.count = ReadDriverCount(valueName, &before.type);
    return before;
}

// The product's registration says that its use is not released yet. It goes first: once it is gone no
// later run can release the same use again, whatever happens to the counts.
BOOL RemoveRegistration(GlobalInfo* info)
{
    CWString productKey(kCountNameChars);
    RegistrationKeyOf(info->AppId.Str(), productKey);
    CRegistryEntry product(HKEY_LOCAL_MACHINE, productKey.Str(), nullptr);
    if (product.DeleteKey(TRUE))
        return TRUE;
    LogEvent("  Error - Cannot remove the registration of %s (%d), its usage count is not lowered.",
             info->AppId.Str(), static_cast<int>(GetLastError()));
    return FALSE;
}

// Puts the registration back after its release could not be finished: the count still holds the
// product's use, and so must the registration, so that the same command can finish the job later.
void RestoreRegistration(GlobalInfo* info)
{
    LONG rc = WriteRegistration(info->AppId.Str());
    if (rc == ERROR_SUCCESS)
        LogEvent("  Error - The usage count could not be lowered, %s stays registered and nothing is removed.",
                 info->AppId.Str());
    else
        LogEvent("  Error - The usage count could not be lowered and %s cannot be registered again (%d).",
                 info->AppId.Str(), static_cast<int>(rc));
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

void RemoveDriverLeftovers(GlobalInfo* info)
{
    WithdrawOurReplacements(info);

    CPellimarSCM scm;
    DWORD result = scm.RemoveService();
    if (result == ERROR_SERVICE_MARKED_FOR_DELETE)
        LogEvent("  Service already marked for deletion.");
    else
        LogEvent("  RemoveService returned: 0x%08X", result);
    // A service that somebody still holds, or whose driver is loaded, stays marked until the restart:
    // the uninstall is finished only then.
    if (result == ERROR_SERVICE_MARKED_FOR_DELETE || (result == ERROR_SUCCESS && scm.ServiceExists() == ERROR_SUCCESS))
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
    CountBefore before1 = CountBeforeRelease(info->Layout.driverImage);
    CountBefore before2 = CountBeforeRelease(info->Layout.makerDriverImage);

    if (!info->AppId.IsEmpty() && !RemoveRegistration(info))
    {
        info->Outcome.Fail(ERROR_INSTALL_FAILURE);
        return;
    }
    // Only a count that is missing or unreadable is no count. One that could not be written still
    // holds this product's use: nothing shared may go, and the registration comes back so that a later
    // run can lower the count.
    BOOL failed = FALSE;
    DWORD r1 = LowerFileUsage(info->Layout.driverImage, &failed);
    DWORD r2 = before2.count;
    if (!failed)
    {
        r2 = LowerFileUsage(info->Layout.makerDriverImage, &failed);
        // Both counts are one use: the first goes back up, or the registration stays gone, so that the
        // use is never released twice.
        if (failed && before1.count != kNoCount &&
            RestoreFileUsage(info->Layout.driverImage, before1.count, before1.type) != ERROR_SUCCESS)
        {
            LogEvent("  Error - The usage count %s could not be put back, %s stays unregistered.", kDriverSysName,
                     info->AppId.Str());
            info->Outcome.Fail(ERROR_INSTALL_FAILURE);
            return;
        }
    }
    if (failed)
    {
        if (!info->AppId.IsEmpty())
            RestoreRegistration(info);
        info->Outcome.Fail(ERROR_INSTALL_FAILURE);
        return;
    }
    FinishFileRelease(info->Layout.driverImage, info->AppId.Str(), r1, info->NoDel);
    FinishFileRelease(info->Layout.makerDriverImage, info->AppId.Str(), r2, info->NoDel);
    if (r1 == kNoCount)
        r1 = 0;
    if (r2 == kNoCount)
        r2 = 0;

    BOOL lastUser = r1 == 0 && r2 == 0;
    if (!lastUser)
    {
        if (before1.count != kNoCount)
        {
            LogEvent("  Old RefCount: System32\\Drivers\\%s: %d", kDriverSysName, static_cast<int>(before1.count));
            LogEvent("  New RefCount: System32\\Drivers\\%s: %d", kDriverSysName, static_cast<int>(r1));
        }
        if (before2.count != kNoCount)
        {
            LogEvent("  Old RefCount: Norvatek\\%s: %d", kDriverSysName, static_cast<int>(before2.count));
            LogEvent("  New RefCount: Norvatek\\%s: %d", kDriverSysName, static_cast<int>(r2));
        }
    }
    else if (!info->NoDel)
    {
        RemoveDriverLeftovers(info);
    }

    if (!info->AppId.IsEmpty())
    {
        CRegistryEntry pellimar(HKEY_LOCAL_MACHINE, kPellimarKey, nullptr);
        int subKeys = pellimar.GetSubKeyCount();
        if (lastUser && !info->NoDel)
        {
            if (subKeys != -1 && subKeys != 0)
                LogEvent("  *There are no SharedDlls refcounts yet we have %d subkeys.  Blasting Pellimar key.",
                         subKeys);
            RemovePellimarKeyTree();
        }
        else if (subKeys == 0)
        {
            pellimar.DeleteKey(TRUE);
        }
    }

    if (lastUser && !info->NoDel)
        RemoveInstallerCopy(info);
}
