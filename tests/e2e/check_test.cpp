// TOVCHECK64.EXE end to end: rows of a machine set up through the real installer and edits of its
// registry and files, the check's exit code and finding ids; where a row names the installer run that the
// finding's fix gives, that run must leave a machine the check calls ok. Every run must leave the
// registry, the files and the pending list exactly as they were, and write no log.
#include <algorithm>
#include <memory>

#include <windows.h>
#include <sddl.h>

#include "e2e.h"
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

// The check with its output redirected to a file by cmd: the UTF-8 shape.
CheckRun RunCheck(const std::wstring& args)
{
    CheckRun run;
    ScratchDir dir;   // also its TEMP: a log would land here
    std::wstring out = dir.File(L"out.txt");
    run.process = Run(L"cmd.exe /c \"\"" + BinDir() + L"\\TOVCHECK64.EXE\" " + args + L" >\"" + out + L"\" 2>&1\"",
                      dir.Path(), 60000);
    run.output = ReadFileBytes(out);
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
        return void(out += "-" + Narrow(path) + "\n");
    FILETIME written = {};
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &written);
    out += Narrow(path) + " @" + std::to_string(written.dwLowDateTime) + "\n";
    static wchar_t name[16384];
    static BYTE data[65536];
    DWORD chars = 16384, size = sizeof(data), type = 0;
    for (DWORD i = 0; RegEnumValueW(key, i, name, &chars, nullptr, &type, data, &size) == ERROR_SUCCESS; ++i)
    {
        out += "  " + Narrow(name) + " " + std::to_string(type) + " " + std::string(reinterpret_cast<char*>(data), size) + "\n";
        chars = 16384, size = sizeof(data);
    }
    std::vector<std::wstring> subKeys;
    for (DWORD i = 0; chars = 256, RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) == 0; ++i)
        subKeys.push_back(path + L"\\" + name);
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
// lets nobody in (put back when the row ends through a handle opened before: left, it breaks every
// later install, since Wine enforces the list when a key is opened).
struct Env
{
    std::unique_ptr<Holder> holder;
    Locations w = Where();
    std::wstring driver = w.driversDir + L"\\PELLIMAR64x86.SYS";
    HKEY locked = nullptr;
    std::string acl = std::string(4096, '\0');
    void Lock(const wchar_t* path)
    {
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL | WRITE_DAC | KEY_WOW64_64KEY, &locked);
        DWORD size = static_cast<DWORD>(acl.size());
        RegGetKeySecurity(locked, DACL_SECURITY_INFORMATION, &acl[0], &size);
        PSECURITY_DESCRIPTOR nobody = nullptr;
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P", SDDL_REVISION_1, &nobody, nullptr);
        RegSetKeySecurity(locked, DACL_SECURITY_INFORMATION, nobody);
        LocalFree(nobody);
    }
    ~Env()
    {
        DeleteTree(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\TOVCHECK64.EXE");
        if (locked != nullptr && RegSetKeySecurity(locked, DACL_SECURITY_INFORMATION, &acl[0]) + RegCloseKey(locked))
            ADD_FAILURE() << "the locked key could not be put back";
    }
};

// The product's setup lists it under InstalledApps, then runs the installer.
void Install(const wchar_t* appId)
{
    SetString(HKEY_LOCAL_MACHINE, kInstalledApps, appId, L"");
    RunCase(std::wstring(L"/Q /NOREGQZ ") + appId);
}

// Points the service at imagePath, or deletes it without one.
void ChangeService(const wchar_t* imagePath)
{
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(scm, L"Pellimar", SERVICE_ALL_ACCESS);
    imagePath == nullptr ? DeleteService(service)
                         : ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                                imagePath, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    CloseServiceHandle(service);
    CloseServiceHandle(scm);
}

struct Row
{
    const char* name;
    int installs;   // PRODUCTA, then PRODUCTB, installed as their setups do before the row's own set-up
    void (*setUp)(Env& env);
    const wchar_t* args;
    DWORD exitCode;
    std::vector<std::string> ids;
    const wchar_t* fix;   // installer arguments the finding's fix names; null when its fix is no installer run
    const char* says;     // a text the report must hold; null for none
};

