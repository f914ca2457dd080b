#include "usage/regcheck.h"

#include "base/log.h"
#include "base/registry.h"
#include "context/globalinfo.h"
#include "usage/interrupted.h"
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

    // What a stopped run of any product left half done is settled first: this run's decision rests on
    // the registrations and counts as they really are.
    OwnChange own = SettleCountChanges(info->AppId.Str(), info->Uninstall);
    if (own == OwnChange::Busy || own == OwnChange::Unknown)
    {
        LogEvent("  Error - The usage count of %s is not settled, nothing is changed.", info->AppId.Str());
        info->Outcome.Fail(own == OwnChange::Busy ? ERROR_INSTALL_ALREADY_RUNNING : ERROR_INSTALL_FAILURE);
        return FALSE;
    }

    CRegistryEntry entry(HKEY_LOCAL_MACHINE, kInstalledAppsKey, info->AppId.Str());
    // Known: other programs list the product under InstalledApps. The value's existence is the listing:
    // setups store whatever they like there (an install folder is often longer than any fixed buffer).
    DWORD size = 0;
    DWORD type = 0;
    LONG listing = entry.QueryValueSize(&type, &size);
    BOOL known = listing == ERROR_SUCCESS;
    if (!known)
        known = info->Uninstall && !info->RegAppId;
    // Where the listing decides, one that cannot be read is no answer: taken for "not listed", the
    // uninstall of a listed product would lower nothing and report success.
    if (!known && info->Uninstall && listing != ERROR_FILE_NOT_FOUND)
    {
        LogEvent("  Error - Cannot read the listing of %s under HKLM\\%s (%d), nothing is changed.", info->AppId.Str(),
                 kInstalledAppsKey, static_cast<int>(listing));
        info->Outcome.Fail(ERROR_INSTALL_FAILURE);
        return FALSE;
    }

    // Registered: one of this product's installs raised the count and left its key. A key that is there
    // but cannot be opened is no answer either: counted again, the product would be counted twice.
    CWString productKey(kCountNameChars);
    RegistrationKeyOf(info->AppId.Str(), productKey);
    entry.Reset(HKEY_LOCAL_MACHINE, productKey.Str(), nullptr);
    LONG opened = entry.Open(KEY_READ);
    if (opened != ERROR_SUCCESS && opened != ERROR_FILE_NOT_FOUND)
    {
        LogEvent("  Error - Cannot read the registration of %s (%d), nothing is changed.", info->AppId.Str(),
                 static_cast<int>(opened));
        info->Outcome.Fail(ERROR_INSTALL_FAILURE);
        return FALSE;
    }
    BOOL registered = opened == ERROR_SUCCESS;

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
