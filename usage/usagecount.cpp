#include "usage/usagecount.h"

#include <stdio.h>

#include "base/files.h"
#include "base/log.h"
#include "base/wstring.h"
#include "context/globalinfo.h"
#include "context/platform.h"
#include "system/removal.h"
#include "context/locations.h"

namespace
{
// A count text is read into 132 characters, one of which always stays the terminator.
const DWORD kCountTextBytes = 131 * sizeof(wchar_t);

bool IsCountType(DWORD type)
{
    return type == REG_SZ || type == REG_DWORD;
}

// Whether the decimal reading of text finds a number at all: blanks and a sign, then a digit.
bool StartsWithNumber(const wchar_t* text)
{
    const wchar_t* p = text;
    while (*p == L' ' || (*p >= L'\t' && *p <= L'\r'))
        ++p;
    if (*p == L'+' || *p == L'-')
        ++p;
    return *p >= L'0' && *p <= L'9';
}
}  // namespace

DWORD ParseCountText(const wchar_t* text)
{
    const wchar_t* p = text;
    while (*p == L' ' || (*p >= L'\t' && *p <= L'\r'))
        ++p;
    bool negative = false;
    if (*p == L'+' || *p == L'-')
        negative = *p++ == L'-';
    ULONGLONG value = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p)
    {
        value = value * 10 + static_cast<ULONGLONG>(*p - L'0');
        if (value > 0xFFFFFFFFull)
            return kNoCount;
    }
    DWORD count = static_cast<DWORD>(value);
    return negative ? 0u - count : count;
}

CUsageCount::CUsageCount(HKEY root, const wchar_t* keyPath, const wchar_t* valueName)
    : m_type(-1), m_entry(root, keyPath, valueName)
{
}

BOOL CUsageCount::Exists()
{
    DWORD type = 0;
    DWORD size = 0;
    if (m_entry.QueryValueSize(&type, &size) != ERROR_SUCCESS)
        return FALSE;
    m_type = IsCountType(type) ? static_cast<int>(type) : -1;
    return m_type != -1;
}

BOOL CUsageCount::IsUnreadable()
{
    DWORD type = 0;
    DWORD size = 0;
    // A missing value is no count at all, which is what a driver without users has.
    if (m_entry.QueryValueSize(&type, &size) != ERROR_SUCCESS)
        return FALSE;
    if (GetCount() == kNoCount)
        return TRUE;
    if (type != REG_SZ)
        return FALSE;
    wchar_t text[132] = {};
    DWORD bytes = kCountTextBytes;
    if (m_entry.QueryValue(&type, text, &bytes) != ERROR_SUCCESS)
        return TRUE;
    return StartsWithNumber(text) ? FALSE : TRUE;
}

DWORD CUsageCount::GetCount()
{
    DWORD type = 0;
    DWORD size = 0;
    if (m_entry.QueryValueSize(&type, &size) != ERROR_SUCCESS)
        return kNoCount;
    if (!IsCountType(type))
    {
        m_type = -1;
        return kNoCount;
    }
    m_type = static_cast<int>(type);
    if (type == REG_SZ)
    {
        // One whole character short of the 132 the buffer holds: the last one stays zero, so an
        // unterminated or odd-sized value still ends.
        wchar_t text[132] = {};
        DWORD bytes = kCountTextBytes;
        if (m_entry.QueryValue(&type, text, &bytes) != ERROR_SUCCESS)
            return kNoCount;
        return ParseCountText(text);
    }
    DWORD count = 0;
    DWORD bytes = sizeof(count);
    if (m_entry.QueryValue(&type, &count, &bytes) != ERROR_SUCCESS)
        return kNoCount;
    return count;
}

LONG CUsageCount::SetCount(DWORD count, BOOL asString)
{
    DWORD type = REG_SZ;
    if (!asString)
    {
        DWORD existing = 0;
        DWORD size = 0;
        bool known = m_entry.QueryValueSize(&existing, &size) == ERROR_SUCCESS && IsCountType(existing);
        type = known ? existing : REG_DWORD;
    }
    m_type = static_cast<int>(type);
    if (type == REG_SZ)
    {
        wchar_t digits[16];
        _snwprintf(digits, 15, L"%lu", count);
        digits[15] = L'\0';
        return m_entry.SetValue(REG_SZ, digits, static_cast<DWORD>((lstrlenW(digits) + 1) * sizeof(wchar_t)));
    }
    return m_entry.SetValue(REG_DWORD, &count, sizeof(count));
}

