// The registry half of the machine state: locations, counts, registrations, service, uninstall entry
// and the running-installer test.
#include "check/state.h"

#include <wchar.h>

#include <new>

#include "base/handle.h"
#include "base/registry.h"
#include "context/globalinfo.h"
#include "context/locations.h"
#include "context/platform.h"
#include "usage/usagecount.h"

namespace
{
const wchar_t kServiceName[] = L"Pellimar";
const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Pellimar";
const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tovrand";
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

// "ProgramFilesDir" or "CommonFilesDir" as the installer takes it, or the system drive's usual place
// when it cannot be used. The installer stores that place where no value is; the check only uses it.
void ReadFolder(const wchar_t* valueName, const wchar_t* deepest, const wchar_t* usual, wchar_t* out)
{
    CRegistryEntry entry(HKEY_LOCAL_MACHINE, kCurrentVersionKey, valueName);
    CWString folder(kPathChars);
    if (ReadFolderValue(&entry, deepest, folder) == ERROR_SUCCESS)
    {
        lstrcpynW(out, folder.Str(), kStatePathChars);
        return;
    }
    wchar_t system[MAX_PATH] = L"C:";
    GetSystemDirectoryW(system, MAX_PATH);
    lstrcpyW(out, usual);
    out[0] = system[0];
}

void ReadLocations(MachineState* s)
{
    wchar_t system[kStatePathChars] = L"";
    GetSystemDirectoryW(system, kStatePathChars - 16);
    JoinPath(s->driversDir, kStatePathChars, system, L"Drivers");
    wchar_t folder[kStatePathChars];
    ReadFolder(L"ProgramFilesDir", kDeepestBelowProgramFiles, L"C:\\Program Files", folder);
    JoinPath(s->makerDir, kStatePathChars, folder, L"Norvatek");
    JoinPath(s->payloadDir, kStatePathChars, s->makerDir, L"TEMP.^^^");
    ReadFolder(L"CommonFilesDir", kDeepestBelowCommonFiles, L"C:\\Program Files\\Common Files", folder);
    JoinPath(s->sharedDir, kStatePathChars, folder, kSharedDirName);
    JoinPath(s->manifestsDir, kStatePathChars, s->sharedDir, L"KVManifests");
    s->payloadDirExists = IsExistingDirectory(s->payloadDir) != FALSE;
}

void ReadCount(const wchar_t* directory, bool keyExists, CountReading* out)
{
    JoinPath(out->valueName, kStatePathChars, directory, kDriverSysName);
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

ProductReading* FindProduct(MachineState* s, const wchar_t* name)
{
    wchar_t cut[kStateNameChars];
    bool wasCut = CopyText(cut, kStateNameChars, name);
    for (int i = 0; i < s->productCount; ++i)
    {
        if (lstrcmpiW(s->products[i].appId, cut) == 0)
            return &s->products[i];
    }
    if (s->productCount == kMaxProducts)
    {
        ++s->productsNotShown;
        return nullptr;
    }
    ProductReading* p = &s->products[s->productCount++];
    lstrcpyW(p->appId, cut);
    p->nameCut = wasCut;
    return p;
}

enum ProductSource { FromRegistrations, FromInstalledApps, FromSharedUsage };

// The subkeys (registrations) or the values (the other two lists) of one key, each a product id.
void ReadProductList(MachineState* s, const wchar_t* path, ProductSource source, wchar_t* name)
{
    CScopedKey key;
    bool unread = false;
    if (!OpenForReading(s, path, key, &unread))
    {
        s->registrationsUnread = s->registrationsUnread || (source == FromRegistrations && unread);
        return;
    }
    if (source == FromRegistrations)
    {
        DWORD subKeys = 0;
        if (RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr) == ERROR_SUCCESS)
            s->registrations = static_cast<int>(subKeys);
    }
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
            break;
        }
        // The unnamed default value is no product.
        ProductReading* p = name[0] != L'\0' ? FindProduct(s, name) : nullptr;
        if (p == nullptr)
            continue;
        if (source == FromRegistrations)
            p->registered = true;
        else if (source == FromInstalledApps)
            p->installedApps = true;
        else
            p->sharedUsage = true;
    }
}

// "\??\C:\...", "\SystemRoot\System32\...", "System32\..." (relative to the Windows directory) and the
// plain path all name the same image.
bool SameImagePath(const wchar_t* configured, const wchar_t* expected)
{
    const wchar_t* p = configured;
    if (p[0] == L'\\' && p[1] == L'?' && p[2] == L'?' && p[3] == L'\\')
        p += 4;
    wchar_t windows[kStatePathChars] = L"";
    GetSystemDirectoryW(windows, kStatePathChars);
    wchar_t* slash = windows + lstrlenW(windows);
    while (slash > windows && *slash != L'\\')
        --slash;
    *slash = L'\0';
    wchar_t full[2 * kStatePathChars];
    const int rootChars = 11;   // "\SystemRoot"
    if (_wcsnicmp(p, L"\\SystemRoot\\", rootChars + 1) == 0)
        JoinPath(full, 2 * kStatePathChars, windows, p + rootChars + 1);
    else if (p[0] != L'\0' && p[0] != L'\\' && p[1] != L':')
        JoinPath(full, 2 * kStatePathChars, windows, p);
    else
        CopyText(full, 2 * kStatePathChars, p);
    return lstrcmpiW(full, expected) == 0;
}

