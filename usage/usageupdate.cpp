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
}  // namespace

BOOL UpdateUsageCounts()
{
    GlobalInfo* info = g_pGlobalInfo;
    const wchar_t* mainPath = info->Layout.driverImage;
    CUsageCount main(HKEY_LOCAL_MACHINE, kSharedDllsKey, mainPath);
    // An update-only run writes the count back unraised: an unreadable one must not become 0 here.
    RebuildUnreadableUsageCount();
    DWORD c1 = main.GetCount();
    c1 = c1 == kNoCount ? 0 : c1;
    // Before Vista the driver also lives in the maker's directory, with a count of its own.
    BOOL makerCount = !IsWinVistaOrBetter();
    CUsageCount maker(HKEY_LOCAL_MACHINE, kSharedDllsKey, info->Layout.makerDriverImage);
    DWORD c2 = makerCount ? maker.GetCount() : 0;
    c2 = c2 == kNoCount ? 0 : c2;
    DWORD count = (c1 > c2 ? c1 : c2) + (info->UpdateRefCounts ? 1 : 0);
    LogEvent("  Old RefCount: System32\\Drivers\\%s: %d", kDriverSysName, static_cast<int>(c1));
    LogEvent("  New RefCount: System32\\Drivers\\%s: %d", kDriverSysName, static_cast<int>(count));
    LONG written = main.SetCount(count, TRUE);
    // A product counted nowhere must not be registered as counted: its next run would never count it.
    BOOL countFailed = written != ERROR_SUCCESS && info->UpdateRefCounts;
    if (countFailed)
    {
        LogEvent("  Error - Cannot write the usage count %s (%d), %s is not registered.", mainPath,
                 static_cast<int>(written), info->AppId.Str());
        info->Outcome.Fail(ERROR_INSTALL_FAILURE);
    }
    if (makerCount)
    {
        LogEvent("  Old RefCount: Norvatek\\%s: %d", kDriverSysName, static_cast<int>(c2));
        LogEvent("  New RefCount: Norvatek\\%s: %d", kDriverSysName, static_cast<int>(count));
        maker.SetCount(count, TRUE);
    }

    if (!info->AppId.IsEmpty() && !countFailed)
    {
        // The product's mark: its next run finds it and does not count again.
        WriteRegistration(info->AppId.Str());
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

    AddUninstallKey();
    AddInstallerUsage();
    return TRUE;
}