DWORD CUsageCount::Decrement(BOOL deleteAtZero, LONG* writeError)
{
    *writeError = ERROR_SUCCESS;
    DWORD count = GetCount();
    if (count == kNoCount)
        return kNoCount;
    DWORD lowered = count > 0 ? count - 1 : 0;
    LONG rc;
    if (lowered == 0 && deleteAtZero)
    {
        rc = m_entry.DeleteValue();
        // Gone already is as good as deleted.
        if (rc == ERROR_FILE_NOT_FOUND)
            rc = ERROR_SUCCESS;
    }
    else
    {
        rc = SetCount(lowered, FALSE);
    }
    if (rc != ERROR_SUCCESS)
    {
        *writeError = rc;
        return count;
    }
    return lowered;
}

void RegistrationKeyOf(const wchar_t* appId, CWString& key)
{
    JoinPath(key, kPellimarKey, appId);
}

LONG WriteRegistration(const wchar_t* appId)
{
    CWString key(kCountNameChars);
    RegistrationKeyOf(appId, key);
    CRegistryEntry product(HKEY_LOCAL_MACHINE, key.Str(), L"Dir1");
    DWORD one = 1;
    return product.SetValue(REG_DWORD, &one, sizeof(one));
}

LONG RemoveRegistrationKey(const wchar_t* appId)
{
    CWString key(kCountNameChars);
    RegistrationKeyOf(appId, key);
    CRegistryEntry product(HKEY_LOCAL_MACHINE, key.Str(), nullptr);
    if (product.DeleteKey(TRUE))
        return ERROR_SUCCESS;
    LONG rc = static_cast<LONG>(GetLastError());
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

namespace
{
const wchar_t kCountChangeValue[] = L"CountChange";

// The counts of the layout by their index in a CountChange.
const wchar_t* CountName(int i)
{
    return i == 0 ? g_pGlobalInfo->Layout.driverImage : g_pGlobalInfo->Layout.makerDriverImage;
}

// Writes one count as the change has it at that moment: deleted for kNoCount.
LONG WriteCount(int i, DWORD value, BOOL asString)
{
    const wchar_t* name = CountName(i);
    if (name[0] == L'\0')
        return ERROR_SUCCESS;
    CUsageCount record(HKEY_LOCAL_MACHINE, kSharedDllsKey, name);
    if (value != kNoCount)
        return record.SetCount(value, asString);
    CRegistryEntry entry(HKEY_LOCAL_MACHINE, kSharedDllsKey, name);
    LONG rc = entry.DeleteValue();
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}
}  // namespace

LONG BeginCountChange(const wchar_t* appId, CountChange* change)
{
    FILETIME exited;
    FILETIME kernel;
    FILETIME user;
    change->owner = GetCurrentProcessId();
    GetProcessTimes(GetCurrentProcess(), &change->started, &exited, &kernel, &user);
    CWString key(kCountNameChars);
    RegistrationKeyOf(appId, key);
    CRegistryEntry entry(HKEY_LOCAL_MACHINE, key.Str(), kCountChangeValue);
    return entry.SetValue(REG_BINARY, change, sizeof(*change));
}

LONG ReadCountChange(const wchar_t* appId, CountChange* change)
{
    CWString key(kCountNameChars);
    RegistrationKeyOf(appId, key);
    CRegistryEntry entry(HKEY_LOCAL_MACHINE, key.Str(), kCountChangeValue);
    DWORD type = 0;
    DWORD size = sizeof(*change);
    LONG rc = entry.QueryValue(&type, change, &size);
    // Anything else under the name is no change of ours: it says nothing about the counts.
    if (rc == ERROR_SUCCESS && (type != REG_BINARY || size != sizeof(*change)))
        rc = ERROR_INVALID_DATA;
    return rc == ERROR_MORE_DATA ? ERROR_INVALID_DATA : rc;
}

LONG EndCountChange(const wchar_t* appId)
{
    CWString key(kCountNameChars);
    RegistrationKeyOf(appId, key);
    CRegistryEntry entry(HKEY_LOCAL_MACHINE, key.Str(), kCountChangeValue);
    LONG rc = entry.DeleteValue();
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

LONG WriteCountsAfter(const CountChange& change, BOOL asString)
{
    LONG first = ERROR_SUCCESS;
    for (int i = 0; i < 2; ++i)
    {
        if (ReadDriverCount(CountName(i)) == change.after[i])
            continue;
        LONG rc = WriteCount(i, change.after[i], asString);
        if (first == ERROR_SUCCESS)
            first = rc;
    }
    return first;
}

LONG WriteCountsBefore(const CountChange& change)
{
    LONG first = ERROR_SUCCESS;
    for (int i = 0; i < 2; ++i)
    {
        if (ReadDriverCount(CountName(i)) == change.before[i])
            continue;
        LONG rc = WriteCount(i, change.before[i], !change.release);
        if (first == ERROR_SUCCESS)
            first = rc;
    }
    return first;
}

DWORD ReadDriverCount(const wchar_t* valueName, int* type)
{
    if (valueName[0] == L'\0')
        return kNoCount;   // an empty name would be the key's default value
    CUsageCount record(HKEY_LOCAL_MACHINE, kSharedDllsKey, valueName);
    DWORD count = record.GetCount();
    if (type != nullptr)
        *type = record.Type();
    return count;
}

BOOL GetUsageCounts(DWORD* count)
{
    GlobalInfo* info = g_pGlobalInfo;
    // A missing or unreadable count is taken as 0 here.
    DWORD result = ReadDriverCount(info->Layout.driverImage);
    if (result == kNoCount)
        result = 0;
    if (!IsWinVistaOrBetter())
    {
        // Before Vista the driver also lives in the maker's directory, with a count of its own.
        DWORD second = ReadDriverCount(info->Layout.makerDriverImage);
        if (second != kNoCount && second > result)
            result = second;
    }
    LogEvent("  GetUsageCounts found an existing usage count of: %d", static_cast<int>(result));
    if (count != nullptr)
        *count = result;
    return TRUE;
}

BOOL IsDriverCounted()
{
    DWORD main = ReadDriverCount(g_pGlobalInfo->Layout.driverImage);
    DWORD maker = ReadDriverCount(g_pGlobalInfo->Layout.makerDriverImage);
    return (main != kNoCount && main != 0) || (maker != kNoCount && maker != 0);
}

LONG RebuildUnreadableUsageCount()
{
    // Taken as 0, an unreadable count makes the driver look unused: an install would blast the other
    // products' registrations as leftovers, an update would write 0, and the next uninstall would
    // remove the driver under the products that still use it. Each product that raised the count
    // holds a registration key, so their number is what the count has to be.
    const wchar_t* path = g_pGlobalInfo->Layout.driverImage;
    if (path[0] == L'\0')
        return ERROR_SUCCESS;
    CUsageCount count(HKEY_LOCAL_MACHINE, kSharedDllsKey, path);
    if (!count.IsUnreadable())
        return ERROR_SUCCESS;
    CRegistryEntry products(HKEY_LOCAL_MACHINE, kPellimarKey, nullptr);
    int registered = products.GetSubKeyCount();
    if (registered < 0)
        registered = 0;
    LogEvent("  *Unreadable SharedDlls refcount for %s, rebuilding it from %d registered products.", path,
             registered);
    LONG rc = count.SetCount(static_cast<DWORD>(registered), TRUE);
    if (rc != ERROR_SUCCESS)
        LogEvent("  Error - Cannot write the usage count %s (%d).", path, static_cast<int>(rc));
    return rc;
}

DWORD LowerFileUsage(const wchar_t* path, BOOL* failed)
{
    *failed = FALSE;
    if (path[0] == L'\0')
        return kNoCount;
    CUsageCount record(HKEY_LOCAL_MACHINE, kSharedDllsKey, path);
    // A count that reaches 0, or already was 0, leaves the list.
    LONG writeError = ERROR_SUCCESS;
    DWORD result = record.Decrement(TRUE, &writeError);
    if (writeError != ERROR_SUCCESS)
    {
        // The count still says this product uses the file: so must everything else.
        LogEvent("  Error - Cannot lower the usage count %s (%d).", path, static_cast<int>(writeError));
        *failed = TRUE;
    }
    return result;
}

LONG RestoreFileUsage(const wchar_t* path, DWORD count, int type)
{
    if (path[0] == L'\0')
        return ERROR_BAD_PATHNAME;
    CUsageCount record(HKEY_LOCAL_MACHINE, kSharedDllsKey, path);
    return record.SetCount(count, type == REG_SZ);
}

void FinishFileRelease(const wchar_t* path, const wchar_t* appId, DWORD count, BOOL keepFile)
{
    CWString usageKey(kCountNameChars);
    if (path[0] == L'\0' || !JoinPath(usageKey, kSharedUsageKey, kDriverSysName))
        return;
    if (appId[0] != L'\0')
    {
        // Other programs keep the product lists; only this product's value goes, the key stays.
        CRegistryEntry usage(HKEY_LOCAL_MACHINE, usageKey.Str(), appId);
        if (usage.Open(KEY_WRITE) == ERROR_SUCCESS)
            usage.DeleteValue();
    }
    if (count == 0 && !keepFile)
    {
        LogEvent("  RefCount %s reached 0.", path);
        // The image is ours: a read-only attribute would make the deletion fail now and at the restart.
        ClearReadOnly(path);
        // An image in use goes at the next restart, which the run then has to ask for.
        if (DeleteFiles(path, TRUE))
            g_pGlobalInfo->Outcome.RestartRequired();
    }
}
