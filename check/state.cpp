// The registry half of the machine state: locations, counts, registrations, service, uninstall entry
// and the running-installer test.
#include "check/state.h"

#include <stdio.h>
#include <wchar.h>

#include "base/alloc.h"
#include "base/handle.h"
#include "base/registry.h"
#include "context/globalinfo.h"
#include "context/locations.h"
#include "context/platform.h"
#include "usage/usagecount.h"

namespace
{
const REGSAM kRead = KEY_READ | KEY_WOW64_64KEY;
// Value names of other programs' lists may be up to 16383 characters long.
const DWORD kValueNameChars = 16384;

// A REG_SZ-like value of an open entry into out, terminated even when stored without a terminator.
LONG QueryText(CRegistryEntry& entry, wchar_t* out, int capacity, DWORD* type)
{
    DWORD size = static_cast<DWORD>((capacity - 1) * sizeof(wchar_t));
    out[0] = L'\0';
    LONG rc = entry.QueryValue(type, out, &size);
    out[rc == ERROR_SUCCESS ? size / sizeof(wchar_t) : 0] = L'\0';
    return rc;
}

// Where the installer puts everything, from the folders the system names as the installer reads them
// (the system drive's usual place when a value cannot be used; the check stores nothing).
void ReadLocations(MachineState* s)
{
    wchar_t system[kStatePathChars] = L"";
    GetSystemDirectoryW(system, kStatePathChars - 16);
    CWString programFiles(kPathChars);
    CWString commonFiles(kPathChars);
    ReadSystemFolder(kProgramFilesValue, FALSE, programFiles);
    ReadSystemFolder(kCommonFilesValue, FALSE, commonFiles);
    ComputeLayout(programFiles.Str(), commonFiles.Str(), system, &s->layout);
    s->mainCount.valueName = s->layout.driverImage;
    s->makerCount.valueName = s->layout.makerDriverImage;
    s->payloadDirExists = IsExistingDirectory(s->layout.payloadDir) != FALSE;
    s->payloadIsFile = IsExistingFile(s->layout.payloadDir) != FALSE;
}

void ReadCount(bool keyExists, CountReading* out)
{
    out->state = CountMissing;
    if (!keyExists)
        return;
    CUsageCount count(HKEY_LOCAL_MACHINE, kSharedDllsKey, out->valueName);
    CRegistryEntry entry(HKEY_LOCAL_MACHINE, kSharedDllsKey, out->valueName);
    DWORD size = 0;
    if (entry.QueryValueSize(&out->type, &size) != ERROR_SUCCESS)
        return;
    out->state = count.IsUnreadable() ? CountUnreadable : CountReadable;
    out->count = out->state == CountReadable ? count.GetCount() : 0;
}

// Opens HKLM\path for reading. Absence is no error; anything else is noted, and *unread set.
bool OpenForReading(MachineState* s, const wchar_t* path, CScopedKey& key, bool* unread)
{
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, kRead, key.Receive());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
    {
        NoteReadError(s, path, static_cast<DWORD>(rc));
        *unread = true;
    }
    return rc == ERROR_SUCCESS;
}

// The product of that id, added when new; null (and counted as not shown) without memory.
ProductReading* FindProduct(MachineState* s, const wchar_t* name)
{
    for (int i = 0; i < s->products.Count(); ++i)
    {
        if (SameNoCase(s->products[i].appId, name))
            return &s->products[i];
    }
    wchar_t* copy = CopyText(name);
    ProductReading* p = copy != nullptr ? s->products.Add() : nullptr;
    if (p == nullptr)
    {
        delete[] copy;
        ++s->productsNotShown;
        return nullptr;
    }
    p->appId = copy;
    return p;
}

// Whether the product key name below path opens for reading, as the installer opens it; counted.
bool IsRegistration(MachineState* s, const wchar_t* path, const wchar_t* name, bool* unread)
{
    wchar_t key[kStatePathChars];
    CScopedKey product;
    if (!JoinPath(key, kStatePathChars, path, name) || !OpenForReading(s, key, product, unread))
        return false;
    ++s->registrations;
    return true;
}

