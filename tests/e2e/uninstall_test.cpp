// Uninstall through the real installer: one product of several, the last product, NODEL, NOREGQZ,
// DELONREBOOT, a second uninstall, the self-delete of the installer file.
#include "e2e.h"

using namespace harness;

namespace
{
// A copy of the installer in a place of its own, as a product's setup would carry it.
std::wstring OwnCopy(const ScratchDir& dir)
{
    std::wstring copy = dir.File(L"TOVRAND64x86.EXE");
    CopyFileW(InstallerPath().c_str(), copy.c_str(), FALSE);
    return copy;
}

bool WaitGone(const std::wstring& path, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 250)
    {
        if (!FileExists(path))
            return true;
        Sleep(250);
    }
    return !FileExists(path);
}
}  // namespace

class Uninstall : public MachineTest
{
};

TEST_F(Uninstall, OneOfTwoProductsLowersTheCountAndKeepsTheDriver)
{
    Locations w = Where();
    RunCase(L"/Q PRODUCTA");
    RunCase(L"/Q PRODUCTB");
    ASSERT_EQ("2", MainCount());
    SetString(HKEY_LOCAL_MACHINE, kInstalledApps, L"PRODUCTA", L"x");
    InstallerRun run = RunCase(L"/U /Q PRODUCTA");
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(0u, run.process.exitCode);
    EXPECT_EQ("1", MainCount());
    int old = run.Find("  Old RefCount: System32\\Drivers\\PELLIMAR64x86.SYS: 2");
    ASSERT_GE(old, 0);
    EXPECT_EQ(old + 1, run.Find("  New RefCount: System32\\Drivers\\PELLIMAR64x86.SYS: 1"));
    EXPECT_FALSE(run.Has("  Old RefCount: Norvatek\\PELLIMAR64x86.SYS: -1"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\PRODUCTA"));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\PRODUCTB"));
    EXPECT_TRUE(ServiceExists());
    EXPECT_TRUE(FileExists(w.driversDir + L"\\PELLIMAR64x86.SYS"));
    EXPECT_TRUE(FileExists(w.sharedDir + L"\\TOVRAND64x86.EXE"));
    EXPECT_FALSE(run.Has("  Setting Tovrand delete to TRUE"));
}

TEST_F(Uninstall, TheLastProductTakesEverythingAway)
{
    Locations w = Where();
    RunCase(L"/Q PRODUCTA");
    ScratchDir setup;
    std::wstring own = OwnCopy(setup);
    InstallerRun run = RunCase(L"/U /Q /NOREGAPPID PRODUCTA", own);
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(0u, run.process.exitCode);
    EXPECT_EQ("", MainCount());
    EXPECT_EQ("", SharedDllsValue(w.sharedDir + L"\\TOVRAND64x86.EXE"));
    for (const wchar_t* name : {L"PELLIMAR64x86.SYS", L"PELLIMAR64x86.INF", L"PELLIMAR64x86.CAT"})
        EXPECT_FALSE(FileExists(w.driversDir + L"\\" + name)) << Narrow(name);
    EXPECT_FALSE(DirExists(w.manifestsDir));
    EXPECT_FALSE(ServiceExists());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kPellimarKey));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey));
    EXPECT_EQ(L"/QZUNREG /LOG", GetString(HKEY_LOCAL_MACHINE, kQuazelKey, L"LastCommandLine"));
    EXPECT_EQ(0u, GetDword(HKEY_LOCAL_MACHINE, kQuazelKey, L"Registered"));
    EXPECT_FALSE(FileExists(w.sharedDir + L"\\TOVRAND64x86.EXE"));
    EXPECT_FALSE(DirExists(w.sharedDir));
    EXPECT_FALSE(DirExists(w.makerDir));
    EXPECT_TRUE(run.Has("  Removed Kevault Manifests."));
    EXPECT_TRUE(run.Has("  Removed CAT and INF files"));
    EXPECT_TRUE(run.Has("  Setting Tovrand delete to TRUE"));
    EXPECT_TRUE(run.Has("SetUpDelete: Setup succeeded"));
    EXPECT_FALSE(run.Has("  Old RefCount: System32\\Drivers\\PELLIMAR64x86.SYS: 1"));
    // The temporary copy deletes the installer file it was started from, then schedules itself.
    EXPECT_TRUE(WaitGone(own, 30000)) << "the running installer file is still there";
}

TEST_F(Uninstall, DelOnRebootLeavesTheRunningFileForTheRestart)
{
    RunCase(L"/Q PRODUCTA");
    ScratchDir setup;
    std::wstring own = OwnCopy(setup);
    InstallerRun run = RunCase(L"/U /Q /NOREGAPPID /DELONREBOOT /HRESULT PRODUCTA", own);
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(0x80070BC2u, run.process.exitCode);
    EXPECT_TRUE(IsScheduledForDeletion(ShortPath(own))) << DumpState();
    EXPECT_TRUE(FileExists(own));
    ASSERT_TRUE(Restart());
    EXPECT_FALSE(FileExists(own));
}

