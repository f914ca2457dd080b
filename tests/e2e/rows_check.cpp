// TOVCHECK64.EXE end to end: each fault the installer's suites make gives its finding id and exit code,
// the installer run the finding's fix names leaves a machine the check calls ok, and no check run changes
// the registry, the files or the pending list, or writes a log. The lifecycle rows run it after every step.
#include "rows.h"

#include "base/handle.h"

using namespace harness;

namespace
{
// Everything of ours that a check could change: the whole state, the pending list's bytes, the files.
std::string Snapshot(const Context& c)
{
    std::string files;
    for (const wchar_t* f : {L"PELLIMAR64x86.SYS", L"PELLIMAR64x86.CAT"})
        files += ReadFileBytes(c.where.driversDir + L"\\" + f);
    files += ReadFileBytes(c.where.sharedDir + L"\\TOVRAND64x86.EXE");
    return Show(Describe(c.where, c.baseline)) + ReadRaw(kSessionManager, L"PendingFileRenameOperations").bytes + files;
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

// A strict reading of one JSON text (RFC 8259) as a program that parses the answer would do it: a quote
// or a control character left unescaped in a string, a missing comma or bracket, or bytes that are no
// UTF-8 make it fail.
class JsonText
{
public:
    explicit JsonText(const std::string& text) : s(text) {}
    bool Valid()
    {
        return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), nullptr, 0) &&
               Value(0) && (Blank(), i == s.size());
    }

private:
    bool At(const char* set) const { return i < s.size() && s[i] != '\0' && strchr(set, s[i]) != nullptr; }
    bool Is(const char* set) { return At(set) ? ++i, true : false; }   // takes one character of set
    size_t Skip(const char* set)
    {
        size_t from = i;
        while (At(set))
            ++i;
        return i - from;
    }
    void Blank() { Skip(" \t\r\n"); }
    bool String()
    {
        if (!Is("\""))
            return false;
        while (i < s.size() && s[i] != '"' && static_cast<unsigned char>(s[i]) >= 0x20)
            if (s[i++] == '\\' && !(Is("u") ? Skip("0123456789abcdefABCDEF") >= 4 : Is("\"\\/bfnrt")))
                return false;
        return Is("\"");
    }
    bool Value(int depth)
    {
        Blank();
        if (depth > 16)
            return false;
        for (const char* word : {"true", "false", "null"})
            if (s.compare(i, strlen(word), word) == 0)
                return i += strlen(word), true;
        if (Is("-") || At("0123456789"))   // 0 or digits without a leading 0, then .digits, then e+digits
            return (Is("0") || Skip("0123456789")) && (!Is(".") || Skip("0123456789")) &&
                   (!Is("eE") || (Is("+-"), Skip("0123456789")));
        if (At("\""))
            return String();
        bool object = Is("{");
        if (!object && !Is("["))
            return false;
        if (Blank(), Is(object ? "}" : "]"))
            return true;
        do
            if ((object && !(Blank(), String() && (Blank(), Is(":")))) || !Value(depth + 1))
                return false;
        while (Blank(), Is(","));
        return Is(object ? "}" : "]");
    }

    const std::string& s;
    size_t i = 0;
};

// A report for a person shows registry names with their control characters escaped: ESC or a lone CR
// from another program's value must not reach the terminal. Only CR LF line ends are raw.
bool HasRawControl(std::string text)
{
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
        text.erase(at, 2);
    for (size_t i = 0; i < text.size(); ++i)   // C0, DEL, and C1 (U+0080..U+009F: C2 80..9F in UTF-8)
        if (static_cast<unsigned char>(text[i]) < 0x20 || text[i] == '\x7F' ||
            (text[i] == '\xC2' && (text[i + 1] & 0xE0) == 0x80))
            return true;
    return false;
}

