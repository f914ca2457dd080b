// File faults through the real installer: read-only destinations, files held open by another process,
// the log file held open without sharing. Every case checks the exit code, the log and that what
// belongs to others is still there.
#include "debug_output.h"
#include "faults.h"

using namespace harness;

namespace
{
std::string Payload(const wchar_t* name)
{
    return ReadFileBytes(BinDir() + L"\\payload\\" + name);
}

struct Destination
{
    std::wstring path;
    std::string content;   // what an install puts there
};

// Every file an install puts in place on Vista and later.
std::vector<Destination> Destinations()
{
    Locations w = Where();
    std::vector<Destination> d;
    for (const wchar_t* name : {L"PELLIMAR64x86.SYS", L"PELLIMAR64x86.INF", L"PELLIMAR64x86.CAT"})
        d.push_back({w.driversDir + L"\\" + name, Payload(name)});
    for (const wchar_t* name : {L"PELLMAR.KVM", L"PELLMAR.GRD", L"PELLMAR.SIG"})
        d.push_back({w.manifestsDir + L"\\" + name, Payload(name)});
    d.push_back({w.sharedDir + L"\\TOVRAND64x86.EXE", ReadFileBytes(InstallerPath())});
    return d;
}

bool IsReadOnly(const std::wstring& path)
{
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) != 0;
}

std::wstring Upper(std::wstring s)
{
    for (wchar_t& c : s)
        c = static_cast<wchar_t>(towupper(c));
    return s;
}

// Entries of the pending-rename list that name one of paths (long or short form, any case).
std::vector<std::wstring> PendingNaming(const std::vector<std::wstring>& paths)
{
    std::vector<std::wstring> found;
    for (const std::wstring& e : PendingRenameStrings())
    {
        for (const std::wstring& p : paths)
        {
            if (!p.empty() && Upper(e).find(Upper(p)) != std::wstring::npos)
            {
                found.push_back(e);
                break;
            }
        }
    }
    return found;
}

// The pending-rename list without the foreign pairs.
std::vector<std::wstring> OurPending()
{
    std::vector<std::wstring> entries = PendingRenameStrings();
    std::vector<std::wstring> ours;
    for (size_t i = 0; i + 1 < entries.size(); i += 2)
    {
        if (Upper(entries[i]).find(L"\\TOVRANDFOREIGN\\") == std::wstring::npos)
        {
            ours.push_back(entries[i]);
            ours.push_back(entries[i + 1]);
        }
    }
    return ours;
}
}  // namespace

class FaultFiles : public FaultTest
{
};

TEST_F(FaultFiles, ReadOnlyDestinationsAreMadeWritableAndOverwritten)
{
    ASSERT_NO_FATAL_FAILURE(PlaceBystanders(true));
    std::vector<Destination> targets = Destinations();
    for (const Destination& t : targets)
    {
        ASSERT_TRUE(WriteFileBytes(t.path, "stale")) << Narrow(t.path);
        ASSERT_TRUE(SetFileAttributesW(t.path.c_str(), FILE_ATTRIBUTE_READONLY)) << Narrow(t.path);
    }
    InstallerRun run = Run(L"/Q /NOREGQZ PRODUCTA");
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(0u, run.process.exitCode);
    EXPECT_TRUE(run.Has("Returning: 0 - Success, no reboot required."));
    for (const Destination& t : targets)
    {
        EXPECT_TRUE(t.content == ReadFileBytes(t.path)) << Narrow(t.path) << " was not overwritten";
        EXPECT_FALSE(IsReadOnly(t.path)) << Narrow(t.path);
        EXPECT_TRUE(run.Has("  File installed successfully: " + Narrow(t.path))) << Narrow(t.path);
    }
    EXPECT_EQ("2", MainCount());
    EXPECT_TRUE(OurPending().empty()) << DumpState();
    ExpectBystandersUntouched("read-only destinations");
}

