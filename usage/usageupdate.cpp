#include "usage/usageupdate.h"

#include "base/log.h"
#include "base/registry.h"
#include "context/globalinfo.h"
#include "context/platform.h"
#include "system/service.h"
#include "usage/uninstallentry.h"
#include "usage/usagecount.h"
#include "context/locations.h"

namespace
{
const wchar_t kLanmanParametersKey[] = L"SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Parameters";

// Takes back what this run's count change did: the counts as they were, and the registration key that
// was made for the change.
void PutBack(GlobalInfo* info, const CountChange& change)
{
    WriteCountsBefore(change);
    RemoveRegistrationKey(info->AppId.Str());
    info->Outcome.Fail(ERROR_INSTALL_FAILURE);
}
}  // namespace

BOOL UpdateUsageCounts()
{
    GlobalInfo* info = g_pGlobalInfo;
    const wchar_t* mainPath = info->Layout.driverImage;
    CUsageCount main(HKEY_LOCAL_MACHINE, kSharedDllsKey, mainPath);
    // An update-only run writes the count back unraised: an unreadable one must not become 0 here.
    RebuildUnreadableUsageCount();
    DWORD raw1 = main.GetCount();
    DWORD c1 = raw1 == kNoCount ? 0 : raw1;
    // Before Vista the driver also lives in the maker's directory, with a count of its own.
    BOOL makerCount = !IsWinVistaOrBetter();
    CUsageCount maker(HKEY_LOCAL_MACHINE, kSharedDllsKey, info->Layout.makerDriverImage);
    DWORD raw2 = makerCount ? maker.GetCount() : kNoCount;
    DWORD c2 = raw2 == kNoCount ? 0 : raw2;
    DWORD count = (c1 > c2 ? c1 : c2) + (info->UpdateRefCounts ? 1 : 0);

    // The product's count and its registration change together: the change is recorded in its key before
    // the first count is written and stays there until everything the install owes is written, so that a
    // run stopped in between is settled by the next one instead of counting the product twice.
    BOOL raising = info->UpdateRefCounts && !info->AppId.IsEmpty();
    CountChange change = {0, {0, 0}, FALSE, {raw1, makerCount ? raw2 : kNoCount},
                          {count, makerCount ? count : kNoCount}};
    BOOL counted = TRUE;
    if (raising)
    {
        LONG rc = BeginCountChange(info->AppId.Str(), &change);
        if (rc != ERROR_SUCCESS)
        {
            LogEvent("  Error - Cannot register %s (%d), its usage is not counted.", info->AppId.Str(),
                     static_cast<int>(rc));
            info->Outcome.Fail(ERROR_INSTALL_FAILURE);
            counted = FALSE;
        }
    }
    LogEvent("  Old RefCount: System32\\Drivers\\%s: %d", kDriverSysName, static_cast<int>(c1));
    LogEvent("  New RefCount: System32\\Drivers\\%s: %d", kDriverSysName, static_cast<int>(count));
    LONG written = counted ? main.SetCount(count, TRUE) : ERROR_SUCCESS;
    // A product counted nowhere must not be registered as counted: its next run would never count it.
    if (written != ERROR_SUCCESS && raising)
    {
        LogEvent("  Error - Cannot write the usage count %s (%d), %s is not registered.", mainPath,
                 static_cast<int>(written), info->AppId.Str());
        PutBack(info, change);
        counted = FALSE;
    }
    if (makerCount)
    {
        LogEvent("  Old RefCount: Norvatek\\%s: %d", kDriverSysName, static_cast<int>(c2));
        LogEvent("  New RefCount: Norvatek\\%s: %d", kDriverSysName, static_cast<int>(count));
        written = counted ? maker.SetCount(count, TRUE) : ERROR_SUCCESS;
        if (written != ERROR_SUCCESS && raising)
        {
            LogEvent("  Error - Cannot write the usage count %s (%d), %s is not registered.",
                     info->Layout.makerDriverImage, static_cast<int>(written), info->AppId.Str());
            PutBack(info, change);
            counted = FALSE;
        }
    }

    if (!info->AppId.IsEmpty() && counted)
    {
        // The product's mark: its next run finds it and does not count again.
        LONG rc = WriteRegistration(info->AppId.Str());
        if (rc != ERROR_SUCCESS && raising)
        {
            LogEvent("  Error - Cannot register %s (%d), its usage count is put back.", info->AppId.Str(),
                     static_cast<int>(rc));
            PutBack(info, change);
            counted = FALSE;
        }
    }

    CPellimarSCM scm;
    DWORD result;
    if (scm.ServiceExists() == ERROR_SUCCESS)
    {
        LogEvent("  Pellimar Service Exists");
        result = scm.ConfigureService(mainPath);
        LogEvent("  ConfigureService returned 0x%08X", result);
    }
    else
    {
        LogEvent("  Pellimar Service Does Not Exist");
        result = scm.InstallService(mainPath);
        LogEvent("  InstallService returned %08X", result);
    }
    if (result == ERROR_SERVICE_MARKED_FOR_DELETE)
    {
        LogEvent("  Due to the driver service being marked for deletion, a reboot is required before the new "
                 "driver can be used.");
        info->Outcome.RestartRequired();
    }

    CRegistryEntry lanman(HKEY_LOCAL_MACHINE, kLanmanParametersKey, L"CachedOpenLimit");
    DWORD zero = 0;
    lanman.SetValue(REG_DWORD, &zero, sizeof(zero));

    // The uninstall entry and the installer's usage value are owed as much as the count: without them the
    // product could not be uninstalled, or the shared copy would look unused. A run that cannot write them
    // fails, and takes its count back.
    BOOL entry = AddUninstallKey();
    BOOL usage = AddInstallerUsage();
    if (!entry || !usage)
    {
        info->Outcome.Fail(ERROR_INSTALL_FAILURE);
        if (raising && counted)
        {
            LogEvent("  Error - %s is not counted: the usage count is put back.", info->AppId.Str());
            PutBack(info, change);
            counted = FALSE;
        }
    }
    if (raising && counted)
        EndCountChange(info->AppId.Str());
    return TRUE;
}