Op ChangeService(const wchar_t* imagePath)
{
    return [imagePath](Context&) {
        CScopedService service(OpenPellimarService(SERVICE_ALL_ACCESS));
        imagePath == nullptr ? DeleteService(service.Get())
                             : ChangeServiceConfigW(service.Get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                                    SERVICE_NO_CHANGE, imagePath, nullptr, nullptr, nullptr, nullptr,
                                                    nullptr, nullptr);
    };
}

// What is done to the machine, then the check's answer to it.
Step Check(Op change, const std::wstring& args, DWORD exit, std::vector<std::string> ids = {},
           const char* says = nullptr)
{
    return Do(std::move(change)).After(TovCheck(args, exit, std::move(ids), says));
}

const std::wstring kDriver = L"$drivers\\PELLIMAR64x86.SYS";
const std::wstring kCatalogue = L"$drivers\\PELLIMAR64x86.CAT";
const std::vector<std::string> kMismatch = {"driver-digest-mismatch", "driver-digest-mismatch"};
// An image path that makes the service's configuration larger than the 8 KB the documentation promises.
const std::wstring kLongImage = L"C:\\" + std::wstring(4500, L'x') + L"\\PELLIMAR64x86.SYS";

// n findings of one id, then the others, sorted as FindingIds gives them.
std::vector<std::string> Ids(size_t n, const char* id, std::vector<std::string> others = {})
{
    others.insert(others.end(), n, id);
    std::sort(others.begin(), others.end());
    return others;
}