// The installed files of the uninstalled product are the installer's own: a read-only attribute on
// them must not leave them behind, and the restart cannot delete a read-only file either.
TEST_F(FaultFiles, ReadOnlyFilesGoWithTheLastProductAndStayForTheOthers)
{
    struct Case { bool otherProduct; };
    for (const Case& c : {Case{false}, Case{true}})
    {
        std::string name = c.otherProduct ? "another product remains" : "last product";
        CleanMachine();
        ASSERT_NO_FATAL_FAILURE(PlaceBystanders(c.otherProduct));
        ASSERT_EQ(0u, Run(L"/Q /NOREGQZ PRODUCTA").process.exitCode);
        SetString(HKEY_LOCAL_MACHINE, kInstalledApps, L"PRODUCTA", L"Product A");
        std::vector<Destination> files = Destinations();
        std::vector<std::wstring> names;
        for (const Destination& f : files)
        {
            ASSERT_TRUE(SetFileAttributesW(f.path.c_str(), FILE_ATTRIBUTE_READONLY)) << Narrow(f.path);
            names.push_back(f.path);
            names.push_back(ShortPath(f.path));
        }
        Locations w = Where();
        names.push_back(ShortPath(w.sharedDir));

        ScratchDir setup;
        InstallerRun run = Run(L"/U /Q /NOREGQZ PRODUCTA", OwnInstallerCopy(setup));
        ASSERT_TRUE(run.process.finished) << name;
        EXPECT_EQ(0u, run.process.exitCode) << name;
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\PRODUCTA")) << name;
        if (c.otherProduct)
        {
            EXPECT_EQ("1", MainCount()) << name;
            for (const Destination& f : files)
            {
                EXPECT_TRUE(f.content == ReadFileBytes(f.path)) << name << ": " << Narrow(f.path);
                EXPECT_TRUE(IsReadOnly(f.path)) << name << ": " << Narrow(f.path);
            }
            ExpectBystandersUntouched(name);
        }
        else
        {
            EXPECT_EQ("", MainCount()) << name;
            for (const Destination& f : files)
                EXPECT_FALSE(FileExists(f.path)) << name << ": " << Narrow(f.path) << " left behind";
            EXPECT_FALSE(DirExists(w.manifestsDir)) << name;
            EXPECT_FALSE(DirExists(w.sharedDir)) << name;
            EXPECT_FALSE(ServiceExists()) << name;
            EXPECT_FALSE(run.Has("  Deleting " + Narrow(w.driversDir) + "\\PELLIMAR64x86.INF...File in use.  Leaving it alone."));
            // Nothing of ours is left for a restart that could not delete a read-only file anyway.
            EXPECT_TRUE(PendingNaming(names).empty()) << DumpState();
            ExpectBystandersUntouched(name, false);
        }
    }
}

