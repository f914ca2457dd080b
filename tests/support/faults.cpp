#include "faults.h"

#include <tlhelp32.h>

#include "harness.h"
#include "machine.h"
#include "scratch_registry.h"

namespace harness
{
const wchar_t kPendingRenamesValue[] = L"PendingFileRenameOperations";
const wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const wchar_t kForeignDir[] = L"C:\\TovrandForeign";

namespace
{
const wchar_t kSharedUsageDriverKey[] = L"Software\\Norvatek\\SharedUsage\\PELLIMAR64x86.SYS";

std::wstring Foreign(const wchar_t* name)
{
    return std::wstring(kForeignDir) + L"\\" + name;
}

struct ForeignCount
{
    const wchar_t* name;
    DWORD type;
    std::string bytes;
};

std::vector<ForeignCount> ForeignCounts()
{
    DWORD seven = 7;
    return {{L"C:\\TovrandForeign\\foreign.dll", REG_DWORD, std::string(reinterpret_cast<const char*>(&seven), 4)},
            {L"C:\\TovrandForeign\\other.dll", REG_SZ, Utf16(L"3") + std::string(2, '\0')}};
}

bool ContainsNoCase(const std::wstring& text, const std::wstring& part)
{
    std::wstring a = text;
    std::wstring b = part;
    for (wchar_t& c : a)
        c = static_cast<wchar_t>(towupper(c));
    for (wchar_t& c : b)
        c = static_cast<wchar_t>(towupper(c));
    return a.find(b) != std::wstring::npos;
}
}  // namespace

RawValue ReadRaw(const std::wstring& key, const wchar_t* name)
{
    RawValue v;
    v.exists = GetValue(HKEY_LOCAL_MACHINE, key, name, &v.type, &v.bytes);
    return v;
}

void WriteRaw(const std::wstring& key, const wchar_t* name, const RawValue& value)
{
    if (!value.exists)
        DeleteValue(HKEY_LOCAL_MACHINE, key, name);
    else
        SetBinary(HKEY_LOCAL_MACHINE, key, name, value.bytes.data(), static_cast<DWORD>(value.bytes.size()),
                  value.type);
}

RawValue RawPending()
{
    return ReadRaw(kSessionManager, kPendingRenamesValue);
}

std::string Utf16(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::string MultiSz(const std::vector<std::wstring>& strings, bool closingNul)
{
    std::string bytes;
    for (const std::wstring& s : strings)
        bytes += Utf16(s) + std::string(2, '\0');
    if (closingNul)
        bytes += std::string(2, '\0');
    return bytes;
}

SavedValue::SavedValue(const std::wstring& key, const wchar_t* name)
    : m_key(key), m_name(name), m_value(ReadRaw(key, name))
{
}

SavedValue::~SavedValue()
{
    WriteRaw(m_key, m_name.c_str(), m_value);
}

std::wstring MainCountName()
{
    return Where().driversDir + L"\\PELLIMAR64x86.SYS";
}

void WaitForChildProcesses(DWORD parentPid, DWORD timeoutMs)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    std::vector<HANDLE> children;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
    {
        // Only the installer's own copies: Wine may start its desktop process (explorer.exe) from
        // whichever program first opens a window, and that one lives on.
        if (entry.th32ParentProcessID != parentPid || _wcsnicmp(entry.szExeFile, L"tovrand", 7) != 0)
            continue;
        HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (child != nullptr)
            children.push_back(child);
    }
    CloseHandle(snapshot);
    DWORD start = GetTickCount();
    for (HANDLE child : children)
    {
        wchar_t image[MAX_PATH];
        DWORD chars = MAX_PATH;
        bool named = QueryFullProcessImageNameW(child, 0, image, &chars) != FALSE;
        DWORD spent = GetTickCount() - start;
        bool ended = WaitForSingleObject(child, spent < timeoutMs ? timeoutMs - spent : 0) == WAIT_OBJECT_0;
        CloseHandle(child);
        std::wstring path(image, named ? chars : 0);
        // The temporary copy of a self-delete ran (and logged) in the run's log directory, which could
        // not be removed while it ran: take the directory away now.
        size_t slash = path.find_last_of(L'\\');
        if (ended && slash != std::wstring::npos && ContainsNoCase(path, L"\\tvt"))
            RemoveTree(path.substr(0, slash));
    }
}

InstallerRun FaultTest::Run(const std::wstring& args, const std::wstring& exe)
{
    InstallerRun run = RunCase(args, exe);
    if (run.process.pid != 0)
        WaitForChildProcesses(run.process.pid, 60000);
    return run;
}

std::vector<std::wstring> FaultTest::ForeignPending()
{
    return {L"\\??\\" + Foreign(L"a.tmp"), L"",
            L"\\??\\" + Foreign(L"b.old"), L"!\\??\\" + Foreign(L"b.new"),
            L"\\??\\" + Foreign(L"c.tmp"), L""};
}

std::vector<std::wstring> FaultTest::ForeignPendingNow()
{
    std::vector<std::wstring> entries = PendingRenameStrings();
    std::vector<std::wstring> foreign;
    for (size_t i = 0; i + 1 < entries.size(); i += 2)
    {
        if (ContainsNoCase(entries[i], L"\\TovrandForeign\\"))
        {
            foreign.push_back(entries[i]);
            foreign.push_back(entries[i + 1]);
        }
    }
    return foreign;
}

void FaultTest::TearDown()
{
    MachineTest::TearDown();
    for (const ForeignCount& c : ForeignCounts())
        DeleteValue(HKEY_LOCAL_MACHINE, kSharedDlls, c.name);
    RemoveTree(kForeignDir);
}

void FaultTest::PlaceBystanders(bool otherProduct)
{
    if (otherProduct)
    {
        InstallerRun other = Run(L"/Q /NOREGQZ PRODUCTB");
        ASSERT_TRUE(other.process.finished);
        ASSERT_EQ(0u, other.process.exitCode);
        ASSERT_EQ("1", MainCount());
        SetString(HKEY_LOCAL_MACHINE, kInstalledApps, L"PRODUCTB", L"Product B");
        SetString(HKEY_LOCAL_MACHINE, kSharedUsageDriverKey, L"PRODUCTB", L"1");
    }
    for (const ForeignCount& c : ForeignCounts())
        SetBinary(HKEY_LOCAL_MACHINE, kSharedDlls, c.name, c.bytes.data(), static_cast<DWORD>(c.bytes.size()), c.type);
    CreateDirectoryW(kForeignDir, nullptr);
    for (const wchar_t* name : {L"a.tmp", L"b.old", L"c.tmp"})
        ASSERT_TRUE(WriteFileBytes(Foreign(name), "foreign " + Narrow(name)));
    SetPendingRenames(ForeignPending());
}

void FaultTest::ExpectBystandersUntouched(const std::string& context, bool otherProduct, bool checkPending)
{
    if (otherProduct)
    {
        EXPECT_EQ(1u, GetDword(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\PRODUCTB", L"Dir1"))
            << context << ": the other product's registration";
        EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, kInstalledApps, L"PRODUCTB")) << context;
        EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, kSharedUsageDriverKey, L"PRODUCTB")) << context;
        EXPECT_TRUE(FileExists(MainCountName())) << context << ": the other product's driver";
        EXPECT_TRUE(ServiceExists()) << context << ": the other product's driver service";
    }
    for (const ForeignCount& c : ForeignCounts())
    {
        RawValue v = ReadRaw(kSharedDlls, c.name);
        EXPECT_TRUE(v.exists && v.type == c.type && v.bytes == c.bytes) << context << ": foreign count " << Narrow(c.name);
    }
    if (checkPending)
        EXPECT_EQ(ForeignPending(), ForeignPendingNow()) << context << ": foreign pending renames";
}

void FaultTest::ExpectForeignRenamesCarriedOut()
{
    EXPECT_FALSE(FileExists(Foreign(L"a.tmp")));
    EXPECT_FALSE(FileExists(Foreign(L"c.tmp")));
    EXPECT_FALSE(FileExists(Foreign(L"b.old")));
    EXPECT_EQ("foreign b.old", ReadFileBytes(Foreign(L"b.new")));
}

std::wstring OwnInstallerCopy(const ScratchDir& dir)
{
    std::wstring copy = dir.File(L"TOVRAND64x86.EXE");
    CopyFileW(InstallerPath().c_str(), copy.c_str(), FALSE);
    return copy;
}
}  // namespace harness