enum ProductSource { FromRegistrations, FromInstalledApps, FromSharedUsage };

// The subkeys (registrations) or the values (the other two lists) of one key, each a product id.
// *unread is set when the list could not be read whole.
void ReadProductList(MachineState* s, const wchar_t* path, ProductSource source, wchar_t* name, bool* unread)
{
    CScopedKey key;
    if (!OpenForReading(s, path, key, unread))
        return;
    for (DWORD i = 0;; ++i)
    {
        DWORD chars = kValueNameChars;
        LONG rc = source == FromRegistrations
                      ? RegEnumKeyExW(key.Get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr)
                      : RegEnumValueW(key.Get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
        {
            NoteReadError(s, path, static_cast<DWORD>(rc));
            *unread = true;
            break;
        }
        // The installer calls a product registered only when its key opens: one this user cannot open
        // may be a registration or not, and the list is not read whole.
        if (source == FromRegistrations && !IsRegistration(s, path, name, unread))
            continue;
        // The unnamed default value is no product.
        ProductReading* p = name[0] != L'\0' ? FindProduct(s, name) : nullptr;
        if (p == nullptr)
            continue;
        if (source == FromRegistrations)
            p->registered = true, p->changing = ReadCountChange(name, &p->change) == ERROR_SUCCESS;
        else if (source == FromInstalledApps)
            p->installedApps = true;
        else
            p->sharedUsage = true;
    }
}

// "\??\C:\...", "\SystemRoot\System32\...", "System32\..." (relative to the Windows directory),
// "%SystemRoot%\..." and the plain path all name the same image.
bool SameImagePath(const wchar_t* configured, const wchar_t* expected)
{
    wchar_t expanded[2 * kStatePathChars];
    DWORD n = ExpandEnvironmentStringsW(configured, expanded, 2 * kStatePathChars);
    if (n == 0 || n > 2 * kStatePathChars)
        return false;   // longer than any path of ours
    const wchar_t* p = expanded;
    if (p[0] == L'\\' && p[1] == L'?' && p[2] == L'?' && p[3] == L'\\')
        p += 4;
    wchar_t windows[kStatePathChars] = L"";
    GetSystemDirectoryW(windows, kStatePathChars);
    wchar_t* slash = windows + lstrlenW(windows);
    while (slash > windows && *slash != L'\\')
        --slash;
    *slash = L'\0';
    wchar_t full[2 * kStatePathChars] = L"";
    const int rootChars = 11;   // "\SystemRoot"
    bool joined = true;
    if (SameNoCase(p, rootChars + 1, L"\\SystemRoot\\", rootChars + 1))
        joined = JoinPath(full, 2 * kStatePathChars, windows, p + rootChars + 1);
    else if (p[0] != L'\0' && p[0] != L'\\' && p[1] != L':')
        joined = JoinPath(full, 2 * kStatePathChars, windows, p);
    else
        CopyBounded(full, 2 * kStatePathChars, p);
    return joined && SameNoCase(full, expected);
}

// The ImagePath of the service's key, which the service manager takes at the next start of the
// machine: a hand edit there is not what the service manager answers today.
void ReadImagePathValue(MachineState* s, const wchar_t* expected)
{
    ServiceReading* out = &s->service;
    CScopedKey key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, kRead, key.Receive());
    DWORD type = 0;
    DWORD size = 0;
    if (rc == ERROR_SUCCESS)
        rc = RegQueryValueExW(key.Get(), L"ImagePath", nullptr, &type, nullptr, &size);
    wchar_t* text = rc == ERROR_SUCCESS ? new (std::nothrow) wchar_t[size / sizeof(wchar_t) + 1] : nullptr;
    if (rc == ERROR_SUCCESS && text == nullptr)
        rc = ERROR_NOT_ENOUGH_MEMORY;
    if (text != nullptr)
        rc = RegQueryValueExW(key.Get(), L"ImagePath", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    if (rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ))
    {
        text[size / sizeof(wchar_t)] = L'\0';
        out->keyImagePathRead = true;
        CopyBounded(out->keyImagePath, kStatePathChars, text);
        out->keyImagePathMatches = SameImagePath(text, expected);
    }
    else if (rc == ERROR_SUCCESS)
    {
        // Not a text: the service cannot be started from it.
        out->keyImagePathRead = true;
        _snwprintf(out->keyImagePath, kStatePathChars, L"(a value of type %lu)", type);
    }
    else if (rc != ERROR_FILE_NOT_FOUND)
    {
        wchar_t what[kStatePathChars];
        _snwprintf(what, kStatePathChars - 1, L"HKLM\\%s\\ImagePath", kServiceKey);
        what[kStatePathChars - 1] = L'\0';
        NoteReadError(s, what, static_cast<DWORD>(rc));
    }
    delete[] text;
}