TEST_F(FaultFiles, ADriverAndInstallerCopyInUseAreReplacedAtTheNextRestart)
{
    ASSERT_NO_FATAL_FAILURE(PlaceBystanders(true));
    Locations w = Where();
    std::wstring driver = w.driversDir + L"\\PELLIMAR64x86.SYS";
    std::wstring copy = w.sharedDir + L"\\TOVRAND64x86.EXE";
    ASSERT_TRUE(WriteFileBytes(driver, "the loaded driver"));
    ASSERT_TRUE(WriteFileBytes(copy, "the running installer copy"));
    InstallerRun run;
    {
        Holder heldDriver(L"holdfile.exe", L"\"" + driver + L"\" {EVENT}");
        Holder heldCopy(L"holdfile.exe", L"\"" + copy + L"\" {EVENT}");
        ASSERT_TRUE(heldDriver.Ready() && heldCopy.Ready());
        run = Run(L"/Q /NOREGQZ PRODUCTA");
    }
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(1u, run.process.exitCode);
    EXPECT_TRUE(run.Has("Returning: RETURN_REBOOT_REQUIRED (0x1)"));
    std::wstring driverTemp = w.driversDir + L"\\PELLIMAR64x86.SY1";
    std::wstring copyTemp = w.sharedDir + L"\\TOVRAND64x86.EX1";
    EXPECT_TRUE(run.Has("  Marked for rename on reboot: " + Narrow(driverTemp) + " -> " + Narrow(driver)));
    EXPECT_TRUE(run.Has("  Marked for rename on reboot: " + Narrow(copyTemp) + " -> " + Narrow(copy)));
    EXPECT_TRUE(Payload(L"PELLIMAR64x86.SYS") == ReadFileBytes(driverTemp));
    EXPECT_TRUE(ReadFileBytes(InstallerPath()) == ReadFileBytes(copyTemp));
    EXPECT_EQ("the loaded driver", ReadFileBytes(driver));
    std::vector<std::wstring> expected = {L"\\??\\" + copyTemp, L"!\\??\\" + copy, L"\\??\\" + driverTemp,
                                          L"!\\??\\" + driver};
    EXPECT_EQ(expected, OurPending());
    EXPECT_EQ("2", MainCount());
    EXPECT_EQ(1u, GetDword(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\PRODUCTA", L"Dir1"));
    ExpectBystandersUntouched("files in use");

    if (!IsWine())
        return;   // a real restart is not for a test run; Wine carries the list out with wineboot -r
    ASSERT_TRUE(Restart());
    EXPECT_TRUE(Payload(L"PELLIMAR64x86.SYS") == ReadFileBytes(driver));
    EXPECT_TRUE(ReadFileBytes(InstallerPath()) == ReadFileBytes(copy));
    EXPECT_FALSE(FileExists(driverTemp));
    EXPECT_FALSE(FileExists(copyTemp));
    EXPECT_TRUE(PendingRenameStrings().empty());
    ExpectForeignRenamesCarriedOut();
}

TEST_F(FaultFiles, ADriverAndInstallerCopyInUseAreDeletedAtTheNextRestartUnderTheirShortPaths)
{
    ASSERT_NO_FATAL_FAILURE(PlaceBystanders(false));
    ASSERT_EQ(0u, Run(L"/Q /NOREGQZ PRODUCTA").process.exitCode);
    Locations w = Where();
    std::wstring driver = w.driversDir + L"\\PELLIMAR64x86.SYS";
    std::wstring copy = w.sharedDir + L"\\TOVRAND64x86.EXE";
    std::wstring driverShort = ShortPath(driver);
    std::wstring copyShort = ShortPath(copy);
    std::wstring folderShort = ShortPath(w.sharedDir);
    ASSERT_FALSE(driverShort.empty() || copyShort.empty() || folderShort.empty());
    ASSERT_NE(Upper(copyShort), Upper(copy)) << "the shared folder has no distinct short form";

    InstallerRun run;
    {
        Holder heldDriver(L"holdfile.exe", L"\"" + driver + L"\" {EVENT}");
        Holder heldCopy(L"holdfile.exe", L"\"" + copy + L"\" {EVENT}");
        ASSERT_TRUE(heldDriver.Ready() && heldCopy.Ready());
        ScratchDir setup;
        run = Run(L"/U /Q /NOREGQZ /NOREGAPPID PRODUCTA", OwnInstallerCopy(setup));
    }
    ASSERT_TRUE(run.process.finished);
    // Deletions left for the restart do not make the uninstall ask for one.
    EXPECT_EQ(0u, run.process.exitCode);
    EXPECT_TRUE(run.Has("  " + Narrow(driverShort) + " marked for deletion on reboot."));
    EXPECT_TRUE(run.Has("  " + Narrow(copyShort) + " marked for deletion on reboot."));
    EXPECT_TRUE(IsScheduledForDeletion(driverShort)) << DumpState();
    EXPECT_TRUE(IsScheduledForDeletion(copyShort)) << DumpState();
    EXPECT_TRUE(IsScheduledForDeletion(folderShort)) << DumpState();
    EXPECT_LT(ScheduledDeletionIndex(driverShort), ScheduledDeletionIndex(copyShort));
    EXPECT_LT(ScheduledDeletionIndex(copyShort), ScheduledDeletionIndex(folderShort));
    EXPECT_FALSE(IsScheduledForDeletion(driver));
    EXPECT_FALSE(IsScheduledForDeletion(copy));
    EXPECT_TRUE(FileExists(driver));
    EXPECT_TRUE(FileExists(copy));
    EXPECT_FALSE(ServiceExists());
    EXPECT_EQ("", MainCount());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kPellimarKey));
    ExpectBystandersUntouched("files in use at uninstall", false);

    if (!IsWine())
        return;   // a real restart is not for a test run; Wine carries the list out with wineboot -r
    ASSERT_TRUE(Restart());
    EXPECT_FALSE(FileExists(driver));
    EXPECT_FALSE(FileExists(copy));
    EXPECT_FALSE(DirExists(w.sharedDir));
    ExpectForeignRenamesCarriedOut();
}

