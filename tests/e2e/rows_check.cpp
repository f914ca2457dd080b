// TOVCHECK64.EXE end to end: each fault the installer's suites make gives its finding id and exit code,
// the installer run the finding's fix names leaves a machine the check calls ok, and no check run changes
// the registry, the files or the pending list, or writes a log. The lifecycle rows run it after every step.
#include "rows.h"

#include <shlwapi.h>

using namespace harness;

namespace
{
// Values (type and bytes) of key and its subkeys.
void DumpKey(const std::wstring& path, std::string& out)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return void(out += "-" + Narrow(path) + "\n");
    static wchar_t name[16384];
    static BYTE data[65536];
    DWORD chars = 16384, size = sizeof(data), type = 0;
    for (DWORD i = 0; RegEnumValueW(key, i, name, &chars, nullptr, &type, data, &size) == 0; ++i, chars = 16384, size = sizeof(data))
        out += Narrow(path + L"\\" + name) + " " + std::to_string(type) + " " + std::string(reinterpret_cast<char*>(data), size) + "\n";
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

std::string Snapshot(const Locations& w)
{
    std::string out;
    for (const wchar_t* key : {L"SOFTWARE\\Norvatek", kSharedDlls, kServiceKey, kUninstallKey, kSessionManager})
        DumpKey(key, out);
    for (const std::wstring& pattern : {w.driversDir + L"\\PELLIMAR64x86.*", w.makerDir + L"\\*", w.sharedDir + L"\\*"})
        DumpFiles(pattern, out);
    return out;
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
        for (size_t at = output.find(label); at != std::string::npos; at = output.find(label, at + 1))
            ids.push_back(output.substr(at + 11, output.find_first_of("\r\n", at + 11) - at - 11));
    std::sort(ids.begin(), ids.end());
    return ids;
}

Op ChangeService(const wchar_t* imagePath)
{
    return [imagePath](Context&) {
        SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = OpenServiceW(scm, L"Pellimar", SERVICE_ALL_ACCESS);
        imagePath == nullptr ? DeleteService(service)
                             : ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                                    imagePath, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        CloseServiceHandle(service);
        CloseServiceHandle(scm);
    };
}

Step Check(const std::wstring& args, DWORD exit, std::vector<std::string> ids = {}, const char* says = nullptr)
{
    return Do(TovCheck(args, exit, std::move(ids), says));
}

Step Fixed(const char* product, const std::wstring& extra = L"/NOREGQZ")
{
    return Install(product, extra).After(TovCheck(L"/JSON", 0));
}

const std::wstring kDriver = L"$drivers\\PELLIMAR64x86.SYS";
const std::vector<std::string> kMismatch = {"driver-digest-mismatch", "driver-digest-mismatch"};

const std::vector<Case> kCases = {
    {"CheckOfACleanMachineAndOfOneAfterANoDelUninstall", Vista,
     {Check(L"", 0, {}, "Pellimar is not installed"), Install("A", L"/NOREGQZ"), Check(L"", 0, {}, "Verdict: ok"),
      Uninstall("A", L"/NODEL /NOREGQZ"), Check(L"/json", 0, {}, "installed without users"), Check(L"/FIX", 3, {}, "usage: TOVCHECK64.EXE [/JSON]")}},
    // Before Vista the installer keeps a second count for the maker directory's copy and uses the higher.
    {"CheckBeforeVistaWithTheMainCountLost", Xp,
     {Install("A", L"/NOREGQZ"), Do(Set(kSharedDlls, kDriver.c_str(), Sz(L"0"))),
      Do([](Context& c) {
          std::wstring key = L"Software\\Wine\\AppDefaults\\TOVCHECK64.EXE";
          SHSetValueW(HKEY_CURRENT_USER, key.c_str(), L"Version", REG_SZ, L"winxp64", 16);
          c.undo.push_back([key](Context&) { SHDeleteKeyW(HKEY_CURRENT_USER, key.c_str()); });
      }),
      Check(L"/JSON", 0, {}, "\"vista_or_later\": false")}},
    {"CheckOfAProductNotInInstalledApps", Vista,
     {Run(L"/Q /NOREGQZ PRODUCTA"), Check(L"", 1, {"product-not-in-installedapps"}),
      Run(L"/U /Q /NOREGAPPID /NOREGQZ PRODUCTA").After(TovCheck(L"/JSON", 0))}},
    {"CheckOfCounts", Vista,
     {Install("A", L"/NOREGQZ"), Do(Set(kSharedDlls, kDriver.c_str(), {true, REG_BINARY, std::string(300, '\x7f')})),
      Check(L"/JSON", 2, {"count-unreadable"}), Fixed("A"), Install("B", L"/NOREGQZ"),
      Do(Set(kSharedDlls, kDriver.c_str(), Sz(L"1"))), Check(L"-json", 2, {"count-below-registrations"}, "/d 2 /f")}},
    {"CheckOfTheDriversFiles", Vista,
     {Install("A", L"/NOREGQZ"), Do([](Context& c) { DeleteFileW(Expand(c, kDriver).c_str()); }),
      Check(L"/JSON", 2, {"driver-missing"}), Fixed("A"),
      Do([](Context& c) { WriteFileBytes(Expand(c, kDriver), ReadFileBytes(Expand(c, kDriver)) + "x"); }),
      Check(L"/JSON", 2, kMismatch), Run(L"/Q /NOREGQZ /FORCEUPDATE").After(TovCheck(L"/JSON", 0)),
      Do([](Context& c) {
          std::wstring cat = Expand(c, L"$drivers\\PELLIMAR64x86.CAT");
          WriteFileBytes(cat, ReadFileBytes(cat).substr(0, 700));
      }),
      Check(L"/JSON", 2, kMismatch), Fixed("A"), Do([](Context& c) { DeleteFileW(Expand(c, L"$shared\\TOVRAND64x86.EXE").c_str()); }),
      Check(L"/JSON", 2, {"installer-copy-missing"}), Fixed("A")}},
    {"CheckOfTheService", Vista,
     {Install("A", L"/NOREGQZ"), Do(ChangeService(nullptr)), Check(L"/JSON", 2, {"service-missing"}), Fixed("A"),
      Do(ChangeService(L"C:\\elsewhere\\PELLIMAR64x86.SYS")), Check(L"/JSON", 2, {"service-misconfigured"}), Fixed("A"),
      // Wine keeps the mark in memory and writes no DeleteFlag; the row writes it as Windows' service manager does.
      Do([](Context& c) {
          c.Hold(L"marked");
          WriteRaw(kServiceKey, L"DeleteFlag", Dword(1));
      }),
      Check(L"/JSON", 1, {"service-marked-for-deletion"}), Fixed("A").Exit(1)}},
    {"CheckOfTheRestartAndLeftovers", Vista,
     {Install("A", L"/NOREGQZ"), Do(Pending({L"$ours", L""})), Check(L"/JSON", 2, {"restart-deletes-used-file"}), Fixed("A"),
      // Held open, the driver cannot be read for its digest: a read error, not a mismatch.
      Install("B", L"/NOREGQZ").Exit(1).And(HoldFile(kDriver)),
      Check(L"", 3, {"restart-pending"}, "PELLIMAR64x86.SYS (error 32)"),
      Do([](Context& c) {
          c.holders.clear();
          SetPending(ForeignPending());
          CreateDirectoryW(c.where.tempDir.c_str(), nullptr);
          WriteFileBytes(Expand(c, L"$drivers\\PELLIMAR64x86.SY1"), "old");
      }),
      Check(L"/JSON", 1, {"leftover-payload", "leftover-temporary"}, "rmdir /s /q"),
      Do([](Context& c) { c.Hold(L"mutex"); DeleteFileW(Expand(c, L"$drivers\\PELLIMAR64x86.SY1").c_str()); }),
      Check(L"", 0, {}, "state may be changing"),
      Do([](Context&) { ASSERT_TRUE(DenyWrites(kPellimarKey, L"D:P")); }), Check(L"/JSON", 3, {}, "\"code\": 5")}},
};
}  // namespace

