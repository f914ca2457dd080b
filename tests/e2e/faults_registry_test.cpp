// Registry faults through the real installer: the system's location values missing, and usage counts
// of every type and shape. Every case checks the result, the log and that what belongs to others is
// still there.
#include "faults.h"

using namespace harness;

namespace
{
std::string Rebuilt(int products)
{
    return "  *Unreadable SharedDlls refcount for " + Narrow(MainCountName()) + ", rebuilding it from " +
           std::to_string(products) + " registered products.";
}

std::string OldCount(int n)
{
    return "  Old RefCount: System32\\Drivers\\PELLIMAR64x86.SYS: " + std::to_string(n);
}

std::string NewCount(int n)
{
    return "  New RefCount: System32\\Drivers\\PELLIMAR64x86.SYS: " + std::to_string(n);
}

// One shape of the main count as another program may have left it.
struct Shape
{
    const char* name;
    DWORD type;
    std::string bytes;
    int readsAs;   // what it counts for; -1 when it says nothing usable
};

std::string Sz(const std::wstring& text)
{
    return Utf16(text) + std::string(2, '\0');
}

std::vector<Shape> Shapes()
{
    DWORD one = 1;
    DWORD allOnes = 0xFFFFFFFF;
    return {
        {"REG_BINARY", REG_BINARY, std::string(reinterpret_cast<const char*>(&one), 4), -1},
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, Sz(L"5"), -1},
        {"REG_MULTI_SZ", REG_MULTI_SZ, Sz(L"5") + std::string(2, '\0'), -1},
        {"REG_DWORD all ones", REG_DWORD, std::string(reinterpret_cast<const char*>(&allOnes), 4), -1},
        {"\"-1\"", REG_SZ, Sz(L"-1"), -1},
        {"\"99999999999\"", REG_SZ, Sz(L"99999999999"), -1},
        {"empty string", REG_SZ, Sz(L""), -1},
        {"\"abc\"", REG_SZ, Sz(L"abc"), -1},
        {"\"12abc\"", REG_SZ, Sz(L"12abc"), 12},
        {"\" 7\"", REG_SZ, Sz(L" 7"), 7},
    };
}

void SetMainCount(const Shape& s)
{
    SetBinary(HKEY_LOCAL_MACHINE, kSharedDlls, MainCountName().c_str(), s.bytes.data(),
              static_cast<DWORD>(s.bytes.size()), s.type);
}
}  // namespace

class FaultRegistry : public FaultTest
{
};

