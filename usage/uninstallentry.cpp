#include "usage/uninstallentry.h"

#include "base/alloc.h"
#include "base/log.h"
#include "base/registry.h"
#include "base/wstring.h"
#include "context/globalinfo.h"
#include "context/locations.h"
#include "usage/usagecount.h"

namespace
{
const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tovrand";
const DWORD kInstallerUsageMarker = 500;

bool HaveSharedDir(GlobalInfo* info)
{
    if (info->SharedDir.IsEmpty())
        DetermineSharedDir(info, TRUE);
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

void InstallerCopyPath(GlobalInfo* info, CWString& path)
{
    path = info->SharedDir;
    path.AppendPathComponent(kInstallerFileName);
}
}  // namespace

BOOL AddUninstallKey()
{
    GlobalInfo* info = g_pGlobalInfo;
    if (!HaveSharedDir(info))
    {
        LogEvent(L"Can't get Common dir, unable to add uninstall reg entry.");
        return FALSE;
    }
    CWString copy(290);
    InstallerCopyPath(info, copy);
    CWString command(300);
    command.Format(L"\"%s\" /U /Q", copy.Str());
    LogEvent(L"Constructed uninstall string: %s", command.Str());
    LogEvent(L"Constructed reg key string: %s", kUninstallKey);

    CRegistryEntry* entry = NewNoThrow<CRegistryEntry>(HKEY_LOCAL_MACHINE, kUninstallKey, L"QuietUninstallString");
    if (entry == nullptr)
    {
        LogEvent(L"AddUninstallKey: Unable to alloc reg object");
        return FALSE;
    }
    BOOL result = FALSE;
    LONG rc = entry->Create(KEY_READ | KEY_WRITE);
    if (rc != ERROR_SUCCESS)
    {
        LogEvent(L"AddUninstallKey: Unable to open reg key, return %lX", rc);
    }
    else
    {
        wchar_t current[290] = {};
        DWORD size = 580 - sizeof(wchar_t);   // room kept for a terminator the stored value may lack
        DWORD type = 0;
        if (entry->QueryValue(&type, current, &size) == ERROR_SUCCESS)
        {
            LogEvent(L"AddUninstallKey: Current reg value %s", current);
            if (EqualsIgnoringAsciiCase(current, command.Str()))
            {
                LogEvent(L"AddUninstallKey: Reg value already present");
                delete entry;
                return TRUE;
            }
        }
        rc = entry->SetValue(REG_SZ, command.Str(), static_cast<DWORD>((command.Length() + 1) * sizeof(wchar_t)));
        if (rc != ERROR_SUCCESS)
        {
            LogEvent(L"AddUninstallKey: Reg value could not be written, return %lX", rc);
        }
        else
        {
            LogEvent(L"AddUninstallKey: Reg value written");
            result = TRUE;
        }
    }
    delete entry;
    return result;
}

BOOL RemoveUninstallKey()
{
    LogEvent(L"RemoveUninstallKey: Constructed reg key string: %s", kUninstallKey);
    CRegistryEntry* entry = NewNoThrow<CRegistryEntry>(HKEY_LOCAL_MACHINE, kUninstallKey, nullptr);
    if (entry == nullptr)
    {
        LogEvent(L"RemoveUninstallKey: Unable to alloc reg object");
        return FALSE;
    }
    BOOL deleted = entry->DeleteKey(TRUE);
    if (!deleted)
        LogEvent(L"RemoveUninstallKey: Reg key could not be deleted");
    delete entry;
    return deleted;
}

void AddInstallerUsage()
{
    GlobalInfo* info = g_pGlobalInfo;
    if (!HaveSharedDir(info))
    {
        LogEvent(L"Can't get to Norvatek shared path, unable to add shared DLL key.");
        return;
    }
    CWString copy(290);
    InstallerCopyPath(info, copy);
    CUsageCount* usage = NewNoThrow<CUsageCount>(HKEY_LOCAL_MACHINE, kSharedDllsKey, copy.Str());
    if (usage == nullptr)
        return;
    // A fixed marker, never counted: an existing string stays a string, a DWORD a DWORD.
    if (!usage->Exists() || usage->GetCount() != kInstallerUsageMarker)
        usage->SetCount(kInstallerUsageMarker, FALSE);
    delete usage;
}

void RemoveInstallerUsage()
{
    GlobalInfo* info = g_pGlobalInfo;
    if (!HaveSharedDir(info))
        return;
    CWString copy(290);
    InstallerCopyPath(info, copy);
    CRegistryEntry* entry = NewNoThrow<CRegistryEntry>(HKEY_LOCAL_MACHINE, kSharedDllsKey, copy.Str());
    if (entry == nullptr)
        return;
    LogEvent(L"Tovrand Shared Usage value delete returned %ld", entry->DeleteValue());
    delete entry;
}
