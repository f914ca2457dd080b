#include "usage/interrupted.h"

#include "base/handle.h"
#include "base/log.h"
#include "base/registry.h"
#include "context/globalinfo.h"

namespace
{
// The longest subkey name the enumeration reads; an AppID is at most 47 characters.
const DWORD kSubKeyChars = 256;

// A finished install: the product is counted, so it is registered. A finished release: its use is gone,
// so its registration goes, with its value in the other programs' product list.
void Finish(const wchar_t* appId, const CountChange& change)
{
    if (!change.release)
    {
        LogEvent("  *An interrupted install of %s had counted it: it stays registered.", appId);
        if (WriteRegistration(appId) == ERROR_SUCCESS)
            EndCountChange(appId);
        return;
    }
    LogEvent("  *An interrupted uninstall of %s had released its use: its registration goes.", appId);
    FinishFileRelease(g_pGlobalInfo->Layout.driverImage, appId, kNoCount, TRUE);
    RemoveRegistrationKey(appId);
}

// A change that never reached the counts: an install's registration is withdrawn with it (the key was
// made for the change); a release leaves the product registered as it was.
void Withdraw(const wchar_t* appId, const CountChange& change)
{
    if (change.release)
    {
        LogEvent("  *An interrupted uninstall of %s had not released its use: it stays registered.", appId);
        EndCountChange(appId);
        return;
    }
    LogEvent("  *An interrupted install of %s had not counted it: its registration is withdrawn.", appId);
    CWString key(kCountNameChars);
    RegistrationKeyOf(appId, key);
    CRegistryEntry dir1(HKEY_LOCAL_MACHINE, key.Str(), L"Dir1");
    DWORD type = 0;
    DWORD size = 0;
    if (dir1.QueryValueSize(&type, &size) == ERROR_SUCCESS)
        EndCountChange(appId);
    else
        RemoveRegistrationKey(appId);
}
}  // namespace

ChangeProgress ProgressOf(const CountChange& change, DWORD mainNow, DWORD makerNow)
{
    const DWORD now[2] = {mainNow, makerNow};
    int before = 0;
    int after = 0;
    for (int i = 0; i < 2; ++i)
    {
        // A count the change leaves as it was says nothing.
        if (change.before[i] == change.after[i])
            continue;
        if (now[i] == change.after[i])
            ++after;
        else if (now[i] == change.before[i])
            ++before;
        else
            return ChangeProgress::Neither;
    }
    return before == 0 ? ChangeProgress::After : after == 0 ? ChangeProgress::Before : ChangeProgress::Partly;
}

BOOL IsChangeOwnerAlive(const CountChange& change)
{
    if (change.owner == GetCurrentProcessId())
        return TRUE;
    // Another user's elevated or system process may refuse the full query but not the limited one.
    CScopedHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, change.owner));
    if (!process.IsValid() && GetLastError() == ERROR_ACCESS_DENIED)
        process.Reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, change.owner));
    if (!process.IsValid())
        // There but not ours to look at is alive; no such process is not.
        return GetLastError() == ERROR_ACCESS_DENIED;
    FILETIME created;
    FILETIME exited;
    FILETIME kernel;
    FILETIME user;
    DWORD code = 0;
    return GetProcessTimes(process.Get(), &created, &exited, &kernel, &user) &&
           CompareFileTime(&created, &change.started) == 0 && GetExitCodeProcess(process.Get(), &code) &&
           code == STILL_ACTIVE;
}

OwnChange SettleCountChanges(const wchar_t* appId, BOOL uninstall)
{
    OwnChange own = OwnChange::None;
    CScopedKey products;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPellimarKey, 0, KEY_READ | KEY_WOW64_64KEY, products.Receive()) !=
        ERROR_SUCCESS)
        return own;
    wchar_t name[kSubKeyChars];
    // Settling may delete the key at hand: the walk steps on only past a key that is still there.
    for (DWORD index = 0;;)
    {
        DWORD length = kSubKeyChars;
        if (RegEnumKeyExW(products.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        ++index;
        CountChange change;
        if (ReadCountChange(name, &change) != ERROR_SUCCESS)
            continue;
        bool mine = appId != nullptr && appId[0] != L'\0' && SameNoCase(name, appId);
        if (IsChangeOwnerAlive(change))
        {
            LogEvent("  *Another run is changing the usage count of %s right now.", name);
            if (mine)
                own = OwnChange::Busy;
            continue;
        }
        ChangeProgress progress = ProgressOf(change, ReadDriverCount(g_pGlobalInfo->Layout.driverImage),
                                              ReadDriverCount(g_pGlobalInfo->Layout.makerDriverImage));
        if (progress == ChangeProgress::Neither)
        {
            LogEvent("  Error - The usage counts changed since a run for %s stopped: whether it %s them cannot be "
                     "told.",
                     name, change.release ? L"lowered" : L"raised");
            if (mine)
                own = OwnChange::Unknown;
            continue;
        }
        if (progress == ChangeProgress::Partly && WriteCountsAfter(change, !change.release) != ERROR_SUCCESS)
        {
            LogEvent("  Error - The usage counts that a run for %s left half changed cannot be written.", name);
            if (mine)
                own = OwnChange::Unknown;
            continue;
        }
        if (progress == ChangeProgress::Before)
        {
            Withdraw(name, change);
        }
        else if (mine && uninstall && change.release)
        {
            LogEvent("  *Finishing the interrupted uninstall of %s: its use was released already.", name);
            own = OwnChange::Released;
            continue;
        }
        else
        {
            Finish(name, change);
        }
        // A key that went takes its place in the enumeration with it.
        CWString key(kCountNameChars);
        RegistrationKeyOf(name, key);
        CScopedKey still;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.Str(), 0, KEY_READ | KEY_WOW64_64KEY, still.Receive()) !=
            ERROR_SUCCESS)
            --index;
    }
    return own;
}