// The location values belong to the system: whatever a case changes is put back. A missing value is
// replaced by the usual place on the system drive, stored, and used for everything.
TEST_F(FaultRegistry, MissingLocationValuesAreReplacedStoredAndUsed)
{
    SavedValue programFiles(kCurrentVersionKey, L"ProgramFilesDir");
    SavedValue commonFiles(kCurrentVersionKey, L"CommonFilesDir");
    const Locations original = Where();
    const RawValue programFiles0 = ReadRaw(kCurrentVersionKey, L"ProgramFilesDir");
    const RawValue commonFiles0 = ReadRaw(kCurrentVersionKey, L"CommonFilesDir");
    ASSERT_FALSE(original.programFiles.empty());
    ASSERT_FALSE(original.commonFiles.empty());
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring drive(1, system[0]);
    const std::wstring programFallback = drive + L":\\Program Files";
    const std::wstring commonFallback = drive + L":\\Program Files\\Common Files";
    const std::string programLine = "Cannot determine ProgramFilesDir location, using " + Narrow(programFallback);
    const std::string commonLine = "Cannot determine CommonFilesDir location, using " + Narrow(commonFallback);

    struct Case
    {
        const char* name;
        bool dropProgramFiles;   // missing
        bool emptyProgramFiles;  // an empty string
        bool dropCommonFiles;
        bool uninstall;          // the value goes between install and uninstall
    };
    const Case cases[] = {
        {"ProgramFilesDir missing", true, false, false, false},
        {"ProgramFilesDir empty", false, true, false, false},
        {"CommonFilesDir missing", false, false, true, false},
        {"both missing", true, false, true, false},
        {"both missing at uninstall", true, false, true, true},
    };
    for (const Case& c : cases)
    {
        CleanMachine();
        ASSERT_NO_FATAL_FAILURE(PlaceBystanders(true));
        auto breakValues = [&]() {
            if (c.dropProgramFiles)
                DeleteValue(HKEY_LOCAL_MACHINE, kCurrentVersionKey, L"ProgramFilesDir");
            if (c.emptyProgramFiles)
                SetString(HKEY_LOCAL_MACHINE, kCurrentVersionKey, L"ProgramFilesDir", L"");
            if (c.dropCommonFiles)
                DeleteValue(HKEY_LOCAL_MACHINE, kCurrentVersionKey, L"CommonFilesDir");
        };
        InstallerRun run;
        if (!c.uninstall)
        {
            breakValues();
            run = Run(L"/Q /NOREGQZ PRODUCTA");
        }
        else
        {
            ASSERT_EQ(0u, Run(L"/Q /NOREGQZ PRODUCTA").process.exitCode);
            SetString(HKEY_LOCAL_MACHINE, kInstalledApps, L"PRODUCTA", L"Product A");
            breakValues();
            run = Run(L"/U /Q /NOREGQZ PRODUCTA");
        }
        ASSERT_TRUE(run.process.finished) << c.name;
        EXPECT_EQ(0u, run.process.exitCode) << c.name;
        bool programFallbackUsed = c.dropProgramFiles || c.emptyProgramFiles;
        EXPECT_EQ(programFallbackUsed, run.Has(programLine)) << c.name;
        EXPECT_EQ(!programFallbackUsed, run.Has("Norvatek dir found using ProgramFilesDir: " + Narrow(original.programFiles)))
            << c.name;
        EXPECT_EQ(c.dropCommonFiles, run.Has(commonLine)) << c.name;
        // The replacement is stored as a string for the next run and for the other programs.
        DWORD type = 0;
        std::string bytes;
        ASSERT_TRUE(GetValue(HKEY_LOCAL_MACHINE, kCurrentVersionKey, L"ProgramFilesDir", &type, &bytes)) << c.name;
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), type) << c.name;
        EXPECT_EQ(programFallbackUsed ? programFallback : original.programFiles,
                  GetString(HKEY_LOCAL_MACHINE, kCurrentVersionKey, L"ProgramFilesDir")) << c.name;
        EXPECT_EQ(c.dropCommonFiles ? commonFallback : original.commonFiles,
                  GetString(HKEY_LOCAL_MACHINE, kCurrentVersionKey, L"CommonFilesDir")) << c.name;

        Locations w = Where();
        if (!c.uninstall)
        {
            EXPECT_EQ("2", MainCount()) << c.name;
            EXPECT_TRUE(ReadFileBytes(InstallerPath()) == ReadFileBytes(w.sharedDir + L"\\TOVRAND64x86.EXE")) << c.name;
            EXPECT_TRUE(FileExists(w.manifestsDir + L"\\PELLMAR.KVM")) << c.name;
            EXPECT_TRUE(DirExists(w.makerDir)) << c.name;
            EXPECT_FALSE(DirExists(w.tempDir)) << c.name;
            EXPECT_EQ(L"\"" + w.sharedDir + L"\\TOVRAND64x86.EXE\" /U /Q",
                      GetString(HKEY_LOCAL_MACHINE, kUninstallKey, L"QuietUninstallString")) << c.name;
        }
        else
        {
            EXPECT_EQ("1", MainCount()) << c.name;
            EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\PRODUCTA")) << c.name;
        }
        ExpectBystandersUntouched(c.name);
        // Back to the machine's own values before the next case.
        WriteRaw(kCurrentVersionKey, L"ProgramFilesDir", programFiles0);
        WriteRaw(kCurrentVersionKey, L"CommonFilesDir", commonFiles0);
    }
}