void ReadService(MachineState* s)
{
    ServiceReading* out = &s->service;
    CScopedService scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm.IsValid())
    {
        NoteReadError(s, L"service control manager", GetLastError());
        return;
    }
    CScopedService service(OpenServiceW(scm.Get(), kServiceName, SERVICE_QUERY_CONFIG));
    if (!service.IsValid())
    {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_DOES_NOT_EXIST)
            NoteReadError(s, L"service Pellimar", error);
        return;
    }
    out->exists = true;
    // The service manager's answers are at most 8 KB.
    union
    {
        QUERY_SERVICE_CONFIGW config;
        BYTE bytes[8192];
    } buffer;
    DWORD needed = 0;
    if (!QueryServiceConfigW(service.Get(), &buffer.config, sizeof(buffer), &needed))
    {
        NoteReadError(s, L"service Pellimar configuration", GetLastError());
        return;
    }
    out->type = buffer.config.dwServiceType;
    out->start = buffer.config.dwStartType;
    out->errorControl = buffer.config.dwErrorControl;
    const wchar_t* image = buffer.config.lpBinaryPathName != nullptr ? buffer.config.lpBinaryPathName : L"";
    CopyText(out->imagePath, kStatePathChars, image);
    wchar_t expected[kStatePathChars];
    JoinPath(expected, kStatePathChars, s->driversDir, kDriverSysName);
    out->imagePathMatches = SameImagePath(image, expected);

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
    CRegistryEntry entry(HKEY_LOCAL_MACHINE, kUninstallKey, L"QuietUninstallString");
    LONG rc = entry.Open(KEY_READ);
    if (rc != ERROR_SUCCESS)
    {
        if (rc != ERROR_FILE_NOT_FOUND)
            NoteReadError(s, kUninstallKey, static_cast<DWORD>(rc));
        return;
    }
    DWORD type = 0;
    rc = QueryText(entry, s->uninstallEntry, kStatePathChars, &type);
    s->uninstallEntryExists = rc != ERROR_FILE_NOT_FOUND;
    if (!s->uninstallEntryExists)
        return;
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
    {
        wsprintfW(s->uninstallEntry, L"(a value of type %lu, %s)", type, rc == ERROR_MORE_DATA ? L"too long" : L"no text");
        return;
    }
    wchar_t copy[kStatePathChars];
    JoinPath(copy, kStatePathChars, s->sharedDir, kInstallerFileName);
    wchar_t expected[kStatePathChars + 16];
    wsprintfW(expected, L"\"%s\" /U /Q", copy);
    s->uninstallEntryMatches = lstrcmpiW(s->uninstallEntry, expected) == 0;
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

bool CopyText(wchar_t* out, int capacity, const wchar_t* text)
{
    int n = 0;
    for (; text[n] != L'\0' && n < capacity - 1; ++n)
        out[n] = text[n];
    out[n] = L'\0';
    return text[n] != L'\0';
}

void NoteReadError(MachineState* state, const wchar_t* what, DWORD code)
{
    if (state->readErrorCount >= kMaxReadErrors)
        return;
    ReadError& error = state->readErrors[state->readErrorCount++];
    lstrcpynW(error.what, what, kStatePathChars);
    error.code = code;
}

void ReadMachineState(MachineState* s)
{
    ZeroMemory(s, sizeof(*s));
    s->installerRunning = IsInstallerRunning();
    s->vistaOrLater = IsWinVistaOrBetter() != FALSE;
    ReadLocations(s);

    CScopedKey sharedDlls;
    bool counts = OpenForReading(s, kSharedDllsKey, sharedDlls, &s->countsUnread);
    ReadCount(s->driversDir, counts, &s->mainCount);
    ReadCount(s->makerDir, counts && !s->vistaOrLater, &s->makerCount);

    wchar_t* name = new (std::nothrow) wchar_t[kValueNameChars];
    if (name == nullptr)
    {
        NoteReadError(s, L"product lists (no memory)", ERROR_NOT_ENOUGH_MEMORY);
    }
    else
    {
        wchar_t usageKey[kStatePathChars];
        JoinPath(usageKey, kStatePathChars, kSharedUsageKey, kDriverSysName);
        ReadProductList(s, kPellimarKey, FromRegistrations, name);
        ReadProductList(s, kInstalledAppsKey, FromInstalledApps, name);
        ReadProductList(s, usageKey, FromSharedUsage, name);
        delete[] name;
    }

    ReadService(s);
    ReadUninstallEntry(s);
    ReadFiles(s);
    ReadPendingOperations(s);
}
