// Damaged machines met by the real installer: counts of every shape, counts that cannot be written,
// location values missing or unusable, a maker directory or payload that cannot be written, versions
// that cannot be read, files that cannot be replaced, malformed pending-rename lists, a registration
// program that never ends. Other programs' data (a second product, foreign counts and pending renames)
// is in place throughout and checked with the whole machine after every run.
#include "rows.h"

using namespace harness;

namespace
{
std::string Rebuilt(int products)
{
    return "  *Unreadable SharedDlls refcount for $drivers\\PELLIMAR64x86.SYS, rebuilding it from " +
           std::to_string(products) + " registered products.";
}

// The main count as another program may have left it, and what it counts for (-1: nothing usable).
struct Shape
{
    const char* name;
    RawValue value;
    int readsAs;
};

std::vector<Case> CountShapes()
{
    const Shape shapes[] = {
        {"Binary", {true, REG_BINARY, std::string("\1\0\0\0", 4)}, -1},
        {"ExpandSz", Sz(L"5", REG_EXPAND_SZ), -1},
        {"MultiSz", {true, REG_MULTI_SZ, MultiSz({L"5"})}, -1},
        {"DwordAllOnes", Dword(0xFFFFFFFF), -1},
        {"MinusOne", Sz(L"-1"), -1},
        {"MoreThan32Bits", Sz(L"99999999999"), -1},
        {"EmptyString", Sz(L""), -1},
        {"Letters", Sz(L"abc"), -1},
        // 263 bytes of digits and no terminator: too long for the count's buffer, so unreadable.
        {"Unterminated263Bytes", {true, REG_SZ, [] {
             std::string digits;
             for (int i = 0; i < 131; ++i)
                 digits += std::string("0\0", 2);
             return digits + "0";
         }()}, -1},
        {"DigitsThenLetters", Sz(L"12abc"), 12},
        {"LeadingBlank", Sz(L" 7"), 7},
    };
    std::vector<Case> cases;
    for (const Shape& s : shapes)
    {
        Op set = Set(kSharedDlls, L"$drivers\\PELLIMAR64x86.SYS", s.value);
        bool unusable = s.readsAs < 0;
        int installed = (unusable ? 1 : s.readsAs) + 1;   // PRODUCTB registered, PRODUCTA counts
        int remaining = (unusable ? 2 : s.readsAs) - 1;
        Case c{std::string("CountOfShape") + s.name, Vista, {Install("B", L"/NOREGQZ").Expect("inst 1 B")}};
        // The state check reads the damaged count as what it is.
        c.steps.push_back(Do(set).After(TovCheck(L"/JSON", unusable ? 2 : 1,
                                                 {unusable ? "count-unreadable" : "count-above-registrations"})));
        // An unreadable count is not a count of 0: the registrations say how many products use the driver.
        c.steps.push_back(Install("A", L"/NOREGQZ").Before(set).Expect("inst " + std::to_string(installed) + " A B")
                              .Lines({(unusable ? "" : "!") + Rebuilt(1),
                                      "!  *There are no SharedDlls refcounts yet we have 1 subkeys.  Blasting "
                                      "Pellimar key."}));
        c.steps.push_back(Uninstall("A", L"/NOREGQZ").Before(set).Expect("inst " + std::to_string(remaining) + " B")
                              .Lines({(unusable ? "" : "!") + Rebuilt(2), "!  Setting Tovrand delete to TRUE"}));
        if (unusable)
        {
            c.steps.push_back(Run(L"/Q /NOREGQZ").Before(set).Expect("inst 1 B").Lines({Rebuilt(1)}));
            c.steps.push_back(Uninstall("B", L"/NOREGQZ").Before(set).Expect("gone").Lines({Rebuilt(1)}));
        }
        cases.push_back(c);
    }
    return cases;
}

// A location value of the system, as the run finds it and as it must be found afterwards.
Op Value(const std::wstring& name, const RawValue& expected)
{
    return [name, expected](Context&) {
        EXPECT_TRUE(ReadRaw(kCurrentVersion, name.c_str()) == expected) << Narrow(name);
    };
}

// A newer-looking program where an unusable CommonFilesDir would make the installed copy's path: it
// would take the request over and exit with 42.
Op Decoy(const std::wstring& path)
{
    return [path](Context& c) {
        std::wstring p = Expand(c, path);
        for (size_t at = p.find(L'\\', 3); at != std::wstring::npos; at = p.find(L'\\', at + 1))
            CreateDirectoryW(p.substr(0, at).c_str(), nullptr);
        ASSERT_TRUE(CopyFileW((BinDir() + L"\\variants\\stub\\TOVRAND64x86.EXE").c_str(), p.c_str(), FALSE));
    };
}

const std::wstring kLongCommonFiles = L"$work\\" + std::wstring(200, L'c');
const std::string kProgramFallback = "Cannot determine ProgramFilesDir location, using C:\\Program Files";
const std::string kCommonFallback = "Cannot determine CommonFilesDir location, using C:\\Program Files\\Common Files";

// An install over a location value as another program left it: its log line, and the value afterwards.
Step Location(const wchar_t* name, const RawValue& value, const RawValue& after, const std::string& line)
{
    return Install("A").Before(SetSystem(name, value)).Expect("inst 1 A; qz=*").After(Value(name, after)).Lines({line});
}

// An install with CommonFilesDir at value ("$..." names expanded), from the folder $work, with a decoy
// where the value would put the installed copy (cut to cut characters).
Step NoCopyStartedFrom(const RawValue& value, const std::wstring& decoy, size_t cut = std::wstring::npos)
{
    auto expanded = [value](Context& c) {
        return value.type == REG_SZ ? Sz(Expand(c, reinterpret_cast<const wchar_t*>(value.bytes.c_str()))) : value;
    };
    return Install("A", L"EXIT=2A").In(L"$work").Before([expanded, decoy, cut](Context& c) {
            SetSystem(L"CommonFilesDir", expanded(c))(c);
            Decoy(Expand(c, decoy).substr(0, cut))(c);
        }).Expect("inst 1 A q+1").After([expanded](Context& c) { Value(L"CommonFilesDir", expanded(c))(c); })
        .Lines({"!  Installed version is newer.", kCommonFallback});
}

// A pending list with our deletion of the driver between other programs' pairs, and with a long one first.
std::vector<std::wstring> WithOurs(size_t at, bool withLong = false)
{
    std::vector<std::wstring> list = ForeignPending();
    if (at != std::wstring::npos)
        list.insert(list.begin() + at, {L"$ours", L""});
    if (withLong)
        list.insert(list.begin(), {L"\\??\\C:\\TovrandForeign\\" + std::wstring(300, L'x'), L""});
    return list;
}

// An install over a raw pending value of type (with extra bytes after it), and the value it leaves
// (none: the value as it was).
Step PendingValue(DWORD type, const std::vector<std::wstring>& before, const std::vector<std::wstring>& after,
                  std::vector<std::string> lines, bool closingNul = true, const std::string& extra = "")
{
    auto bytes = [](Context& c, const std::vector<std::wstring>& list, bool closing) {
        std::vector<std::wstring> out;
        for (const std::wstring& s : list)
            out.push_back(Expand(c, s));
        return MultiSz(out, closing);
    };
    return Install("A", L"/NOREGQZ").Before([=](Context& c) {
        WriteRaw(kSessionManager, L"PendingFileRenameOperations", {true, type, bytes(c, before, closingNul) + extra});
    }).After([=](Context& c) {
        std::string now = ReadRaw(kSessionManager, L"PendingFileRenameOperations").bytes;
        EXPECT_TRUE(now == (after.empty() ? bytes(c, before, closingNul) + extra : bytes(c, after, true)))
            << Narrow(std::wstring(reinterpret_cast<const wchar_t*>(now.data()), now.size() / 2));
        SetPending(ForeignPending());
    }).Expect("inst 2 A B; pending=*").Lines(std::move(lines));
}

const std::string kUpdating = "  Updating registry with new PendingFileRenameOperations.";
// The shared copy in use, replaced at the restart.
const std::string kSharedReplaced =
    "shared=KVManifests TOVRAND64x86.EX1 TOVRAND64x86.EXE; "
    "pending=[\\??\\$shared\\TOVRAND64x86.EX1]->[!\\??\\$shared\\TOVRAND64x86.EXE]";
const std::string kUnmarking = "  *Unmarking file from deletion: $ours";

std::vector<Case> Cases()
{
    std::vector<Case> cases = {
        // Only a count that is missing or unreadable is no count: one that cannot be written still holds
        // the product's use, so nothing shared goes and the registration stays for a later run.
        {"ACountThatCannotBeWrittenChangesNothing", Both,
         {Install("A").Expect("inst 1 A q+1"), Install("B").Expect("inst 2 A B q+1"),
          Run(L"/U /Q PRODUCTA").Before([](Context&) { ASSERT_TRUE(DenyWrites(kSharedDlls)); })
              .Exit(ERROR_INSTALL_FAILURE).Expect("inst 2 A B")
              .Lines({"  Error - Cannot lower the usage count $drivers\\PELLIMAR64x86.SYS (5).",
                      "Returning: Error (0x643)", "!  Setting Tovrand delete to TRUE"}),
          // The error wins over the restart that the shared copy in use asks for.
          Install("C").Shown(kFailed).Before(HoldFile(L"$shared\\TOVRAND64x86.EXE")).Exit(ERROR_INSTALL_FAILURE)
              .Expect("inst 2 A B q+1; sharedusage=PRODUCTA PRODUCTB PRODUCTC; " + kSharedReplaced)
              .Lines({"  Error - Cannot write the usage count $drivers\\PELLIMAR64x86.SYS (5), PRODUCTC is not "
                      "registered."}),
          Uninstall("A").Before([](Context& c) {
                  AllowWrites();
                  c.holders.clear();
              }).Expect("inst 1 B; sharedusage=PRODUCTB PRODUCTC; " + kSharedReplaced),
          Install("C").Expect("inst 2 B C q+1")}},
        // A registration, uninstall entry or usage value that cannot be written: the count is not raised, or
        // put back, and the run fails; so that no repair counts the product twice. A listing or registration
        // that cannot be read is no answer either.
        {"RegistrationsAndListingsThatCannotBeWrittenOrRead", Vista,
         {Install("B").Expect("inst 1 B q+1"),
          Install("A").Before([](Context&) {
                  WriteRaw(std::wstring(kPellimarKey) + L"\\PRODUCTA", L"Dir1", Dword(1));
                  ASSERT_TRUE(DenyWrites(std::wstring(kPellimarKey) + L"\\PRODUCTA", L"D:P"));
              }).Exit(ERROR_INSTALL_FAILURE).Expect("inst 1 B; products=PRODUCTA(absent) PRODUCTB(dword:1); "
                                                    "sharedusage=PRODUCTA PRODUCTB")
              .Lines({"  Error - Cannot read the registration of PRODUCTA (5), nothing is changed."}),
          Install("A").Before([](Context&) {
                  AllowWrites();
                  DeleteTree(std::wstring(kPellimarKey) + L"\\PRODUCTA");
                  ASSERT_TRUE(DenyWrites(kUninstallKey));
              }).Exit(ERROR_INSTALL_FAILURE).Expect("inst 1 B q+1; sharedusage=PRODUCTA PRODUCTB")
              .Lines({"AddUninstallKey: Unable to open reg key, return 5",
                      "  Error - PRODUCTA is not counted: the usage count is put back."}),
          Run(L"/U /Q PRODUCTB").Before([](Context&) {
                  AllowWrites();
                  ASSERT_TRUE(DenyWrites(kInstalledApps, L"D:P"));
              }).Exit(ERROR_INSTALL_FAILURE).Expect("inst 1 B; sharedusage=PRODUCTA PRODUCTB")
              .Lines({"  Error - Cannot read the listing of PRODUCTB under HKLM\\SOFTWARE\\Norvatek\\InstalledApps "
                      "(5), nothing is changed."}),
          Install("A").Before([](Context&) { AllowWrites(); }).Expect("inst 2 A B q+1")}},
        // A run that stopped between two of its writes left its change in the product's key: the next run
        // tells from the counts whether the change was made, and finishes or withdraws it. Counts that show
        // neither, or a change whose run is still alive, stop the product's own run with nothing changed.
        {"CountChangesOfStoppedRunsAreSettled", Vista,
         {Install("B").Expect("inst 1 B q+1"),
          Install("A").Before([](Context& c) {
                  Change(L"PRODUCTA", false, 1, 2)(c);
                  Set(kSharedDlls, L"$drivers\\PELLIMAR64x86.SYS", Sz(L"2"))(c);
              }).Expect("inst 2 A B q+1")
              .Lines({"  *An interrupted install of PRODUCTA had counted it: it stays registered.",
                      "  Installing with known AppID / Product ID already registered with Tovrand.  Not Updating "
                      "Refcounts."}),
          Install("C").Before(Change(L"PRODUCTC", false, 2, 3)).Expect("inst 3 A B C q+1")
              .Lines({"  *An interrupted install of PRODUCTC had not counted it: its registration is withdrawn."}),
          Install("D").Before([](Context& c) {
                  Change(L"PRODUCTC", true, 3, 2)(c);
                  Set(kSharedDlls, L"$drivers\\PELLIMAR64x86.SYS", Sz(L"2"))(c);
              }).Expect("inst 3 A B D q+1; sharedusage=PRODUCTA PRODUCTB PRODUCTD")
              .Lines({"  *An interrupted uninstall of PRODUCTC had released its use: its registration goes."}),
          Run(L"/U /Q PRODUCTA").Before(Change(L"PRODUCTA", true, 9, 8)).Exit(ERROR_INSTALL_FAILURE)
              .Expect("inst 3 A B D; products=PRODUCTA(dword:1 change) PRODUCTB(dword:1) PRODUCTD(dword:1)")
              .Lines({"  Error - The usage counts changed since a run for PRODUCTA stopped: whether it lowered them "
                      "cannot be told."}),
          Run(L"/U /Q PRODUCTA").Before(Change(L"PRODUCTA", true, 3, 2, true)).Exit(ERROR_INSTALL_ALREADY_RUNNING)
              .Expect("inst 3 A B D; products=PRODUCTA(dword:1 change) PRODUCTB(dword:1) PRODUCTD(dword:1)")
              .Lines({"  *Another run is changing the usage count of PRODUCTA right now."}),
          Uninstall("A").Before([](Context& c) {
                  Change(L"PRODUCTA", true, 3, 2)(c);
                  Set(kSharedDlls, L"$drivers\\PELLIMAR64x86.SYS", Sz(L"2"))(c);
              }).Expect("inst 2 B D")
              .Lines({"  *Finishing the interrupted uninstall of PRODUCTA: its use was released already."}),
          Uninstall("D").Before(Change(L"PRODUCTD", true, 2, 1)).Expect("inst 1 B")
              .Lines({"  *An interrupted uninstall of PRODUCTD had not released its use: it stays registered."})}},
        // Before Vista the release writes two counts: a run stopped between them is completed.
        {"AnUninstallStoppedBetweenItsTwoCountsIsCompleted", Xp,
         {Install("A", L"/NOREGQZ").Expect("inst 1 A"), Install("B", L"/NOREGQZ").Expect("inst 2 A B"),
          Run(L"/U /Q /NOREGQZ PRODUCTA").Before([](Context& c) {
              Change(L"PRODUCTA", true, 2, 1, false, 2, 1)(c);
              Set(kSharedDlls, L"$drivers\\PELLIMAR64x86.SYS", Sz(L"1"))(c);
          }).Expect("inst 1 B")
              .Lines({"  *Finishing the interrupted uninstall of PRODUCTA: its use was released already."})}},
        // An unreadable count that cannot be rebuilt either is no count of 0: the other products'
        // registrations are not blasted as leftovers, and the run says that it failed.
        {"AnUnreadableCountThatCannotBeRebuiltChangesNothing", Vista,
         {Install("A").Expect("inst 1 A q+1"), Install("B").Expect("inst 2 A B q+1"),
          Install("C").Before([](Context& c) {
                  Set(kSharedDlls, L"$drivers\\PELLIMAR64x86.SYS", {true, REG_BINARY, std::string("\1\0\0\0", 4)})(c);
                  ASSERT_TRUE(DenyWrites(kSharedDlls));
              }).Exit(ERROR_INSTALL_FAILURE).Expect("inst 2 A B; count=type3; sharedusage=PRODUCTA PRODUCTB PRODUCTC")
              .Lines({"  Error - The usage count can be neither read nor rebuilt, nothing is changed.",
                      "!~Blasting Pellimar key."}),
          Uninstall("A").Before([](Context&) { AllowWrites(); }).Expect("inst 1 B; sharedusage=PRODUCTB PRODUCTC")
              .Lines({Rebuilt(2)})}},
        // A file named "Norvatek Shared", or "KVManifests" inside it, where a folder of ours belongs: the
        // installer's copy, its uninstall entry or the manifests would have no place, so nothing is done.
        {"ASharedFolderThatCannotBeCreated", Vista,
         {Install("A").Before(Write(L"$shared", "not a directory")).Exit(ERROR_CANNOT_MAKE)
              .Expect("clean; sharedusage=PRODUCTA; makerdir=")
              .Lines({"Cannot create Norvatek common directory $shared",
                      "  Error - No Norvatek Shared directory, nothing can be installed.", "Returning: Error (0x52)"}),
          Install("A").Before([](Context& c) {
                  Delete(L"$shared")(c);
                  CreateDirectoryW(c.where.sharedDir.c_str(), nullptr);
                  Write(L"$shared\\KVManifests", "not a directory")(c);
              }).Exit(ERROR_CANNOT_MAKE).Expect("clean; sharedusage=PRODUCTA; makerdir=; shared=KVManifests")
              .Lines({"  Error - No manifests directory, nothing can be installed."})}},
        // A temporary that cannot be written is never scheduled: the restart would put stale bytes in place.
        {"ADriverInUseWithAStaleTemporaryHeldIsNotInstalled", Vista,
         {Install("A").Expect("inst 1 A q+1"),
          Install("B", L"/HRESULT").Shown(kFailed).Before([](Context& c) {
                  Write(L"$drivers\\PELLIMAR64x86.SY1", "stale")(c);
                  HoldFile(L"$drivers\\PELLIMAR64x86.SYS")(c);
                  HoldFile(L"$drivers\\PELLIMAR64x86.SY1")(c);
              }).Exit(E_FAIL)
              .Expect("inst 2 A B q+1; drivers=PELLIMAR64x86.CAT PELLIMAR64x86.INF PELLIMAR64x86.SY1 "
                      "PELLIMAR64x86.SYS")
              .Lines({"  Error - Cannot copy $temp\\PELLIMAR64x86.SYS to $drivers\\PELLIMAR64x86.SY1 (32), "
                      "$drivers\\PELLIMAR64x86.SYS is not installed.",
                      "!~Marked for rename on reboot: $drivers", "Returning: E_FAIL (0x80004005)"}),
          // Nor is a directory in the driver's place taken for a file in use: no restart could fix it.
          Install("C").Before([](Context& c) {
                  c.holders.clear();
                  Delete(L"$drivers\\PELLIMAR64x86.SYS")(c);
                  Delete(L"$drivers\\PELLIMAR64x86.SY1")(c);
                  CreateDirectoryW(Expand(c, L"$drivers\\PELLIMAR64x86.SYS").c_str(), nullptr);
              }).Exit(ERROR_INSTALL_FAILURE).Expect("inst 3 A B C q+1; drivers=PELLIMAR64x86.CAT PELLIMAR64x86.INF")
              .Lines({"  Error - A directory stands where $drivers\\PELLIMAR64x86.SYS belongs, it is not installed.",
                      "!~Marked for rename on reboot: $drivers"})}},
        // A file named "Norvatek" where the maker's directory belongs: nothing can be installed, but an
        // update-only run on a machine without the driver was asked for nothing.
        {"AMakerDirectoryThatCannotBeCreated", Vista,
         {Run(L"/Q").Before(Write(L"$maker", "not a directory")).Expect("clean")
              .Lines({"  UpdateOnly mode, no previous PELLIMAR, no action taken"}),
          Run(L"").Box(kNothingToUpdate).Expect("clean"),
          Run(L"/Q PRODUCTA").Exit(ERROR_CANNOT_MAKE).Expect("clean")
              .Lines({"Cannot create Norvatek directory", "  Error - No Norvatek directory, nothing can be installed.",
                      "Returning: Error (0x52)"}),
          Do(Delete(L"$maker")), Install("B").Expect("inst 1 B q+1"),
          Install("A").Expect("inst 2 A B q+1"),
          Do([](Context& c) { RemoveTree(c.where.makerDir), Write(L"$maker", "not a directory")(c); }),
          Run(L"/Q /HRESULT PRODUCTC").Exit(E_FAIL).Expect("inst 2 A B; makerdir=absent"),
          Run(L"/Q").Exit(ERROR_CANNOT_MAKE).Expect("inst 2 A B; makerdir=absent"),
          Run(L"PRODUCTC").Exit(ERROR_CANNOT_MAKE).Expect("inst 2 A B; makerdir=absent"),
          // An uninstall needs no maker directory.
          Uninstall("A").Expect("inst 1 B").Lines({"Cannot create Norvatek directory"}),
          // Nor can it write the registration program there: the updater is not told, and the run says so.
          // It keeps what the same command needs to finish the job once the obstacle is gone.
          Run(L"/U /Q PRODUCTB").Exit(ERROR_INSTALL_FAILURE)
              .Expect("gone; qz=dword:1 dword:2 /QZREG /64X86 /LOG; products=PRODUCTB(dword:1 change); "
                      "entry=\"$shared\\TOVRAND64x86.EXE\" /U /Q; shared=TOVRAND64x86.EXE; usage=dword:500")
              .Lines({"  Error - Pellimar is not unregistered from Quazel.",
                      "  Error - The uninstall of PRODUCTB is not finished, the same command finishes it.",
                      "!  Setting Tovrand delete to TRUE"}).After([](Context& c) {
              EXPECT_EQ("not a directory", ReadFileBytes(c.where.makerDir));
          }),
          Uninstall("B").Before(Delete(L"$maker")).Expect("gone q+1")
              .Lines({"  *Finishing the interrupted uninstall of PRODUCTB: its use was released already.",
                      "UnRegisterWithQZ() params /QZUNREG /LOG"})}},
        // A payload file that cannot be written ends the run with an error, and what was written goes.
        {"APayloadFileThatCannotBeWritten", Vista,
         {Install("B").Expect("inst 1 B q+1"),
          Install("A", L"/HRESULT").Before([](Context& c) {
                  CreateDirectoryW(c.where.tempDir.c_str(), nullptr);
                  WriteFileBytes(c.where.tempDir + L"\\PELLIMAR64x86.INF", "left over");
                  HoldFile(L"$temp\\PELLIMAR64x86.INF")(c);
              }).Exit(E_FAIL).Expect("inst 1 B; makerdir=TEMP.^^^; sharedusage=PRODUCTA PRODUCTB")
              .After([](Context& c) {
                  c.holders.clear();
                  // The driver and manifests written before the failure went again; the held file is not ours.
                  for (const wchar_t* name : {L"PELLIMAR64x86.SYS", L"PELLMAR.KVM", L"PELLMAR.GRD", L"PELLMAR.SIG"})
                      EXPECT_FALSE(FileExists(c.where.tempDir + L"\\" + name)) << Narrow(name);
                  EXPECT_EQ("left over", ReadFileBytes(c.where.tempDir + L"\\PELLIMAR64x86.INF"));
              }).Lines({"   Error - CreateFile failed with code 0x00000020", "ExtractFiles() failed"})}},
        // The running installer's version cannot be read (its name begins with a dot, which the version
        // reader skips): nothing is installed and the exit code says so.
        {"VersionsThatCannotBeReadEndTheRunWithAnError", Vista,
         {Install("A").Exe(L"$setup\\.TOVRAND64x86.EXE").Before([](Context& c) {
                  CopyFileW(InstallerPath().c_str(), c.setup.File(L".TOVRAND64x86.EXE").c_str(), FALSE);
              }).Exit(ERROR_CANNOT_MAKE)
              .Expect("clean; sharedusage=PRODUCTA; makerdir=; shared=KVManifests; manifests=")
              .Lines({"GetVersions() failed", "Returning: Error (0x52)"})}},
        // A registration program that outlasts the wait is left running, and its file to the restart.
        {"ARegistrationProgramThatOutlastsTheWaitIsLeftRunning", Vista,
         {Install("A").Exe(L"shortwait").Before(Set(kQuazelKey, L"HoldMs", Dword(8000))).Exit(1).NoWait()
              .Expect("inst 1 A; qz=*; makerdir=PLQZREG32.EXE; pending=*")
              .Lines({"  $maker\\PLQZREG32.EXE did not end within 3 seconds, leaving it running.",
                      "Delete on reboot: $maker\\PLQZREG32.EXE"}),
          // The next run cannot write the program file the first one still runs from: it waits for that
          // program as long as for its own, then its own goes under a name of its own, and the updater is
          // told all the same.
          Install("B").Exe(L"shortwait").Before(Set(kQuazelKey, L"HoldMs", Dword(0)))
              .Expect("inst 2 A B q+1; makerdir=PLQZREG32.EXE; pending=*")
              .Lines({"  $maker\\PLQZREG32.EXE is in use by another run's registration, waiting for it.",
                      "~, using $maker\\PLQZREG32-"})}},
        // Location values: a missing one is replaced and stored; one that is there but unusable is used
        // as the usual place for the run and never overwritten; an expandable one is expanded.
        {"LocationValues", Vista,
         {Location(L"ProgramFilesDir", RawValue(), Sz(L"C:\\Program Files"), kProgramFallback),
          Location(L"ProgramFilesDir", Sz(L""), Sz(L""), kProgramFallback),
          Location(L"ProgramFilesDir", Sz(L"C:\\" + std::wstring(256, L'p')), Sz(L"C:\\" + std::wstring(256, L'p')),
                   kProgramFallback),
          Location(L"ProgramFilesDir", Sz(L"%SystemDrive%\\Program Files", REG_EXPAND_SZ),
                   Sz(L"%SystemDrive%\\Program Files", REG_EXPAND_SZ),
                   "Norvatek dir found using ProgramFilesDir: C:\\Program Files"),
          Location(L"CommonFilesDir", RawValue(), Sz(L"C:\\Program Files\\Common Files"), kCommonFallback),
          Uninstall("A").Before(SetSystem(L"CommonFilesDir", RawValue())).Expect("gone; qz=*")}, true},
        // An unusable CommonFilesDir would make the installed copy's path relative, or cut: nothing found
        // there is started. A DWORD would be one character of a folder in the current directory: none is
        // made there, and the uninstall entry names the usual place.
        {"ADwordCommonFilesDirMakesNothingRelative", Vista,
         {NoCopyStartedFrom(Dword(0x43), L"$work\\CNorvatek Shared\\TOVRAND64x86.EXE").After([](Context& c) {
             SameBytes(L"$work\\CNorvatek Shared\\TOVRAND64x86.EXE", L"$bin\\variants\\stub\\TOVRAND64x86.EXE")(c);
             EXPECT_FALSE(DirExists(c.work.File(L"CNorvatek Shared\\KVManifests")));
         })}, true},
        // The runs use the usual folder then, and the last uninstall removes it from there.
        {"AnEmptyCommonFilesDirStartsNoRelativeCopy", Vista,
         {NoCopyStartedFrom(Sz(L""), L"$work\\Norvatek Shared\\TOVRAND64x86.EXE"), Uninstall("A").Expect("gone q+1")},
         true},
        {"ATooLongCommonFilesDirStartsNoCutCopy", Vista,
         {NoCopyStartedFrom(Sz(kLongCommonFiles), (kLongCommonFiles + L"\\Norvatek Shared\\TOVRAND64x86.EXE"), 259)},
         true},
        // Malformed pending-rename lists: rewritten with exactly our deletion gone (a missing closing NUL
        // supplied, what stands after the list's end kept byte for byte), or left as they were.
        {"MalformedPendingLists", Vista,
         {Install("B", L"/NOREGQZ").Expect("inst 1 B"),
          PendingValue(REG_MULTI_SZ, WithOurs(2), ForeignPending(), {kUnmarking, kUpdating}, true, "A"),
          PendingValue(REG_MULTI_SZ, WithOurs(6), ForeignPending(), {kUnmarking, kUpdating}, false),
          PendingValue(REG_MULTI_SZ, WithOurs(4, true), WithOurs(std::wstring::npos, true), {kUnmarking, kUpdating}),
          PendingValue(REG_MULTI_SZ, {L"$ours", L"", L"C:\\f1", L"C:\\f2", L"", L"C:\\d", L""},
                       {L"C:\\f1", L"C:\\f2", L"", L"C:\\d", L""}, {kUnmarking, kUpdating}),
          PendingValue(REG_BINARY, WithOurs(2), {},
                       {"  Failed (0) to RegQueryValueEx regkey: PendingFileRenameOperations (Type:3)"}),
          // Nothing of ours: the empty string that ends the list early stays, and what follows it with it.
          PendingValue(REG_MULTI_SZ, {L"\\??\\C:\\gone1", L"", L"", L"\\??\\C:\\keep\\d.txt", L""}, {},
                       {"!" + kUpdating})}},
    };
    for (const Case& c : CountShapes())
        cases.push_back(c);
    return cases;
}

const std::vector<Case> kCases = Cases();
}  // namespace

E2E_CASES(Faults, kCases);
