// TOVCHECK64.EXE end to end: rows of a machine set up through the real installer and edits of its
// registry and files, the check's exit code and finding ids; where a row names the installer run that the
// finding's fix gives, that run must leave a machine the check calls ok. Every run must leave the
// registry, the files and the pending list exactly as they were, and write no log.
#include <algorithm>
#include <memory>

#include "e2e.h"
#include "faults.h"
#include "restart_schedule.h"

using namespace harness;

namespace
{
struct CheckRun
{
    Process process;
    std::string output;   // stdout and stderr, as the bytes the check wrote
    bool wroteLog = false;
};

// The check with its output redirected to a file: the UTF-8 shape.
CheckRun RunCheck(const std::wstring& args)
{
    CheckRun run;
    ScratchDir dir;
    TempRedirect temp(dir.Path());
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    std::wstring outPath = dir.File(L"out.txt");
    HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = out;
    std::wstring cmd = L"\"" + BinDir() + L"\\TOVCHECK64.EXE\" " + args;
    PROCESS_INFORMATION pi = {};
    if (CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
    {
        CloseHandle(pi.hThread);
        run.process = Wait(pi.hProcess, 60000);
    }
    CloseHandle(out);
    run.output = ReadFileBytes(outPath);
    run.wroteLog = FileExists(dir.File(L"PELLIMAR.LOG"));
    return run;
}

// The finding ids of either answer, sorted: "id" members of the JSON object, or the word after
// "ERROR" or "WARNING" at the start of a report line.
std::vector<std::string> FindingIds(const std::string& output)
{
    std::vector<std::string> ids;
    const std::string key = "\"id\": \"";
    for (size_t at = output.find(key); at != std::string::npos; at = output.find(key, at + 1))
        ids.push_back(output.substr(at + key.size(), output.find('"', at + key.size()) - at - key.size()));
    for (const char* label : {"\n  ERROR   ", "\n  WARNING "})
    {
        for (size_t at = output.find(label); at != std::string::npos; at = output.find(label, at + 1))
            ids.push_back(output.substr(at + 11, output.find_first_of("\r\n", at + 11) - at - 11));
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

// A key with its last write time, values (type and bytes) and subkeys; "-" when it cannot be opened.
void DumpKey(const std::wstring& path, std::string& out)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    {
        out += "-" + Narrow(path) + "\n";
        return;
    }
    FILETIME written = {};
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     &written);
    out += Narrow(path) + " @" + std::to_string(written.dwLowDateTime) + "\n";
    static wchar_t name[16384];
    static BYTE data[65536];
    for (DWORD i = 0;; ++i)
    {
        DWORD chars = 16384, size = sizeof(data), type = 0;
        if (RegEnumValueW(key, i, name, &chars, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        out += "  " + Narrow(name) + " " + std::to_string(type) + " " + std::string(reinterpret_cast<char*>(data), size) + "\n";
    }
    std::vector<std::wstring> subKeys;
    for (DWORD i = 0;; ++i)
    {
        DWORD chars = 256;
        if (RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        subKeys.push_back(path + L"\\" + name);
    }
    RegCloseKey(key);
    for (const std::wstring& sub : subKeys)
        DumpKey(sub, out);
}

void DumpFiles(const std::wstring& pattern, std::string& out)
{
    std::wstring dir = pattern.substr(0, pattern.find_last_of(L'\\'));
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(pattern.c_str(), &found);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found))
    {
        std::wstring path = dir + L"\\" + found.cFileName;
        if (found.cFileName[0] == L'.')
            continue;
        out += Narrow(path) + " " + std::to_string(found.ftLastWriteTime.dwLowDateTime) + "\n";
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            DumpFiles(path + L"\\*", out);
        else
            out += ReadFileBytes(path) + "\n";
    }
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
}

std::string Snapshot()
{
    Locations w = Where();
    std::string out;
    for (const wchar_t* key : {L"SOFTWARE\\Norvatek", kSharedDlls, kServiceKey, kUninstallKey, kSessionManager})
        DumpKey(key, out);
    DumpFiles(w.driversDir + L"\\PELLIMAR64x86.*", out);
    DumpFiles(w.makerDir + L"\\*", out);
    DumpFiles(w.sharedDir + L"\\*", out);
    return out;
}

// What a row's set-up keeps alive while the check runs: a holder process, or a key whose access list
// nobody may read, with a handle that may still write it (its access list goes back when the row ends:
// left in place, it would break every later install).
struct Env
{
    std::unique_ptr<Holder> holder;
    Locations w = Where();
    std::wstring driver = w.driversDir + L"\\PELLIMAR64x86.SYS";
    HKEY locked = nullptr;
    std::string acl;
    ~Env()
    {
        if (locked == nullptr)
            return;
        RegSetKeySecurity(locked, DACL_SECURITY_INFORMATION, &acl[0]);
        RegCloseKey(locked);
    }
};

// The product's setup lists it under InstalledApps, then runs the installer.
void Install(const wchar_t* appId)
{
    SetString(HKEY_LOCAL_MACHINE, kInstalledApps, appId, L"");
    RunCase(std::wstring(L"/Q /NOREGQZ ") + appId);
}

void ChangeService(const wchar_t* imagePath, bool remove)
{
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(scm, L"Pellimar", SERVICE_ALL_ACCESS);
    if (remove)
        DeleteService(service);
    else
        ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, imagePath, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr);
    CloseServiceHandle(service);
    CloseServiceHandle(scm);
}

struct Row
{
    const char* name;
    void (*setUp)(Env& env);
    const wchar_t* args;
    DWORD exitCode;
    std::vector<std::string> ids;
    const wchar_t* fix;   // installer arguments the finding's fix names; null when its fix is no installer run
    const char* says;     // a text the report must hold; null for none
};

const Row kRows[] = {
    {"clean machine", [](Env&) {}, L"", 0, {}, nullptr, "Pellimar is not installed"},
    {"after install", [](Env&) { Install(L"PRODUCTA"); }, L"", 0, {}, nullptr, "Verdict: ok"},
    {"after NODEL uninstall", [](Env&) { Install(L"PRODUCTA"); RunCase(L"/U /Q /NODEL /NOREGQZ PRODUCTA"); },
     L"/json", 0, {}, nullptr, "installed without users"},
    {"product not in InstalledApps", [](Env&) { RunCase(L"/Q /NOREGQZ PRODUCTA"); }, L"", 1,
     {"product-not-in-installedapps"}, L"/U /Q /NOREGAPPID /NOREGQZ PRODUCTA", nullptr},
    {"unreadable count", [](Env&) {
         Install(L"PRODUCTA");
         std::string junk(300, '\x7f');
         SetBinary(HKEY_LOCAL_MACHINE, kSharedDlls, MainCountName().c_str(), junk.data(), 300, REG_BINARY);
     }, L"/JSON", 2, {"count-unreadable"}, L"/Q /NOREGQZ PRODUCTA", nullptr},
    {"count below registrations", [](Env&) {
         Install(L"PRODUCTA");
         Install(L"PRODUCTB");
         SetString(HKEY_LOCAL_MACHINE, kSharedDlls, MainCountName().c_str(), L"1");
     }, L"-json", 2, {"count-below-registrations"}, nullptr, "/d 2 /f"},
    {"missing driver", [](Env& e) { Install(L"PRODUCTA"); DeleteFileW(e.driver.c_str()); }, L"/JSON", 2,
     {"driver-missing"}, L"/Q /NOREGQZ PRODUCTA", nullptr},
    {"driver changed after install", [](Env& e) {
         Install(L"PRODUCTA");
         WriteFileBytes(e.driver, ReadFileBytes(e.driver) + "x");
     }, L"/JSON", 2, {"driver-digest-mismatch", "driver-digest-mismatch"}, L"/Q /NOREGQZ /FORCEUPDATE", nullptr},
    {"catalogue cut short", [](Env& e) {
         Install(L"PRODUCTA");
         std::wstring cat = e.w.driversDir + L"\\PELLIMAR64x86.CAT";
         WriteFileBytes(cat, ReadFileBytes(cat).substr(0, 700));
     }, L"/JSON", 2, {"driver-digest-mismatch", "driver-digest-mismatch"}, L"/Q /NOREGQZ PRODUCTA", nullptr},
    {"missing service", [](Env&) { Install(L"PRODUCTA"); ChangeService(nullptr, true); }, L"/JSON", 2,
     {"service-missing"}, L"/Q /NOREGQZ PRODUCTA", nullptr},
    {"service pointing elsewhere", [](Env&) { Install(L"PRODUCTA"); ChangeService(L"C:\\elsewhere\\PELLIMAR64x86.SYS", false); },
     L"/JSON", 2, {"service-misconfigured"}, L"/Q /NOREGQZ PRODUCTA", nullptr},
    // Wine keeps the mark in memory and writes no DeleteFlag; the row writes it as Windows' service
    // manager does.
    {"service marked for deletion", [](Env& e) {
         Install(L"PRODUCTA");
         e.holder.reset(new Holder(L"svcholder.exe", L""));
         ChangeService(nullptr, true);
         SetDword(HKEY_LOCAL_MACHINE, kServiceKey, L"DeleteFlag", 1);
     }, L"/JSON", 1, {"service-marked-for-deletion"}, L"/Q /NOREGQZ PRODUCTA", nullptr},
    {"pending deletion of the driver", [](Env& e) {
         Install(L"PRODUCTA");
         SetPendingRenames({L"\\??\\" + ShortPath(e.driver), L""});
     }, L"/JSON", 2, {"restart-deletes-used-file"}, L"/Q /NOREGQZ PRODUCTA", nullptr},
    {"missing shared copy", [](Env& e) { Install(L"PRODUCTA"); DeleteFileW((e.w.sharedDir + L"\\TOVRAND64x86.EXE").c_str()); },
     L"/JSON", 2, {"installer-copy-missing"}, L"/Q /NOREGQZ PRODUCTA", nullptr},
    {"leftover payload and temporary", [](Env& e) {
         Install(L"PRODUCTA");
         CreateDirectoryW(e.w.tempDir.c_str(), nullptr);
         WriteFileBytes(e.w.driversDir + L"\\PELLIMAR64x86.SY1", "old");
     }, L"/JSON", 1, {"leftover-payload", "leftover-temporary"}, nullptr, "rmdir /s /q"},
    {"payload while an installer runs", [](Env& e) {
         Install(L"PRODUCTA");
         e.holder.reset(new Holder(L"mutexholder.exe", L""));
         CreateDirectoryW(e.w.tempDir.c_str(), nullptr);
     }, L"", 0, {}, nullptr, "state may be changing"},
    // Wine enforces a key's access list when it is opened: nobody may read this one.
    {"unreadable registrations", [](Env& e) {
         Install(L"PRODUCTA");
         RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPellimarKey, 0, READ_CONTROL | WRITE_DAC | KEY_WOW64_64KEY, &e.locked);
         DWORD size = 4096;
         e.acl.resize(size);
         RegGetKeySecurity(e.locked, DACL_SECURITY_INFORMATION, &e.acl[0], &size);
         SECURITY_DESCRIPTOR sd;
         InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
         ACL empty;
         InitializeAcl(&empty, sizeof(empty), ACL_REVISION);
         SetSecurityDescriptorDacl(&sd, TRUE, &empty, FALSE);
         RegSetKeySecurity(e.locked, DACL_SECURITY_INFORMATION, &sd);
     }, L"/JSON", 3, {}, nullptr, "\"code\": 5"},
    {"unknown switch", [](Env&) {}, L"/FIX", 3, {}, nullptr, "usage: TOVCHECK64.EXE [/JSON]"},
};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

class Check : public MachineTest, public ::testing::WithParamInterface<Row>
{
protected:
    PendingRenamesGuard m_pending;
};

TEST_P(Check, ReportsTheStateWithoutChangingIt)
{
    const Row& row = GetParam();
    Env env;
    row.setUp(env);
    std::string before = Snapshot();
    CheckRun run = RunCheck(row.args);
    EXPECT_EQ(before, Snapshot()) << "the check changed the machine";
    EXPECT_FALSE(run.wroteLog);
    ASSERT_TRUE(run.process.finished) << run.output;
    EXPECT_EQ(row.exitCode, run.process.exitCode) << run.output;
    EXPECT_EQ(row.ids, FindingIds(run.output)) << run.output;
    if (row.says != nullptr)
        EXPECT_NE(std::string::npos, run.output.find(row.says)) << run.output;
    if (wcsstr(row.args, L"json") || wcsstr(row.args, L"JSON"))
    {
        EXPECT_EQ('{', run.output.empty() ? 0 : run.output[0]);
        EXPECT_NE(std::string::npos, run.output.find("\"verdict\": \"")) << run.output;
        EXPECT_NE(std::string::npos, run.output.find("\"findings\": [")) << run.output;
    }
    if (row.fix != nullptr)
    {
        // From a copy, as a product's setup carries it: a last-product uninstall deletes the file it runs.
        ScratchDir setup;
        RunCase(row.fix, OwnInstallerCopy(setup));
        WaitForInstallers(30000);
        CheckRun after = RunCheck(L"/JSON");
        EXPECT_EQ(0u, after.process.exitCode) << "after " << Narrow(row.fix) << ":\n" << after.output;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Check, ::testing::ValuesIn(kRows), [](const ::testing::TestParamInfo<Row>& info) {
    std::string name = info.param.name;
    std::replace(name.begin(), name.end(), ' ', '_');
    return name;
});

class CheckOutput : public MachineTest
{
};

// A product id beyond Latin-1 reaches a pipe or file as UTF-8 and a console as the characters themselves.
TEST_F(CheckOutput, ReachesFilesAsUtf8AndConsolesAsCharacters)
{
    const std::wstring id = L"PRODUKT_\u00c4\u20ac";
    Install(id.c_str());
    CheckRun run = RunCheck(L"/JSON");
    EXPECT_NE(std::string::npos, run.output.find("\"appid\": \"PRODUKT_\xc3\x84\xe2\x82\xac\"")) << run.output;

    // Wine gives a program started from a Unix shell a console of its own, one without a screen buffer.
    FreeConsole();
    if (!AllocConsole())
        GTEST_SKIP() << "no console of its own for this process";
    HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    SetConsoleScreenBufferSize(console, COORD{250, 200});
    Process p = Wait(Start(L"\"" + BinDir() + L"\\TOVCHECK64.EXE\"", L""), 60000);
    std::wstring screen(250 * 200, L' ');
    DWORD read = 0;
    ReadConsoleOutputCharacterW(console, &screen[0], static_cast<DWORD>(screen.size()), COORD{0, 0}, &read);
    CloseHandle(console);
    FreeConsole();
    EXPECT_EQ(0u, p.exitCode);
    EXPECT_NE(std::wstring::npos, screen.find(id + L" ")) << Narrow(screen);
    EXPECT_NE(std::wstring::npos, screen.find(L"Verdict: ok")) << Narrow(screen);
}
}  // namespace
