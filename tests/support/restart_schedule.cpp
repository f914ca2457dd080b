#include "restart_schedule.h"

#include "harness.h"

namespace harness
{
namespace
{
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";

struct NtUnicodeString
{
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
};

struct NtObjectAttributes
{
    ULONG Length;
    HANDLE RootDirectory;
    NtUnicodeString* ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};

typedef LONG(NTAPI* NtOpenKeyFn)(HANDLE*, ACCESS_MASK, NtObjectAttributes*);

// RegOverridePredefKey redirects HKEY_LOCAL_MACHINE by handle; the native name reaches the real key.
HKEY OpenRealSessionManager(REGSAM access)
{
    NtOpenKeyFn open = reinterpret_cast<NtOpenKeyFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtOpenKey")));
    if (open == nullptr)
        return nullptr;
    wchar_t name[] = L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    NtUnicodeString text = {static_cast<USHORT>(lstrlenW(name) * sizeof(wchar_t)),
                            static_cast<USHORT>(sizeof(name)), name};
    NtObjectAttributes attributes = {sizeof(attributes), nullptr, &text, 0x40 /* OBJ_CASE_INSENSITIVE */,
                                     nullptr, nullptr};
    HANDLE key = nullptr;
    if (open(&key, access, &attributes) != 0)
        return nullptr;
    return static_cast<HKEY>(key);
}

bool ReadRaw(DWORD* type, std::string* bytes)
{
    HKEY key = OpenRealSessionManager(KEY_READ);
    if (key == nullptr)
        return false;
    DWORD size = 0;
    LONG rc = RegQueryValueExW(key, kPendingValue, nullptr, type, nullptr, &size);
    if (rc == ERROR_SUCCESS)
    {
        bytes->assign(size, '\0');
        rc = RegQueryValueExW(key, kPendingValue, nullptr, type, reinterpret_cast<BYTE*>(&(*bytes)[0]), &size);
        bytes->resize(size);
    }
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}
}  // namespace

std::vector<std::wstring> PendingRenameStrings()
{
    std::vector<std::wstring> strings;
    DWORD type = 0;
    std::string bytes;
    if (!ReadRaw(&type, &bytes))
        return strings;
    std::wstring all(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    size_t start = 0;
    while (start < all.size())
    {
        size_t end = all.find(L'\0', start);
        if (end == std::wstring::npos)
            end = all.size();
        strings.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    // The list's closing NUL reads as one more, empty string.
    if (!strings.empty() && strings.back().empty() && !all.empty() && all.back() == L'\0')
        strings.pop_back();
    return strings;
}

std::vector<std::pair<std::wstring, std::wstring>> PendingRenames()
{
    std::vector<std::pair<std::wstring, std::wstring>> pairs;
    std::vector<std::wstring> strings = PendingRenameStrings();
    // An empty string where a source would stand ends the list.
    for (size_t i = 0; i + 1 < strings.size() && !strings[i].empty(); i += 2)
        pairs.emplace_back(strings[i], strings[i + 1]);
    return pairs;
}

int ScheduledDeletionIndex(const std::wstring& path)
{
    std::vector<std::pair<std::wstring, std::wstring>> pairs = PendingRenames();
    for (size_t i = 0; i < pairs.size(); ++i)
    {
        if (pairs[i].first == L"\\??\\" + path && pairs[i].second.empty())
            return static_cast<int>(i);
    }
    return -1;
}

bool IsScheduledForDeletion(const std::wstring& path)
{
    return ScheduledDeletionIndex(path) >= 0;
}

PendingRenamesGuard::PendingRenamesGuard()
{
    m_existed = ReadRaw(&m_type, &m_bytes);
}

PendingRenamesGuard::~PendingRenamesGuard()
{
    HKEY key = OpenRealSessionManager(KEY_READ | KEY_WRITE);
    if (key == nullptr)
        return;
    if (m_existed)
        RegSetValueExW(key, kPendingValue, 0, m_type, reinterpret_cast<const BYTE*>(m_bytes.data()),
                       static_cast<DWORD>(m_bytes.size()));
    else
        RegDeleteValueW(key, kPendingValue);
    RegCloseKey(key);
}

std::wstring ShortPath(const std::wstring& path)
{
    wchar_t buffer[1024];
    DWORD n = GetShortPathNameW(path.c_str(), buffer, 1024);
    if (n == 0 || n >= 1024)
        return L"";
    return std::wstring(buffer, n);
}

namespace
{
bool GetVariable(const wchar_t* name, std::wstring* value)
{
    wchar_t buffer[32768];
    DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
    if (n == 0 || n >= 32768)
        return false;
    value->assign(buffer, n);
    return true;
}
}  // namespace

TempRedirect::TempRedirect(const std::wstring& dir)
{
    m_hadTmp = GetVariable(L"TMP", &m_tmp);
    m_hadTemp = GetVariable(L"TEMP", &m_temp);
    SetEnvironmentVariableW(L"TMP", dir.c_str());
    SetEnvironmentVariableW(L"TEMP", dir.c_str());
}

TempRedirect::~TempRedirect()
{
    SetEnvironmentVariableW(L"TMP", m_hadTmp ? m_tmp.c_str() : nullptr);
    SetEnvironmentVariableW(L"TEMP", m_hadTemp ? m_temp.c_str() : nullptr);
}

FileHolder::FileHolder(const std::wstring& path, DWORD holdMs, DWORD shareMode)
{
    static LONG counter = 0;
    wchar_t eventName[64];
    wsprintfW(eventName, L"TovrandTestHold_%lu_%ld", GetCurrentProcessId(), InterlockedIncrement(&counter));
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, eventName);
    wchar_t numbers[64];
    wsprintfW(numbers, L" %lu %lu", holdMs, shareMode);
    m_process = Start(L"\"" + BinDir() + L"\\holdfile.exe\" \"" + path + L"\" " + eventName + numbers, L"");
    if (m_process != nullptr && ready != nullptr)
    {
        HANDLE waits[2] = {ready, m_process};
        m_ready = WaitForMultipleObjects(2, waits, FALSE, 10000) == WAIT_OBJECT_0;
    }
    if (ready != nullptr)
        CloseHandle(ready);
}

FileHolder::~FileHolder()
{
    if (m_process == nullptr)
        return;
    TerminateProcess(m_process, 9);
    WaitForSingleObject(m_process, 5000);
    CloseHandle(m_process);
}

bool FileHolder::WaitReleased(DWORD timeoutMs)
{
    return m_process != nullptr && WaitForSingleObject(m_process, timeoutMs) == WAIT_OBJECT_0;
}
}  // namespace harness
