// A full install through the real installer: files, counts, product key, service, uninstall entry,
// updater registration, restarts.
#include "e2e.h"

using namespace harness;

namespace
{
std::string Payload(const wchar_t* name)
{
    return ReadFileBytes(BinDir() + L"\\payload\\" + name);
}

std::vector<std::string> CopiedFiles(const InstallerRun& run)
{
    std::vector<std::string> sources;
    for (const std::string& m : run.messages)
        if (m.compare(0, 15, "  Copying file ") == 0)
            sources.push_back(m.substr(15));
    return sources;
}

std::wstring ServiceValue(const wchar_t* name)
{
    return GetString(HKEY_LOCAL_MACHINE, kServiceKey, name);
}
}  // namespace

class Install : public MachineTest
{
};

TEST_F(Install, CleanMachineGetsEverythingInPlace)
{
    Locations w = Where();
    InstallerRun run = RunCase(L"/Q PRODUCTA");
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(0u, run.process.exitCode);

    std::string temp = Narrow(w.tempDir) + "\\";
    std::vector<std::string> expected = {Narrow(InstallerPath()),
                                         temp + "PELLIMAR64x86.SYS", temp + "PELLIMAR64x86.INF",
                                         temp + "PELLIMAR64x86.CAT", temp + "PELLMAR.KVM",
                                         temp + "PELLMAR.GRD", temp + "PELLMAR.SIG"};
    EXPECT_EQ(expected, CopiedFiles(run));
    for (const wchar_t* name : {L"PELLIMAR64x86.SYS", L"PELLIMAR64x86.INF", L"PELLIMAR64x86.CAT"})
        EXPECT_EQ(Payload(name), ReadFileBytes(w.driversDir + L"\\" + name)) << Narrow(name);
    for (const wchar_t* name : {L"PELLMAR.KVM", L"PELLMAR.GRD", L"PELLMAR.SIG"})
        EXPECT_EQ(Payload(name), ReadFileBytes(w.manifestsDir + L"\\" + name)) << Narrow(name);
    EXPECT_EQ(ReadFileBytes(InstallerPath()), ReadFileBytes(w.sharedDir + L"\\TOVRAND64x86.EXE"));

    EXPECT_EQ("1", MainCount());
    EXPECT_EQ("", MakerCount());
    EXPECT_EQ(1u, GetDword(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\PRODUCTA", L"Dir1"));
    EXPECT_TRUE(ServiceExists());
    EXPECT_EQ(1u, GetDword(HKEY_LOCAL_MACHINE, kServiceKey, L"Type"));
    EXPECT_EQ(3u, GetDword(HKEY_LOCAL_MACHINE, kServiceKey, L"Start"));
    EXPECT_EQ(1u, GetDword(HKEY_LOCAL_MACHINE, kServiceKey, L"ErrorControl"));
    std::wstring image = ServiceValue(L"ImagePath");
    EXPECT_NE(std::wstring::npos, image.find(L"PELLIMAR64x86.SYS")) << Narrow(image);
    EXPECT_EQ(0u, GetDword(HKEY_LOCAL_MACHINE, kLanmanKey, L"CachedOpenLimit"));
    EXPECT_EQ(L"\"" + w.sharedDir + L"\\TOVRAND64x86.EXE\" /U /Q",
              GetString(HKEY_LOCAL_MACHINE, kUninstallKey, L"QuietUninstallString"));
    EXPECT_EQ("dword:500", SharedDllsValue(w.sharedDir + L"\\TOVRAND64x86.EXE"));
    EXPECT_EQ(L"/QZREG /64X86 /LOG", GetString(HKEY_LOCAL_MACHINE, kQuazelKey, L"LastCommandLine"));
    EXPECT_EQ(1u, GetDword(HKEY_LOCAL_MACHINE, kQuazelKey, L"Registered"));
    EXPECT_FALSE(FileExists(w.makerDir + L"\\PLQZREG32.EXE"));
    EXPECT_TRUE(run.Has("RegisterWithQZ() params /QZREG /64X86 /LOG"));
    EXPECT_TRUE(run.Has("Deleted try 0: " + Narrow(w.makerDir) + "\\PLQZREG32.EXE"));
    EXPECT_FALSE(DirExists(w.tempDir));
    EXPECT_TRUE(run.Has("  Old RefCount: System32\\Drivers\\PELLIMAR64x86.SYS: 0"));
    EXPECT_TRUE(run.Has("  New RefCount: System32\\Drivers\\PELLIMAR64x86.SYS: 1"));
    EXPECT_TRUE(run.Has("  Pellimar Service Does Not Exist"));
    EXPECT_TRUE(run.Has("  InstallService returned 00000000"));
}

TEST_F(Install, EachProductCountsOnce)
{
    RunCase(L"/Q PRODUCTA");
    InstallerRun second = RunCase(L"/Q /CONSUMER /USEQZMANIFEST PRODUCTB");
    EXPECT_EQ("2", MainCount());
    EXPECT_TRUE(second.Has("  Pellimar Service Exists"));
    EXPECT_TRUE(second.Has("  ConfigureService returned 0x00000000"));
    EXPECT_TRUE(second.Has("AddUninstallKey: Reg value already present"));
    EXPECT_EQ(L"/QZREG /64X86 /CONSUMER /USEQZMANIFEST /LOG",
              GetString(HKEY_LOCAL_MACHINE, kQuazelKey, L"LastCommandLine"));
    InstallerRun again = RunCase(L"/Q PRODUCTA");
    EXPECT_EQ(0u, again.process.exitCode);
    EXPECT_EQ("2", MainCount());
    EXPECT_TRUE(again.Has("  Installing with unknown AppID but already registered with Tovrand.  Not Updating RefCounts."));
    // An update-only run rewrites the counts without raising them.
    InstallerRun update = RunCase(L"/Q");
    EXPECT_EQ("2", MainCount());
    EXPECT_TRUE(update.Has("  Product ID not set.  Not updating RefCounts."));
}

TEST_F(Install, BeforeVistaTheDriverAlsoGoesToTheMakersDirectoryWithASecondCount)
{
    if (!IsWine())
        GTEST_SKIP() << "needs Wine's per-program Windows version";
    Locations w = Where();
    SetWindowsVersion(L"winxp64");
    InstallerRun run = RunCase(L"/Q /NOREGQZ PRODUCTA");
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(10u, CopiedFiles(run).size());
    for (const wchar_t* name : {L"PELLIMAR64x86.SYS", L"PELLIMAR64x86.INF", L"PELLIMAR64x86.CAT"})
        EXPECT_EQ(Payload(name), ReadFileBytes(w.makerDir + L"\\" + name)) << Narrow(name);
    EXPECT_EQ("1", MainCount());
    EXPECT_EQ("1", MakerCount());

    SetString(HKEY_LOCAL_MACHINE, kSharedDlls, (w.driversDir + L"\\PELLIMAR64x86.SYS").c_str(), L"2");
    SetString(HKEY_LOCAL_MACHINE, kSharedDlls, (w.makerDir + L"\\PELLIMAR64x86.SYS").c_str(), L"3");
    InstallerRun second = RunCase(L"/Q /NOREGQZ PRODUCTB");
    SetWindowsVersion(L"");
    EXPECT_EQ("4", MainCount());
    EXPECT_EQ("4", MakerCount());
    EXPECT_TRUE(second.Has("  Old RefCount: Norvatek\\PELLIMAR64x86.SYS: 3"));
    EXPECT_TRUE(second.Has("  New RefCount: Norvatek\\PELLIMAR64x86.SYS: 4"));
}

TEST_F(Install, ADriverInUseIsReplacedAtTheNextRestart)
{
    Locations w = Where();
    RunCase(L"/Q /NOREGQZ PRODUCTA");
    std::wstring driver = w.driversDir + L"\\PELLIMAR64x86.SYS";
    ASSERT_TRUE(WriteFileBytes(driver, "an older driver that is loaded"));
    InstallerRun run;
    {
        Holder held(L"holdfile.exe", L"\"" + driver + L"\" {EVENT}");
        ASSERT_TRUE(held.Ready());
        run = RunCase(L"/HRESULT /NOREGQZ PRODUCTB");
    }
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(0x80070BC2u, run.process.exitCode);
    EXPECT_EQ(L"Pellimar has been successfully updated.  You must restart your machine to complete the installation.",
              run.box);
    std::wstring temporary = w.driversDir + L"\\PELLIMAR64x86.SY1";
    EXPECT_EQ(Payload(L"PELLIMAR64x86.SYS"), ReadFileBytes(temporary));
    EXPECT_TRUE(run.Has("  Marked for rename on reboot: " + Narrow(temporary) + " -> " + Narrow(driver)));
    EXPECT_EQ("an older driver that is loaded", ReadFileBytes(driver));
    std::vector<std::wstring> pending = PendingRenameStrings();
    size_t ours = 0;
    while (ours + 1 < pending.size() && pending[ours].find(L"PELLIMAR64x86.SY1") == std::wstring::npos)
        ours += 2;
    ASSERT_LT(ours + 1, pending.size()) << DumpState();
    EXPECT_NE(std::wstring::npos, pending[ours + 1].find(L"PELLIMAR64x86.SYS"));

    ASSERT_TRUE(Restart());
    EXPECT_EQ(Payload(L"PELLIMAR64x86.SYS"), ReadFileBytes(driver));
    EXPECT_FALSE(FileExists(temporary));
    for (const std::wstring& entry : PendingRenameStrings())
        EXPECT_EQ(std::wstring::npos, entry.find(L"PELLIMAR64x86")) << Narrow(entry);
}

TEST_F(Install, AnEarlierScheduledDeletionOfTheDriverIsWithdrawnForeignEntriesStay)
{
    Locations w = Where();
    RunCase(L"/Q /NOREGQZ PRODUCTA");
    std::wstring driver = w.driversDir + L"\\PELLIMAR64x86.SYS";
    std::vector<std::wstring> foreign1 = {L"\\??\\C:\\foreign\\a.tmp", L""};
    std::vector<std::wstring> foreign2 = {L"\\??\\C:\\foreign\\b.old", L"!\\??\\C:\\foreign\\b.new"};
    std::vector<std::wstring> entries = foreign1;
    entries.push_back(L"\\??\\" + ShortPath(driver));
    entries.push_back(L"");
    entries.insert(entries.end(), foreign2.begin(), foreign2.end());
    SetPendingRenames(entries);

    InstallerRun run = RunCase(L"/Q /NOREGQZ PRODUCTB");
    EXPECT_EQ(0u, run.process.exitCode);
    EXPECT_TRUE(run.Has("  *Unmarking file from deletion: \\??\\" + Narrow(ShortPath(driver))));
    std::vector<std::wstring> expected = foreign1;
    expected.insert(expected.end(), foreign2.begin(), foreign2.end());
    EXPECT_EQ(expected, PendingRenameStrings());
}

TEST_F(Install, AServiceMarkedForDeletionIsRepairedAndARestartRequested)
{
    RunCase(L"/Q /NOREGQZ PRODUCTA");
    InstallerRun run;
    {
        Holder held(L"svcholder.exe", L"");
        ASSERT_TRUE(held.Ready());
        SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = OpenServiceW(scm, L"Pellimar", SERVICE_ALL_ACCESS);
        ASSERT_TRUE(DeleteService(service));
        CloseServiceHandle(service);
        CloseServiceHandle(scm);
        run = RunCase(L"/Q /NOREGQZ PRODUCTB");
        // Read while the holder still has its handle: Wine drops the key of a deleted service once the
        // last handle closes, repaired or not (Windows keeps the repaired one).
        EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kServiceKey, L"DeleteFlag"));
        EXPECT_EQ(0u, ServiceValue(L"ImagePath").find(L"\\??\\"));
        EXPECT_EQ(3u, GetDword(HKEY_LOCAL_MACHINE, kServiceKey, L"Start"));
    }
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(1u, run.process.exitCode);
    EXPECT_TRUE(run.Has("    Pellimar:service is marked for deletion.  Manually setting regkeys and unmarking it from deletion."));
    EXPECT_TRUE(run.Has("    Pellimar:Removed DeleteFlag and set Start to 3"));
    EXPECT_TRUE(run.Has("    Pellimar:Manually set ErrorControl, Type, and ImagePath values."));
    EXPECT_TRUE(run.Has("  Due to the driver service being marked for deletion, a reboot is required before the new driver can be used."));
}

