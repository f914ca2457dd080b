#include "usage/uninstallentry.h"

#include "base/files.h"
#include "base/log.h"
#include "base/registry.h"
#include "base/wstring.h"
#include "context/globalinfo.h"
#include "context/locations.h"
#include "usage/usagecount.h"

namespace
{
const DWORD kInstallerUsageMarker = 500;
// The uninstall command: the shared copy's path in quotes and the switches.
const int kCommandChars = kPathChars + 16;

// An empty shared folder is one that could not be created at start-up.
bool HaveSharedDir(GlobalInfo* info)
{
    return !info->SharedDir.IsEmpty();
}

// Case-insensitive for the ASCII letters only, as the stored command is ASCII-cased by whoever wrote it.
bool EqualsIgnoringAsciiCase(const wchar_t* a, const wchar_t* b)
{
    for (;; ++a, ++b)
    {
        wchar_t x = (*a >= L'a' && *a <= L'z') ? *a - 32 : *a;
        wchar_t y = (*b >= L'a' && *b <= L'z') ? *b - 32 : *b;
        if (x != y)
            return false;
        if (x == L'\0')
            return true;
    }
}
}  // namespace

BOOL AddUninstallKey()
{
    GlobalInfo* info = g_pGlobalInfo;
    if (!HaveSharedDir(info))
    {
        LogEvent("Can't get Common dir, unable to add uninstall reg entry.");
        return FALSE;
    }
    CWString command(kCommandChars);
    UninstallCommand(info->Layout.installerCopy, command.Buffer(), command.Capacity());
    LogEvent("Constructed uninstall string: %s", command.Str());
    LogEvent("Constructed reg key string: %s", kUninstallKey);

    CRegistryEntry entry(HKEY_LOCAL_MACHINE, kUninstallKey, kUninstallValue);
    LONG rc = entry.Create(KEY_READ | KEY_WRITE);
    if (rc != ERROR_SUCCESS)
    {
        LogEvent("AddUninstallKey: Unable to open reg key, return %lX", rc);
        return FALSE;
    }
    wchar_t current[kCommandChars] = {};
    DWORD size = sizeof(current) - sizeof(wchar_t);   // room kept for a terminator the stored value may lack
    DWORD type = 0;
    if (entry.QueryValue(&type, current, &size) == ERROR_SUCCESS)
    {
        LogEvent("AddUninstallKey: Current reg value %s", current);
        if (EqualsIgnoringAsciiCase(current, command.Str()))
        {
            LogEvent("AddUninstallKey: Reg value already present");
            return TRUE;
        }
    }
    rc = entry.SetValue(REG_SZ, command.Str(), static_cast<DWORD>((command.Length() + 1) * sizeof(wchar_t)));
    if (rc != ERROR_SUCCESS)
    {
        LogEvent("AddUninstallKey: Reg value could not be written, return %lX", rc);
        return FALSE;
    }
    LogEvent("AddUninstallKey: Reg value written");
    return TRUE;
}

BOOL RemoveUninstallKey()
{
    LogEvent("RemoveUninstallKey: Constructed reg key string: %s", kUninstallKey);
    CRegistryEntry entry(HKEY_LOCAL_MACHINE, kUninstallKey, nullptr);
    BOOL deleted = entry.DeleteKey(TRUE);
    if (!deleted)
        LogEvent("RemoveUninstallKey: Reg key could not be deleted");
    return deleted;
}

BOOL AddInstallerUsage()
{
    GlobalInfo* info = g_pGlobalInfo;
    if (!HaveSharedDir(info))
    {
        LogEvent("Can't get to Norvatek shared path, unable to add shared DLL key.");
        return FALSE;
    }
    CUsageCount usage(HKEY_LOCAL_MACHINE, kSharedDllsKey, info->Layout.installerCopy);
    // A fixed marker, never counted: an existing string stays a string, a DWORD a DWORD.
    if (usage.Exists() && usage.GetCount() == kInstallerUsageMarker)
        return TRUE;
    LONG rc = usage.SetCount(kInstallerUsageMarker, FALSE);
    if (rc != ERROR_SUCCESS)
        LogEvent("  Error - Cannot write the usage value %s (%d).", info->Layout.installerCopy, static_cast<int>(rc));
    return rc == ERROR_SUCCESS;
}

void RemoveInstallerUsage()
{
    GlobalInfo* info = g_pGlobalInfo;
    if (!HaveSharedDir(info))
        return;
    CRegistryEntry entry(HKEY_LOCAL_MACHINE, kSharedDllsKey, info->Layout.installerCopy);
    LogEvent("Tovrand Shared Usage value delete returned %ld", entry.DeleteValue());
}