// A symbolic link to a directory until the case ends; under Wine a Unix one (made and removed by ln and rm).
Op Alias(const std::wstring& alias, const std::wstring& target)
{
    return [alias, target](Context& c) {
        std::wstring a = Expand(c, alias), t = Expand(c, target);
        auto unix = [a, t](const std::wstring& tool, bool exists) {
            auto name = reinterpret_cast<char*(CDECL*)(const wchar_t*)>(
                GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name"));
            std::wstring target = exists ? L"-sn \"" + Widen(name(t.c_str())) + L"\" " : L"";
            Start(L"Z:\\bin\\" + tool + L" -f " + target + L"\"" + Widen(name(a.c_str())) + L"\"", L"");
            for (int i = 0; i < 100 && DirExists(a) != exists; ++i)
                Sleep(50);
        };
        IsWine() ? unix(L"ln", true) : void(CreateSymbolicLinkW(a.c_str(), t.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY));
        c.undo.push_back([a, unix](Context&) { IsWine() ? unix(L"rm", false) : void(RemoveDirectoryW(a.c_str())); });
    };
}

// The check's answer to args, its exit code in *exit; it must write no log (its TEMP is where one would land).
std::string RunCheck(const std::wstring& args, DWORD* exit)
{
    ScratchDir dir;
    SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
    HANDLE file = CreateFileW(dir.File(L"out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS,
                              0, nullptr);
    *exit = Wait(Start(L"\"" + BinDir() + L"\\TOVCHECK64.EXE\" " + args, dir.Path(), L"", 0, file)).exitCode;
    CloseHandle(file);
    EXPECT_FALSE(FileExists(dir.File(L"PELLIMAR.LOG")));
    return ReadFileBytes(dir.File(L"out.txt"));
}

// Every fix the check prints, in order: a restart where one says so first, then its commands in a setup's folder.
Step Fix(DWORD exit = 0, std::vector<std::string> ids = {}, const char* says = nullptr)
{
    return Do([](Context& c) {
        DWORD code = 0;
        std::string answer = RunCheck(L"", &code);
        std::wstring report(answer.size(), L'\0'), label = L"\n          Fix: ";
        report.resize(MultiByteToWideChar(CP_UTF8, 0, answer.data(), static_cast<int>(answer.size()), &report[0],
                                          static_cast<int>(answer.size())));
        for (size_t at = report.find(label), restart = 1; at != std::wstring::npos; at = report.find(label, at + 1))
        {
            std::wstring fix = report.substr(at + label.size(), report.find(L'\r', at) - at - label.size());
            if (restart && fix.find(L"restart") < fix.find(L'`'))
                Reboot()(c), restart = 0;
            for (size_t open = fix.find(L'`'), end; open != std::wstring::npos; open = fix.find(L'`', end + 1))
                end = fix.find(L'`', open + 1), Wait(Start(L"cmd /c " + fix.substr(open + 1, end - open - 1),
                                                          c.work.Path(), c.setup.Path())), WaitForInstallers(60000);
        }
    }).After(TovCheck(L"", exit, std::move(ids), says));
}

const Op kNothing = [](Context&) {};
const std::vector<Case> kCases = {
    {"CheckOfACleanMachineAndOfOneAfterANoDelUninstall", Vista,
     {Check(kNothing, L"", 0, {}, "Pellimar is not installed"), Install("A", L"/NOREGQZ"),
      Check(kNothing, L"", 0, {}, "\r\n\r\nVerdict: ok (errors: 0"),
      // A driver copy in the maker's folder, never loaded from Vista on, is a leftover and no driver.
      Check(Write(L"$maker\\PELLIMAR64x86.SYS", "old"), L"", 1, {"leftover-maker-copy"}), Fix(),
      // A maker count above the main one, left from a system before Vista: the last uninstall keeps the rest.
      Check(Set(kSharedDlls, L"$maker\\PELLIMAR64x86.SYS", Sz(L"2")), L"/JSON", 1, {"stale-maker-count"}),
      Uninstall("A", L"/NOREGQZ").After(TovCheck(L"", 1, {"stale-maker-count"}, "service (its driver image")),
      Fix(0, {}, "left without users"),
      Install("A", L"/NOREGQZ"), Uninstall("A", L"/NODEL /NOREGQZ"),
      Check(kNothing, L"/json", 0, {}, "installed without users"),
      // The last uninstall leaves the loaded driver to the restart: said as it is, with no error.
      Install("B", L"/NOREGQZ"),
      Uninstall("B", L"/NOREGQZ").Exit(1).Before(HoldDriverAsLoaded()).After([](Context& c) { c.holders.clear(); })
          .After(TovCheck(L"", 1, {"restart-pending"}, "the driver image (it goes at the next restart)")),
      Fix(0, {}, "Pellimar is not installed"),
      Check(kNothing, L"/FIX", 3, {}, "usage: TOVCHECK64.EXE [/JSON]")}},
    // Before Vista the installer keeps a second count for the maker directory's copy and uses the higher,
    // but each count deletes its driver when it reaches 0: main 1, maker 2 and two products is no count of 2.
    {"CheckBeforeVistaOfEachCount", Xp,
     {Install("A", L"/NOREGQZ"),
      Check(Set(kSharedDlls, kDriver.c_str(), Sz(L"0")), L"/JSON", 0, {}, "\"vista_or_later\": false"),
      Install("B", L"/NOREGQZ"),
      Check(Set(kSharedDlls, kDriver.c_str(), Sz(L"1")), L"", 2, {"count-below-registrations"},
            "Drivers\\PELLIMAR64x86.SYS\" /t REG_SZ /d 2 /f"), Fix()}},
    {"CheckOfAProductNotInInstalledApps", Vista,
     {Run(L"/Q /NOREGQZ \"PRODUCT A\"").Before(Set(kInstalledApps, L"PRODUCT A", Sz(L""))),
      // The repair run of an id with a blank: without its quotes it would install a product "A".
      Check(Delete(kDriver), L"", 2, {"driver-missing"}, "/Q \"PRODUCT A\"`"), Fix(),
      Check(Set(kInstalledApps, L"PRODUCT A", RawValue()), L"", 1, {"product-not-in-installedapps"}), Fix(),
      // Names compare as the registry compares them: PRODUCT\u00c6 is another product than PRODUCTAE.
      Install("AE", L"/NOREGQZ"), Run(L"/Q /NOREGQZ PRODUCT\u00c6"),
      Check(kNothing, L"", 1, {"product-not-in-installedapps"}), Fix(), Uninstall("AE", L"/NOREGQZ"),
      // A product id beyond Latin-1 reaches a pipe or file as UTF-8.
      Run(L"/Q /NOREGQZ PRODUKT_\u00c4\u20ac").Before(Set(kInstalledApps, L"PRODUKT_\u00c4\u20ac", Sz(L"")))
          .After(TovCheck(L"/JSON", 0, {}, "\"appid\": \"PRODUKT_\xc3\x84\xe2\x82\xac\"")),
      // Listed is a value of that name, of any length and type.
      Run(L"/Q /NOREGQZ PRODUCTB").Before(Set(kInstalledApps, L"PRODUCTB", {true, REG_BINARY, std::string(600, 'x')}))
          .After(TovCheck(L"/JSON", 0)),
      // The installer agrees: its uninstall lowers the count of the product listed so.
      Uninstall("B", L"/NOREGQZ").After([](Context&) {
          EXPECT_FALSE(KeyExists(std::wstring(kPellimarKey) + L"\\PRODUCTB"));
          EXPECT_EQ(L"1", GetString(kSharedDlls, (Where().driversDir + L"\\PELLIMAR64x86.SYS").c_str()));
      }).After(TovCheck(L"/JSON", 0)),
      // An id that the installer takes for a switch: no command can name it.
      Check(Set(std::wstring(kPellimarKey) + L"\\NODEL", L"Dir1", Dword(1)), L"", 2,
            {"count-below-registrations", "product-not-in-installedapps"}, "no command is named")}},
    {"CheckOfCounts", Vista,
     {Install("A", L"/NOREGQZ"),
      Check(Set(kSharedDlls, kDriver.c_str(), {true, REG_BINARY, std::string(300, '\x7f')}), L"/JSON", 2,
            {"count-unreadable"}),
      Fix(), Install("B", L"/NOREGQZ"),
      Check(Set(kSharedDlls, kDriver.c_str(), Sz(L"1")), L"-json", 2, {"count-below-registrations"}, "/d 2 /f"), Fix(),
      Check(Set(kSharedDlls, kDriver.c_str(), Sz(L"5")), L"/JSON", 1, {"count-above-registrations"}), Fix(),
      Check(Set(kSharedDlls, kDriver.c_str(), RawValue()), L"/JSON", 1, {"registrations-without-count"}), Fix(),
      // A run that stopped between its writes: its uninstall released the use, and finishes by its fix. One
      // whose count changed since cannot be told, and gives an error.
      Check(Change(L"PRODUCTA", true, 2, 1), L"/JSON", 1, {"count-change-unsettled"})
          .Before(Set(kSharedDlls, kDriver.c_str(), Sz(L"1"))), Fix(), Install("A", L"/NOREGQZ"),
      Check(Change(L"PRODUCTA", false, 9, 10), L"", 2, {"count-change-unknown"}, "whether the count holds"), Fix(),
      Check(Set(kUninstallKey, L"QuietUninstallString", RawValue()), L"/JSON", 1, {"uninstall-entry-mismatch"},
            "is missing"),
      // Another command: a soft hyphen makes another file name, which a linguistic comparison passes over.
      Check([](Context& c) {
          WriteRaw(kUninstallKey, L"QuietUninstallString", Sz(Expand(c, L"\"$shared\\TOVRAND64x86.E\u00adXE\" /U /Q")));
      }, L"/JSON", 1, {"uninstall-entry-mismatch"}, "E\u00adXE"), Fix(),
      // ESC and CR from the registry reach a person's terminal escaped.
      Check(Set(kUninstallKey, L"QuietUninstallString", Sz(L"C:\\Old\x1b[2J\rX")), L"", 1,
            {"uninstall-entry-mismatch"}, "C:\\Old<U+001B>[2J<U+000D>X"),
      // Halves of surrogate pairs that stand alone are escaped, however many follow each other.
      Check(Set(kUninstallKey, L"QuietUninstallString", Sz(std::wstring(200, L'\xDC00'))), L"/JSON", 1,
            {"uninstall-entry-mismatch"}, "\\udc00\\udc00"),
      // No table is too small for the products a machine has.
      Check([](Context& c) {
          for (int i = 0; i < 65; ++i)
              WriteRaw(std::wstring(kPellimarKey) + L"\\P" + std::to_wstring(i), L"Dir1", Dword(1));
          Set(kSharedDlls, kDriver.c_str(), Sz(L"67"))(c);
      }, L"/JSON", 1, Ids(65, "product-not-in-installedapps", {"uninstall-entry-mismatch"})),
      // A registration the installer cannot open is none to it: a read error, whatever the count says.
      Check([](Context&) { ASSERT_TRUE(DenyWrites(std::wstring(kPellimarKey) + L"\\PRODUCTB", L"D:P")); }, L"", 3,
            Ids(65, "product-not-in-installedapps", {"uninstall-entry-mismatch"}), "Pellimar\\PRODUCTB (error 5)")}},
    {"CheckOfTheDriversFiles", Vista,
     {Install("A", L"/NOREGQZ"), Check(Delete(kDriver), L"/JSON", 2, {"driver-missing"}), Fix(),
      Check([](Context& c) { Write(kDriver, ReadFileBytes(Expand(c, kDriver)) + "x")(c); }, L"/JSON", 2, kMismatch),
      Fix(),
      Check([](Context& c) { Write(kCatalogue, ReadFileBytes(Expand(c, kCatalogue)).substr(0, 700))(c); }, L"/JSON",
            2, kMismatch), Fix(),
      Check(Delete(L"$shared\\TOVRAND64x86.EXE"), L"/JSON", 2, {"installer-copy-missing"}), Fix(),
      // A directory where the driver and the shared copy must be: no install can put them there.
      Check([](Context& c) {
          for (std::wstring file : {kDriver, std::wstring(L"$shared\\TOVRAND64x86.EXE")})
              Delete(file)(c), CreateDirectoryW(Expand(c, file).c_str(), nullptr), Write(file + L"\\x", "x")(c);
      }, L"", 2, Ids(2, "directory-in-place-of-file"), "A directory stands where"), Fix(),
      // A driver too large to read (made that long without writing its bytes) still contradicts the size its
      // manifest records.
      Check([](Context& c) {
          CScopedHandle file(CreateFileW(Expand(c, kDriver).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, 0));
          ASSERT_TRUE(SetFilePointerEx(file.Get(), {.QuadPart = 65LL << 20}, nullptr, FILE_BEGIN) &&
                      SetEndOfFile(file.Get()));
      }, L"/JSON", 3, {"driver-digest-mismatch"}, "\"code\": 223"), Fix(),
      // The installed catalogue followed by one more member whose attribute set holds a million attributes: a
      // walk that looks for each attribute from the start of the set would not end within the harness's wait.
      Check([](Context& c) {
          auto der = [](char tag, const std::string& body) {
              size_t n = body.size();
              return std::string{tag, '\x84', static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                                 static_cast<char>(n >> 8), static_cast<char>(n)} + body;
          };
          std::string attributes;
          for (int i = 0; i < 1000000; ++i)
              attributes.append("\x30\x03\x06\x01\x2A", 5);
          std::string member = der('\x30', std::string("\x04\x01\x00", 3) + der('\x31', attributes));
          Write(kCatalogue, ReadFileBytes(Expand(c, kCatalogue)) + member)(c);
      }, L"/JSON", 0),
      // Held open by another program, the catalogue is not read: a read error, not two mismatches.
      Check(HoldFile(kCatalogue), L"", 3, {}, "PELLIMAR64x86.CAT (error 32)"),
      // One manifest missing from the set is no install without manifests.
      Check([](Context& c) { c.holders.clear(), Delete(L"$shared\\KVManifests\\PELLMAR.SIG")(c); }, L"/JSON", 2,
            {"manifest-missing"}), Fix()}},
    {"CheckOfTheService", Vista,
     {Install("A", L"/NOREGQZ"), Check(ChangeService(nullptr), L"/JSON", 2, {"service-missing"}), Fix(),
      // Another image: a soft hyphen makes another file name, which a linguistic comparison passes over.
      Check(ChangeService(L"%SystemRoot%\\System32\\Drivers\\PELLI\u00adMAR64x86.SYS"), L"/JSON", 2,
            {"service-misconfigured"}), Fix(),
      // The key's ImagePath edited by hand: the service manager takes it at the next start of the machine.
      Check(Set(kServiceKey, L"ImagePath", Sz(L"\\??\\C:\\elsewhere\\PELLIMAR64x86.SYS", REG_EXPAND_SZ)), L"/JSON",
            2, {"service-misconfigured"}, "next start of the machine"), Fix(),
      Check(ChangeService(kLongImage.c_str()), L"", 2, {"service-misconfigured"}, "type 1, start 3, error control 1"),
      Fix(),
      // Wine keeps the mark in memory and writes no DeleteFlag; the row writes it as Windows' service manager does.
      Check([](Context& c) { c.Hold(L"marked"), WriteRaw(kServiceKey, L"DeleteFlag", Dword(1)); }, L"/JSON", 1,
            {"service-marked-for-deletion"}), Fix()}},
    {"CheckOfTheRestartAndLeftovers", Vista,
     {Install("A", L"/NOREGQZ"), Check(Pending({L"$ours", L""}), L"/JSON", 2, {"restart-deletes-used-file"}),
      Fix(),
      // The deletion MoveFileEx writes for the long path: the install the fix names withdraws it too.
      Check(Pending({L"\\??\\" + kDriver, L""}), L"/JSON", 2, {"restart-deletes-used-file"}), Fix(),
      // Behind 24 entries of ours, a deletion under the driver's long path; then the driver renamed away,
      // which no install withdraws: after the restart the install puts it back.
      Check(Pending([] {
          std::vector<std::wstring> strings;
          for (int i = 0; i < 24; ++i)
              strings.insert(strings.end(), {L"\\??\\$drivers\\PELLIMAR64x86.SY1", L""});
          strings.insert(strings.end(), {L"\\??\\" + kDriver, L""});
          return strings;
      }()), L"/JSON", 2, Ids(24, "restart-pending", {"restart-deletes-used-file"}), "short or long path"),
      Check(Pending({L"\\??\\" + kDriver, L"!\\??\\C:\\TovrandForeign\\moved.sys"}), L"", 2,
            Ids(24, "restart-pending", {"restart-deletes-used-file", "restart-deletes-used-file"}),
            "renamed to \\??\\C:\\TovrandForeign\\moved.sys"), Fix(),
      // Reached through a directory alias, the driver is ours all the same: the restart deletes it.
      Check(Alias(L"C:\\TovrandAlias", L"$drivers"), L"", 2, {"restart-deletes-used-file"}, "TovrandAlias")
          .Before(Pending({L"\\??\\C:\\TovrandAlias\\PELLIMAR64x86.SYS", L""})), Fix(),
      // Another program's file renamed onto the driver would be the driver after the restart.
      Check(Write(L"$work\\other.sys", "x"), L"", 2, {"restart-installs-other-file"}, "other.sys, which is no file")
          .Before(Pending({L"\\??\\$work\\other.sys", L"!\\??\\" + kDriver})), Fix(),
      // Both lists, the DOS devices' other names, a path the check cannot follow (Wine's restart reads neither).
      Check([](Context& c) {
          WriteRaw(kSessionManager, L"PendingFileRenameOperations2",
                   {true, REG_MULTI_SZ, MultiSz({L"\\GLOBAL??\\" + Expand(c, kDriver), L""})});
      }, L"/JSON", 2, Ids(2, "restart-deletes-used-file", {"pending-entry-unresolved"}), "Operations2 under")
          .Before(Pending({L"\\DosDevices\\" + kDriver, L"", L"\\Device\\HarddiskVolume9\\PELLIMAR64x86.SYS", L""})),
      Do(Set(kSessionManager, L"PendingFileRenameOperations2", RawValue())), Fix(),
      // Another program's entry longer than any path never reaches a path function.
      Check(Pending({L"\\??\\C:\\" + std::wstring(5000, L'x'), L""}), L"/JSON", 0),
      // Held open, the driver cannot be read for its digest: a read error, not a mismatch.
      Install("B", L"/NOREGQZ").Exit(1).Before(HoldFile(kDriver))
          .After(TovCheck(L"", 3, {"restart-pending"}, "PELLIMAR64x86.SYS (error 32)")),
      Check([](Context& c) { c.holders.clear(), Write(L"$maker\\TEMP.^^^", "a file")(c); }, L"/JSON", 2,
            {"payload-path-blocked", "restart-pending"}, "del /f /a"), Fix(),
      // Every deletion fix works on a read-only file.
      Check([](Context& c) {
          CreateDirectoryW(c.where.tempDir.c_str(), nullptr);
          Write(L"$drivers\\PELLIMAR64x86.SY1", "old")(c), ReadOnly({L"$drivers\\PELLIMAR64x86.SY1"})(c);
      }, L"/JSON", 1, {"leftover-payload", "leftover-temporary"}, "rmdir /s /q"), Fix(),
      Check([](Context& c) { c.Hold(L"mutex"), CreateDirectoryW(c.where.tempDir.c_str(), nullptr); }, L"", 0, {},
            "state may be changing"),
      // Lists that cannot be read lack nothing: only the read errors, and what the rest says.
      Check([](Context& c) {
          c.holders.clear(), RemoveDirectoryW(c.where.tempDir.c_str()), Set(kSharedDlls, kDriver.c_str(), Sz(L"1"))(c);
          ASSERT_TRUE(DenyWrites(kInstalledApps, L"D:P") && DenyWrites(kUninstallKey, L"D:P"));
      }, L"/JSON", 3, {"count-below-registrations"}),
      Check([](Context&) { ASSERT_TRUE(DenyWrites(kPellimarKey, L"D:P") && DenyWrites(kSharedUsage, L"D:P")); },
            L"/JSON", 3, {}, "SharedUsage\\\\PELLIMAR64x86.SYS\"")}},
};
}  // namespace

namespace harness
{
Op TovCheck(const std::wstring& args, DWORD exit, std::vector<std::string> ids, const char* says)
{
    return [args, exit, ids, says](Context& c) {
        std::string before = Snapshot(c);
        DWORD code = 0;
        std::string output = RunCheck(args, &code);
        EXPECT_EQ(before, Snapshot(c)) << "the check changed the machine";
        EXPECT_EQ(exit, code) << output;
        if (ids.size() != 1 || ids[0] != "*")
            EXPECT_EQ(ids, FindingIds(output)) << output;
        if (says != nullptr)
            EXPECT_NE(std::string::npos, output.find(says)) << output;
        if (args.find(L"json") != std::wstring::npos || args.find(L"JSON") != std::wstring::npos)
            EXPECT_TRUE(JsonText(output).Valid() && output.find("\"verdict\": \"") != std::string::npos &&
                        output.find("\"findings\": [") != std::string::npos) << output;
        else   // the report's own line ends are raw, never escaped
            EXPECT_TRUE(!HasRawControl(output) && output.find("<U+000D><U+000A>") == std::string::npos) << output;
    };
}
}  // namespace harness

E2E_CASES(StateCheck, kCases);