// Another program may leave the main count in any shape. A count that says nothing usable is not a
// count of 0: the registrations tell how many products use the driver, and the count is rebuilt from
// them instead of blasting them as leftovers.
TEST_F(FaultRegistry, InstallOverAMainCountOfAnyShapeKeepsTheOtherProducts)
{
    for (const Shape& s : Shapes())
    {
        CleanMachine();
        ASSERT_NO_FATAL_FAILURE(PlaceBystanders(true));
        SetMainCount(s);
        InstallerRun run = Run(L"/Q /NOREGQZ PRODUCTA");
        ASSERT_TRUE(run.process.finished) << s.name;
        EXPECT_EQ(0u, run.process.exitCode) << s.name;
        int before = s.readsAs >= 0 ? s.readsAs : 1;   // PRODUCTB's registration
        EXPECT_EQ(std::to_string(before + 1), MainCount()) << s.name;
        EXPECT_EQ(s.readsAs < 0, run.Has(Rebuilt(1))) << s.name;
        int old = run.Find(OldCount(before));
        EXPECT_GE(old, 0) << s.name;
        EXPECT_EQ(old + 1, run.Find(NewCount(before + 1))) << s.name;
        EXPECT_FALSE(run.Has("  *There are no SharedDlls refcounts yet we have 1 subkeys.  Blasting Pellimar key."))
            << s.name;
        EXPECT_EQ(1u, GetDword(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\PRODUCTA", L"Dir1")) << s.name;
        ExpectBystandersUntouched(s.name);
    }
}

// An update-only run rewrites the count without raising it: an unusable count must not become 0 there.
TEST_F(FaultRegistry, AnUpdateOnlyRunRebuildsAnUnusableCountInsteadOfZeroingIt)
{
    ASSERT_NO_FATAL_FAILURE(PlaceBystanders(true));
    SetMainCount(Shapes()[0]);
    InstallerRun run = Run(L"/Q /NOREGQZ");
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(0u, run.process.exitCode);
    EXPECT_TRUE(run.Has(Rebuilt(1)));
    EXPECT_TRUE(run.Has(OldCount(1)));
    EXPECT_TRUE(run.Has(NewCount(1)));
    EXPECT_EQ("1", MainCount());
    ExpectBystandersUntouched("update only");
}

TEST_F(FaultRegistry, UninstallOfOneProductOverAMainCountOfAnyShapeKeepsTheDriverForTheOthers)
{
    for (const Shape& s : Shapes())
    {
        CleanMachine();
        ASSERT_NO_FATAL_FAILURE(PlaceBystanders(true));
        ASSERT_EQ(0u, Run(L"/Q /NOREGQZ PRODUCTA").process.exitCode) << s.name;
        SetString(HKEY_LOCAL_MACHINE, kInstalledApps, L"PRODUCTA", L"Product A");
        SetMainCount(s);
        ScratchDir setup;   // should the run wrongly take everything away, it deletes its own file
        InstallerRun run = Run(L"/U /Q /NOREGQZ PRODUCTA", OwnInstallerCopy(setup));
        ASSERT_TRUE(run.process.finished) << s.name;
        EXPECT_EQ(0u, run.process.exitCode) << s.name;
        int before = s.readsAs >= 0 ? s.readsAs : 2;   // PRODUCTA and PRODUCTB registered
        EXPECT_EQ(s.readsAs < 0, run.Has(Rebuilt(2))) << s.name;
        int old = run.Find(OldCount(before));
        EXPECT_GE(old, 0) << s.name;
        EXPECT_EQ(old + 1, run.Find(NewCount(before - 1))) << s.name;
        EXPECT_EQ(std::to_string(before - 1), MainCount()) << s.name;
        EXPECT_FALSE(run.Has("  Setting Tovrand delete to TRUE")) << s.name;
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\PRODUCTA")) << s.name;
        EXPECT_TRUE(FileExists(Where().sharedDir + L"\\TOVRAND64x86.EXE")) << s.name;
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey)) << s.name;
        ExpectBystandersUntouched(s.name);
    }
}

// With no other product registered, an unusable count of the last product is rebuilt to 1 and released
// like any other: nothing of the driver is left behind, the count value included.
TEST_F(FaultRegistry, TheLastProductOverAnUnusableCountTakesEverythingAway)
{
    for (const Shape& s : Shapes())
    {
        if (s.readsAs >= 0)
            continue;
        CleanMachine();
        ASSERT_NO_FATAL_FAILURE(PlaceBystanders(false));
        ASSERT_EQ(0u, Run(L"/Q /NOREGQZ PRODUCTA").process.exitCode) << s.name;
        SetMainCount(s);
        ScratchDir setup;
        InstallerRun run = Run(L"/U /Q /NOREGQZ /NOREGAPPID PRODUCTA", OwnInstallerCopy(setup));
        ASSERT_TRUE(run.process.finished) << s.name;
        EXPECT_EQ(0u, run.process.exitCode) << s.name;
        EXPECT_TRUE(run.Has(Rebuilt(1))) << s.name;
        EXPECT_TRUE(run.Has("  RefCount " + Narrow(MainCountName()) + " reached 0.")) << s.name;
        EXPECT_EQ("", MainCount()) << s.name;
        EXPECT_FALSE(FileExists(MainCountName())) << s.name;
        EXPECT_FALSE(ServiceExists()) << s.name;
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kPellimarKey)) << s.name;
        EXPECT_FALSE(DirExists(Where().sharedDir)) << s.name;
        ExpectBystandersUntouched(s.name, false);
    }
}