TEST_F(Uninstall, NoDelKeepsTheDriverButDropsCountsAndRegistration)
{
    Locations w = Where();
    RunCase(L"/Q PRODUCTA");
    SetString(HKEY_LOCAL_MACHINE, kInstalledApps, L"PRODUCTA", L"x");
    InstallerRun run = RunCase(L"/U /Q /NODEL PRODUCTA");
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(0u, run.process.exitCode);
    EXPECT_EQ("", MainCount());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\PRODUCTA"));
    EXPECT_TRUE(FileExists(w.driversDir + L"\\PELLIMAR64x86.SYS"));
    EXPECT_TRUE(ServiceExists());
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey));
    EXPECT_TRUE(FileExists(w.sharedDir + L"\\TOVRAND64x86.EXE"));
    EXPECT_FALSE(run.Has("  Setting Tovrand delete to TRUE"));
}

TEST_F(Uninstall, NoRegQzKeepsOnlyTheUpdaterRegistration)
{
    Locations w = Where();
    RunCase(L"/Q PRODUCTA");
    ScratchDir setup;
    InstallerRun run = RunCase(L"/U /Q /NOREGAPPID /NOREGQZ PRODUCTA", OwnCopy(setup));
    ASSERT_TRUE(run.process.finished);
    EXPECT_TRUE(run.Has("  /NoRegQZ switch used.  Not unregistering from Quazel."));
    EXPECT_EQ(1u, GetDword(HKEY_LOCAL_MACHINE, kQuazelKey, L"Registered"));
    EXPECT_FALSE(ServiceExists());
    EXPECT_EQ("", MainCount());
    EXPECT_FALSE(FileExists(w.driversDir + L"\\PELLIMAR64x86.SYS"));
}

TEST_F(Uninstall, ASecondUninstallChangesNothing)
{
    RunCase(L"/Q PRODUCTA");
    RunCase(L"/Q PRODUCTB");
    SetString(HKEY_LOCAL_MACHINE, kInstalledApps, L"PRODUCTA", L"x");
    RunCase(L"/U /Q PRODUCTA");
    std::string before = DumpState();
    InstallerRun again = RunCase(L"/U /Q PRODUCTA");
    EXPECT_EQ(0u, again.process.exitCode);
    EXPECT_TRUE(again.Has("  *Somehow this product has a valid AppID (or /NOREGAPPID) yet isn't registered with "
                          "Tovrand (during uninstall). Bailing."));
    EXPECT_EQ(before, DumpState());
    EXPECT_EQ("1", MainCount());
}

TEST_F(Uninstall, AStalePellimarKeyIsDeletedWhenAnInstallStarts)
{
    SetDword(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\OLDPRODUCT1", L"Dir1", 1);
    SetDword(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\OLDPRODUCT2", L"Dir1", 1);
    InstallerRun run = RunCase(L"/Q /NOREGQZ PRODUCTA");
    EXPECT_TRUE(run.Has("  *There are no SharedDlls refcounts yet we have 2 subkeys.  Blasting Pellimar key."));
    EXPECT_TRUE(run.Has("  Successfully deleted Pellimar regkey and subkeys using standard methods."));
    EXPECT_LT(run.Find("  Successfully deleted Pellimar regkey and subkeys using standard methods."),
              run.Find("BEGIN - IDM_CHECKUSAGEUPDATE"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\OLDPRODUCT1"));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\PRODUCTA"));
    EXPECT_EQ("1", MainCount());
}

TEST_F(Uninstall, AllTemporaryNamesTakenFallsBackToTheRestart)
{
    RunCase(L"/Q PRODUCTA");
    ScratchDir setup;
    std::wstring own = OwnCopy(setup);
    // The temporary copy goes to the user's temp directory, which is this run's log directory.
    ScratchDir temp;
    WriteFileBytes(temp.File(L"TOVRAND64x86.EXE"), "taken");
    for (int i = 0; i < 10; ++i)
        WriteFileBytes(temp.File(L"tovrand" + std::to_wstring(i) + L".exe"), "taken");
    Process p = harness::Run(L"\"" + own + L"\" /U /Q /NOREGAPPID PRODUCTA", temp.Path());
    ASSERT_TRUE(p.finished);
    EXPECT_EQ(1u, p.exitCode);
    std::vector<std::string> log = ReadLog(temp.Path());
    EXPECT_GE(FindLine(log, "SetUpDelete: Create unique file name failed"), 0);
    EXPECT_TRUE(IsScheduledForDeletion(ShortPath(own)));
    EXPECT_TRUE(FileExists(own));
}