void ReadService(MachineState* s)
{
    ServiceReading* out = &s->service;
    CScopedService scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm.IsValid())
    {
        NoteReadError(s, L"service control manager", GetLastError());
        s->serviceUnread = true;
        return;
    }
    CScopedService service(OpenServiceW(scm.Get(), kServiceName, SERVICE_QUERY_CONFIG));
    if (!service.IsValid())
    {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_DOES_NOT_EXIST)
        {
            NoteReadError(s, L"service Pellimar", error);
            s->serviceUnread = true;
        }
        return;
    }
    out->exists = true;
    // Asked for the size first: a configuration with long names or dependencies is larger than the
    // 8 KB the documentation gives as its greatest size.
    DWORD needed = 0;
    BYTE* buffer = nullptr;
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 3 && !out->configRead; ++attempt)
    {
        if (!QueryServiceConfigW(service.Get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer), needed, &needed))
        {
            error = GetLastError();
            delete[] buffer;
            buffer = error == ERROR_INSUFFICIENT_BUFFER ? new (std::nothrow) BYTE[needed] : nullptr;
            if (buffer == nullptr)
                break;
            continue;
        }
        out->configRead = true;
    }
    const wchar_t* expected = s->layout.driverImage;
    if (!out->configRead)
    {
        NoteReadError(s, L"service Pellimar configuration", buffer == nullptr && error == ERROR_INSUFFICIENT_BUFFER
                                                                 ? static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY)
                                                                 : error);
    }
    else
    {
        const QUERY_SERVICE_CONFIGW* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer);
        out->type = config->dwServiceType;
        out->start = config->dwStartType;
        out->errorControl = config->dwErrorControl;
        const wchar_t* image = config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"";
        CopyBounded(out->imagePath, kStatePathChars, image);
        out->imagePathMatches = SameImagePath(image, expected);
    }
    delete[] buffer;
    ReadImagePathValue(s, expected);

    // The service manager writes DeleteFlag = 1 when it marks a service whose handles are still open; the
    // key goes at the restart. (Wine keeps the mark in memory only, so there it cannot be seen this way.)
    CRegistryEntry flag(HKEY_LOCAL_MACHINE, kServiceKey, L"DeleteFlag");
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof(value);
    out->markedForDeletion =
        flag.QueryValue(&type, &value, &size) == ERROR_SUCCESS && type == REG_DWORD && size == 4 && value != 0;
}

