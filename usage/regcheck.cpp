#include "usage/regcheck.h"

#include "base/log.h"
#include "base/registry.h"
#include "context/globalinfo.h"
#include "usage/usagecount.h"

BOOL CheckUsageCountUpdates()
{
    GlobalInfo* info = g_pGlobalInfo;
    if (info->AppId.IsEmpty())
    {
        LogEvent("  Product ID not set.  Not updating RefCounts.");
        info->UpdateRefCounts = FALSE;
        return TRUE;
    }

    CRegistryEntry entry(HKEY_LOCAL_MACHINE, kInstalledAppsKey, info->AppId.Str());
    // Known: other programs list the product under InstalledApps. The value's existence is the listing:
    // setups store whatever they like there (an install folder is often longer than any fixed buffer).
    DWORD size = 0;
    DWORD type = 0;
    BOOL known = entry.QueryValueSize(&type, &size) == ERROR_SUCCESS;
    if (!known)
        known = info->Uninstall && !info->RegAppId;

    // Registered: one of this product's installs raised the count and left its key.
    CWString productKey(kCountNameChars);
    RegistrationKeyOf(info->AppId.Str(), productKey);
    entry.Reset(HKEY_LOCAL_MACHINE, productKey.Str(), nullptr);
    BOOL registered = entry.Open(KEY_READ) == ERROR_SUCCESS;

    BOOL update = FALSE;
    if (!info->Uninstall)
    {
        if (!known && registered)
            LogEvent("  Installing with unknown AppID but already registered with Tovrand.  Not Updating RefCounts.");
        else if (!known)
            LogEvent("  Installing with unknown AppID and not yet registered with Tovrand.  Updating RefCounts.");
        else if (registered)
            LogEvent("  Installing with known AppID / Product ID already registered with Tovrand.  Not Updating "
                     "Refcounts.");
        else
            LogEvent("  Installing with known AppID / Product ID not yet registered with Tovrand.  Updating Refcounts.");
        update = !registered;
    }
    else if (!known)
    {
        LogEvent("  Uninstalling with unknown AppID.  Not updating RefCounts (Use /NOREGAPPID).");
    }
    else if (!registered)
    {
        LogEvent("  *Somehow this product has a valid AppID (or /NOREGAPPID) yet isn't registered with Tovrand "
                 "(during uninstall). Bailing.");
    }
    else
    {
        LogEvent("  Uninstalling with known AppID (or /NOREGAPPID).  Updating Refcounts.");
        update = TRUE;
    }
    info->UpdateRefCounts = update;
    return TRUE;
}