TEST_F(Install, ANewerInstalledDriverIsKeptUnlessForced)
{
    Locations w = Where();
    RunCase(L"/Q /NOREGQZ PRODUCTA");
    std::wstring driver = w.driversDir + L"\\PELLIMAR64x86.SYS";
    std::string newer = ReadFileBytes(BinDir() + L"\\testdata\\driver-99.0.0.0\\PELLIMAR64x86.SYS");
    ASSERT_FALSE(newer.empty());
    ASSERT_TRUE(WriteFileBytes(driver, newer));
    DeleteFileW((w.manifestsDir + L"\\PELLMAR.KVM").c_str());

    InstallerRun run = RunCase(L"/Q /NOREGQZ PRODUCTB");
    EXPECT_EQ(1u, CopiedFiles(run).size());   // the installer only
    EXPECT_EQ(newer, ReadFileBytes(driver));
    EXPECT_FALSE(FileExists(w.manifestsDir + L"\\PELLMAR.KVM"));
    EXPECT_EQ("2", MainCount());

    InstallerRun forced = RunCase(L"/Q /NOREGQZ /FORCEUPDATE");
    EXPECT_EQ(0u, forced.process.exitCode);
    EXPECT_EQ(Payload(L"PELLIMAR64x86.SYS"), ReadFileBytes(driver));
    EXPECT_TRUE(FileExists(w.manifestsDir + L"\\PELLMAR.KVM"));
    EXPECT_EQ("2", MainCount());
}

TEST_F(Install, AReadOnlyDestinationIsMadeWritableAndOverwritten)
{
    Locations w = Where();
    RunCase(L"/Q /NOREGQZ PRODUCTA");
    std::wstring inf = w.driversDir + L"\\PELLIMAR64x86.INF";
    ASSERT_TRUE(WriteFileBytes(inf, "stale"));
    SetFileAttributesW(inf.c_str(), FILE_ATTRIBUTE_READONLY);
    InstallerRun run = RunCase(L"/Q /NOREGQZ PRODUCTB");
    EXPECT_EQ(0u, run.process.exitCode);
    EXPECT_EQ(Payload(L"PELLIMAR64x86.INF"), ReadFileBytes(inf));
    EXPECT_FALSE(GetFileAttributesW(inf.c_str()) & FILE_ATTRIBUTE_READONLY);
}