void ReadUninstallEntry(MachineState* s)
{
    CRegistryEntry entry(HKEY_LOCAL_MACHINE, kUninstallKey, kUninstallValue);
    LONG rc = entry.Open(KEY_READ);
    if (rc != ERROR_SUCCESS)
    {
        if (rc != ERROR_FILE_NOT_FOUND)
        {
            NoteReadError(s, kUninstallKey, static_cast<DWORD>(rc));
            s->uninstallEntryUnread = true;
        }
        return;
    }
    DWORD type = 0;
    rc = QueryText(entry, s->uninstallEntry, kStatePathChars, &type);
    s->uninstallEntryExists = rc != ERROR_FILE_NOT_FOUND;
    if (!s->uninstallEntryExists)
        return;
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
    {
        _snwprintf(s->uninstallEntry, kStatePathChars, L"(a value of type %lu, %s)", type,
                   rc == ERROR_MORE_DATA ? L"too long" : L"no text");
        return;
    }
    wchar_t expected[kStatePathChars + 16];
    UninstallCommand(s->layout.installerCopy, expected, kStatePathChars + 16);
    s->uninstallEntryMatches = SameNoCase(s->uninstallEntry, expected);
}

bool IsInstallerRunning()
{
    // Taking the lock for an instant and giving it back is the only way to learn whether somebody holds
    // it. A lock that this user may not even open belongs to an elevated installer that is running.
    CScopedHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, kRunningMutexName));
    if (!mutex.IsValid())
        return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD wait = WaitForSingleObject(mutex.Get(), 0);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED)
        ReleaseMutex(mutex.Get());
    return wait == WAIT_TIMEOUT;
}
}  // namespace

MachineState::~MachineState()
{
    for (int i = 0; i < products.Count(); ++i)
        delete[] products[i].appId;
    for (wchar_t* value : pendingValues)
        delete[] value;
}

void NoteReadError(MachineState* state, const wchar_t* what, DWORD code)
{
    ReadError* error = state->readErrors.Add();
    if (error == nullptr)
    {
        ++state->readErrorsNotShown;
        return;
    }
    CopyBounded(error->what, kStatePathChars, what);
    error->code = code;
}

ChangeProgress ChangeProgressOf(const MachineState& s, const CountChange& change)
{
    DWORD main = s.mainCount.state == CountReadable ? s.mainCount.count : kNoCount;
    DWORD maker = s.makerCount.state == CountReadable ? s.makerCount.count : kNoCount;
    return ProgressOf(change, main, maker);
}

void ReadMachineState(MachineState* s)
{
    s->installerRunning = IsInstallerRunning();
    s->vistaOrLater = IsWinVistaOrBetter() != FALSE;
    ReadLocations(s);

    CScopedKey sharedDlls;
    bool counts = OpenForReading(s, kSharedDllsKey, sharedDlls, &s->countsUnread);
    ReadCount(counts, &s->mainCount);
    // Read on every system: the uninstall lowers it everywhere, and one left on a later system still
    // decides whether an uninstall is the last.
    ReadCount(counts, &s->makerCount);

    wchar_t* name = new (std::nothrow) wchar_t[kValueNameChars];
    if (name == nullptr)
    {
        NoteReadError(s, L"product lists (no memory)", ERROR_NOT_ENOUGH_MEMORY);
        s->registrationsUnread = s->installedAppsUnread = true;
    }
    else
    {
        wchar_t usageKey[kStatePathChars];
        JoinPath(usageKey, kStatePathChars, kSharedUsageKey, kDriverSysName);
        bool usageUnread = false;
        ReadProductList(s, kPellimarKey, FromRegistrations, name, &s->registrationsUnread);
        ReadProductList(s, kInstalledAppsKey, FromInstalledApps, name, &s->installedAppsUnread);
        ReadProductList(s, usageKey, FromSharedUsage, name, &usageUnread);
        delete[] name;
    }
    // A key whose stopped run's change shows that the product holds no use (an install that had not
    // counted it, an uninstall that had released it) is no registration: the next run settles it so.
    for (int i = 0; i < s->products.Count(); ++i)
    {
        const ProductReading& p = s->products[i];
        ChangeProgress progress = p.changing ? ChangeProgressOf(*s, p.change) : ChangeProgress::Neither;
        if (progress != ChangeProgress::Neither && !IsChangeOwnerAlive(p.change) && !HoldsUse(p.change, progress))
            --s->registrations;
    }

    ReadService(s);
    ReadUninstallEntry(s);
    ReadFiles(s);
    ReadPendingOperations(s);
}
