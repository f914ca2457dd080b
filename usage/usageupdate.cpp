#include "usage/usageupdate.h"

#include "base/alloc.h"
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

DWORD ReadCount(CUsageCount* record)
{
    DWORD count = record->GetCount();
    return count == kNoCount ? 0 : count;
}
}  // namespace

BOOL UpdateUsageCounts()
{
    GlobalInfo* info = g_pGlobalInfo;
    wchar_t mainPath[kPathChars + 32];
    JoinRegistryPath(mainPath, kPathChars + 32, info->DriversDir.Str(), kDriverSysName);

    CUsageCount* main = NewDriverCount(info->DriversDir.Str());
    if (main == nullptr)
    {
        LogEvent(L"  UpdateUsageCounts: Failed to allocate memory for CUsageCount.");
        return FALSE;
    }
    // An update-only run writes the count back unraised: an unreadable one must not become 0 here.
    RebuildUnreadableUsageCount();
    DWORD c1 = ReadCount(main);
    CUsageCount* maker = nullptr;
    DWORD c2 = 0;
    if (!IsWinVistaOrBetter())
    {
        maker = NewDriverCount(info->MakerDir.Str());
        if (maker == nullptr)
        {
            LogEvent(L"  UpdateUsageCounts: Failed to allocate memory for CUsageCount.");
            delete main;
            return FALSE;
        }
        c2 = ReadCount(maker);
    }
    DWORD count = (c1 > c2 ? c1 : c2) + (info->UpdateRefCounts ? 1 : 0);
    LogEvent(L"  Old RefCount: System32\\Drivers\\%s: %d", kDriverSysName, static_cast<int>(c1));
    LogEvent(L"  New RefCount: System32\\Drivers\\%s: %d", kDriverSysName, static_cast<int>(count));
    LONG written = main->SetCount(count, TRUE);
    // A product counted nowhere must not be registered as counted: its next run would never count it.
    BOOL countFailed = written != ERROR_SUCCESS && info->UpdateRefCounts;
    if (countFailed)
    {
        LogEvent(L"  Error - Cannot write the usage count %s (%d), %s is not registered.", mainPath,
                 static_cast<int>(written), info->AppId.Str());
        info->RunError = ERROR_INSTALL_FAILURE;
    }
    if (maker != nullptr && !IsWinVistaOrBetter())
    {
        LogEvent(L"  Old RefCount: Norvatek\\%s: %d", kDriverSysName, static_cast<int>(c2));
        LogEvent(L"  New RefCount: Norvatek\\%s: %d", kDriverSysName, static_cast<int>(count));
        maker->SetCount(count, TRUE);
    }
    delete main;
    delete maker;

    if (!info->AppId.IsEmpty() && !countFailed)
    {
        // The product's mark: its next run finds it and does not count again.
        wchar_t productKey[kPathChars + 64];
        JoinRegistryPath(productKey, kPathChars + 64, kPellimarKey, info->AppId.Str());
        CRegistryEntry* product = NewNoThrow<CRegistryEntry>(HKEY_LOCAL_MACHINE, productKey, L"Dir1");
        if (product == nullptr)
        {
            LogEvent(L"  UpdateUsageCounts: Failed to allocate memory for CRegistryEntry.");
            return FALSE;
        }
        DWORD one = 1;
        product->Create(KEY_WRITE);
        product->SetValue(REG_DWORD, &one, sizeof(one));
        delete product;
    }

    CPellimarSCM* scm = NewNoThrow<CPellimarSCM>();
    if (scm == nullptr)
    {
        LogEvent(L"  UpdateUsageCounts: Failed to allocate memory for CPellimarSCM.");
        return FALSE;
    }
    DWORD result;
    if (scm->ServiceExists() == ERROR_SUCCESS)
    {
        LogEvent(L"  Pellimar Service Exists");
        result = scm->ConfigureService(mainPath);
        LogEvent(L"  ConfigureService returned 0x%08X", result);
    }
    else
    {
        LogEvent(L"  Pellimar Service Does Not Exist");
        result = scm->InstallService(mainPath);
        LogEvent(L"  InstallService returned %08X", result);
    }
    delete scm;
    if (result == ERROR_SERVICE_MARKED_FOR_DELETE)
    {
        LogEvent(L"  Due to the driver service being marked for deletion, a reboot is required before the new "
                 L"driver can be used.");
        info->RebootRequired = TRUE;
    }

    CRegistryEntry* lanman = NewNoThrow<CRegistryEntry>(HKEY_LOCAL_MACHINE, kLanmanParametersKey, L"CachedOpenLimit");
    if (lanman == nullptr)
    {
        LogEvent(L"  UpdateUsageCounts: Failed to allocate memory for CRegistryEntry.");
        return FALSE;
    }
    DWORD zero = 0;
    lanman->SetValue(REG_DWORD, &zero, sizeof(zero));
    delete lanman;

    AddUninstallKey();
    AddInstallerUsage();
    return TRUE;
}