const Row kRows[] = {
    {"clean machine", 0, [](Env&) {}, L"", 0, {}, nullptr, "Pellimar is not installed"},
    {"after install", 1, [](Env&) {}, L"", 0, {}, nullptr, "Verdict: ok"},
    {"after NODEL uninstall", 1, [](Env&) { RunCase(L"/U /Q /NODEL /NOREGQZ PRODUCTA"); }, L"/json", 0, {},
     nullptr, "installed without users"},
    // Before Vista the installer keeps a second count for the maker directory's copy and uses the higher.
    {"before Vista with the main count lost", 0, [](Env& e) {
         SetWindowsVersion(L"winxp64");
         Install(L"PRODUCTA");
         SetString(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\TOVCHECK64.EXE", L"Version", L"winxp64");
         SetString(HKEY_LOCAL_MACHINE, kSharedDlls, e.driver.c_str(), L"0");
     }, L"/JSON", 0, {}, nullptr, "\"vista_or_later\": false"},
    {"product not in InstalledApps", 0, [](Env&) { RunCase(L"/Q /NOREGQZ PRODUCTA"); }, L"", 1,
     {"product-not-in-installedapps"}, L"/U /Q /NOREGAPPID /NOREGQZ PRODUCTA", nullptr},
    {"unreadable count", 1, [](Env& e) {
         std::string junk(300, '\x7f');
         SetBinary(HKEY_LOCAL_MACHINE, kSharedDlls, e.driver.c_str(), junk.data(), 300, REG_BINARY);
     }, L"/JSON", 2, {"count-unreadable"}, L"/Q /NOREGQZ PRODUCTA", nullptr},
    {"count below registrations", 2, [](Env& e) { SetString(HKEY_LOCAL_MACHINE, kSharedDlls, e.driver.c_str(), L"1"); },
     L"-json", 2, {"count-below-registrations"}, nullptr, "/d 2 /f"},
    {"missing driver", 1, [](Env& e) { DeleteFileW(e.driver.c_str()); }, L"/JSON", 2, {"driver-missing"},
     L"/Q /NOREGQZ PRODUCTA", nullptr},
    {"driver changed after install", 1, [](Env& e) { WriteFileBytes(e.driver, ReadFileBytes(e.driver) + "x"); },
     L"/JSON", 2, {"driver-digest-mismatch", "driver-digest-mismatch"}, L"/Q /NOREGQZ /FORCEUPDATE", nullptr},
    {"catalogue cut short", 1, [](Env& e) {
         std::wstring cat = e.w.driversDir + L"\\PELLIMAR64x86.CAT";
         WriteFileBytes(cat, ReadFileBytes(cat).substr(0, 700));
     }, L"/JSON", 2, {"driver-digest-mismatch", "driver-digest-mismatch"}, L"/Q /NOREGQZ PRODUCTA", nullptr},
    {"missing service", 1, [](Env&) { ChangeService(nullptr); }, L"/JSON", 2, {"service-missing"},
     L"/Q /NOREGQZ PRODUCTA", nullptr},
    {"service pointing elsewhere", 1, [](Env&) { ChangeService(L"C:\\elsewhere\\PELLIMAR64x86.SYS"); },
     L"/JSON", 2, {"service-misconfigured"}, L"/Q /NOREGQZ PRODUCTA", nullptr},
    // Wine keeps the mark in memory and writes no DeleteFlag; the row writes it as Windows' service
    // manager does.
    {"service marked for deletion", 1, [](Env& e) {
         e.holder.reset(new Holder(L"svcholder.exe", L""));
         ChangeService(nullptr);
         SetDword(HKEY_LOCAL_MACHINE, kServiceKey, L"DeleteFlag", 1);
     }, L"/JSON", 1, {"service-marked-for-deletion"}, L"/Q /NOREGQZ PRODUCTA", nullptr},
    {"pending deletion of the driver", 1, [](Env& e) { SetPendingRenames({L"\\??\\" + ShortPath(e.driver), L""}); },
     L"/JSON", 2, {"restart-deletes-used-file"}, L"/Q /NOREGQZ PRODUCTA", nullptr},
    // Held open, the driver is replaced at the restart from its .SY1 (no leftover then), and cannot be
    // read for its digest: a read error, not a mismatch.
    {"driver in use during an install", 1, [](Env& e) {
         e.holder.reset(new Holder(L"holdfile.exe", L"\"" + e.driver + L"\""));
         Install(L"PRODUCTB");
     }, L"", 3, {"restart-pending"}, nullptr, "PELLIMAR64x86.SYS (error 32)"},
    {"missing shared copy", 1, [](Env& e) { DeleteFileW((e.w.sharedDir + L"\\TOVRAND64x86.EXE").c_str()); },
     L"/JSON", 2, {"installer-copy-missing"}, L"/Q /NOREGQZ PRODUCTA", nullptr},
    {"leftover payload and temporary", 1, [](Env& e) {
         CreateDirectoryW(e.w.tempDir.c_str(), nullptr);
         WriteFileBytes(e.w.driversDir + L"\\PELLIMAR64x86.SY1", "old");
     }, L"/JSON", 1, {"leftover-payload", "leftover-temporary"}, nullptr, "rmdir /s /q"},
    {"payload while an installer runs", 1, [](Env& e) {
         e.holder.reset(new Holder(L"mutexholder.exe", L""));
         CreateDirectoryW(e.w.tempDir.c_str(), nullptr);
     }, L"", 0, {}, nullptr, "state may be changing"},
    {"unreadable registrations", 1, [](Env& e) { e.Lock(kPellimarKey); }, L"/JSON", 3, {}, nullptr, "\"code\": 5"},
    {"unknown switch", 0, [](Env&) {}, L"/FIX", 3, {}, nullptr, "usage: TOVCHECK64.EXE [/JSON]"},
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class Check : public MachineTest, public ::testing::WithParamInterface<Row>
{
protected:
    PendingRenamesGuard m_pending;
};

TEST_P(Check, ReportsTheStateWithoutChangingIt)
{
    const Row& row = GetParam();
    Env env;
    for (int i = 0; i < row.installs; ++i)
        Install(i == 0 ? L"PRODUCTA" : L"PRODUCTB");
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
        EXPECT_TRUE(run.output.rfind("{", 0) == 0 && run.output.find("\"verdict\": \"") != std::string::npos &&
                    run.output.find("\"findings\": [") != std::string::npos) << run.output;
    if (row.fix != nullptr)
    {
        // From a copy, as a product's setup carries it: a last-product uninstall deletes the file it runs.
        ScratchDir setup;
        CopyFileW(InstallerPath().c_str(), setup.File(L"TOVRAND64x86.EXE").c_str(), FALSE);
        RunCase(row.fix, setup.File(L"TOVRAND64x86.EXE"));
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

class CheckOutput : public MachineTest {};

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