// The log is opened anew for every line, with every sharing mode; a program that holds it without
// sharing turns each line into debugger output. The run itself must not notice.
TEST_F(FaultFiles, TheLogFileHeldWithoutSharingChangesNothingButWhereTheLinesGo)
{
    ASSERT_NO_FATAL_FAILURE(PlaceBystanders(true));
    ASSERT_EQ(0u, Run(L"/Q /NOREGQZ PRODUCTC").process.exitCode);
    SetString(HKEY_LOCAL_MACHINE, kInstalledApps, L"PRODUCTC", L"Product C");
    struct Case { const wchar_t* args; const char* count; std::vector<std::string> lines; };
    const Case cases[] = {
        {L"/Q /NOREGQZ PRODUCTA", "3",
         {"CommandLine=/Q /NOREGQZ PRODUCTA", "  Old RefCount: System32\\Drivers\\PELLIMAR64x86.SYS: 2",
          "  New RefCount: System32\\Drivers\\PELLIMAR64x86.SYS: 3", "Returning: 0 - Success, no reboot required."}},
        {L"/U /Q /NOREGQZ PRODUCTC", "2",
         {"CommandLine=/U /Q /NOREGQZ PRODUCTC", "  Old RefCount: System32\\Drivers\\PELLIMAR64x86.SYS: 3",
          "  New RefCount: System32\\Drivers\\PELLIMAR64x86.SYS: 2", "Returning: 0 - Success, no reboot required."}},
    };
    for (const Case& c : cases)
    {
        ScratchDir temp;
        std::wstring log = temp.File(L"PELLIMAR.LOG");
        const std::string earlier = "[01/01/11 00:00:00][PID:1] an earlier run\r\n";
        ASSERT_TRUE(WriteFileBytes(log, earlier));
        DebuggedRun run;
        {
            Holder held(L"holdfile.exe", L"\"" + log + L"\" {EVENT}");
            ASSERT_TRUE(held.Ready());
            run = RunCapturingDebugOutput(L"\"" + InstallerPath() + L"\" " + c.args, temp.Path());
        }
        ASSERT_TRUE(run.process.finished) << Narrow(c.args);
        EXPECT_EQ(0u, run.process.exitCode) << Narrow(c.args);
        EXPECT_EQ(earlier, ReadFileBytes(log)) << Narrow(c.args);
        EXPECT_EQ(c.count, MainCount()) << Narrow(c.args);
        // Each line goes to the debugger whole, without its header, with its line end.
        size_t at = 0;
        for (const std::string& line : c.lines)
        {
            while (at < run.output.size() && run.output[at] != line + "\n")
                ++at;
            EXPECT_LT(at, run.output.size()) << Narrow(c.args) << ": '" << line << "' not in the debugger output";
        }
        ExpectBystandersUntouched(Narrow(c.args));
    }
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\PRODUCTA"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\PRODUCTC"));
}