namespace harness
{
Op TovCheck(const std::wstring& args, DWORD exit, std::vector<std::string> ids, const char* says)
{
    return [args, exit, ids, says](Context& c) {
        std::string before = Snapshot(c.where);
        ScratchDir dir;   // also its TEMP: a log would land here
        std::wstring out = dir.File(L"out.txt");
        Process p = Wait(Start(L"cmd.exe /c \"\"" + BinDir() + L"\\TOVCHECK64.EXE\" " + args + L" >\"" + out + L"\" 2>&1\"",
                               dir.Path()));
        std::string output = ReadFileBytes(out);
        EXPECT_EQ(before, Snapshot(c.where)) << "the check changed the machine";
        EXPECT_FALSE(FileExists(dir.File(L"PELLIMAR.LOG")));
        EXPECT_EQ(exit, p.exitCode) << output;
        if (ids.size() != 1 || ids[0] != "*")
            EXPECT_EQ(ids, FindingIds(output)) << output;
        if (says != nullptr)
            EXPECT_NE(std::string::npos, output.find(says)) << output;
        if (args.find(L"json") != std::wstring::npos || args.find(L"JSON") != std::wstring::npos)
            EXPECT_TRUE(output.rfind("{", 0) == 0 && output.find("\"verdict\": \"") != std::string::npos &&
                        output.find("\"findings\": [") != std::string::npos) << output;
    };
}
}  // namespace harness

class StateCheck : public E2E
{
};
E2E_CASES(StateCheck, kCases);

// A product id beyond Latin-1 reaches a pipe or file as UTF-8 and a console as the characters themselves.
TEST(CheckOutput, ReachesFilesAsUtf8AndConsolesAsCharacters)
{
    CleanMachine();
    const std::wstring id = L"PRODUKT_\u00c4\u20ac";
    WriteRaw(kInstalledApps, id.c_str(), Sz(L""));
    RunInstaller(InstallerPath(), L"/Q /NOREGQZ " + id);
    Context c;
    c.where = Where();
    TovCheck(L"/JSON", 0, {}, "\"appid\": \"PRODUKT_\xc3\x84\xe2\x82\xac\"")(c);
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
    CleanMachine();
}
