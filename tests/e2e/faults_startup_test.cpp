// Start-up faults through the real installer: a maker directory that cannot be created, a payload
// file that cannot be written. A run that cannot install must say so in its exit code and leave the
// machine, another product included, as it was; an uninstall does not need either.
#include "faults.h"

using namespace harness;

class FaultStartup : public FaultTest
{
};

// A file named "Norvatek" where the maker's directory belongs: there is nowhere to write the payload,
// so nothing can be installed. The run must say so in its exit code and leave the machine as it was.
TEST_F(FaultStartup, AMakerDirectoryThatCannotBeCreatedEndsTheInstallWithAnErrorAndChangesNothing)
{
    struct Case
    {
        bool otherProduct;
        const wchar_t* args;
        DWORD exitCode;
        const char* lastLine;
    };
    const Case cases[] = {
        {false, L"/Q PRODUCTA", 82, "Returning: Error (0x52)"},
        {true, L"/Q PRODUCTA", 82, "Returning: Error (0x52)"},
        {true, L"/Q /HRESULT PRODUCTA", 0x80004005, "Returning: E_FAIL (0x80004005)"},
        {true, L"/Q", 82, "Returning: Error (0x52)"},   // update only: the driver is there, no update possible
        {true, L"PRODUCTA", 82, "Returning: Error (0x52)"},
    };
    for (const Case& c : cases)
    {
        std::string name = Narrow(c.args) + (c.otherProduct ? " (other product installed)" : " (clean machine)");
        CleanMachine();
        ASSERT_NO_FATAL_FAILURE(PlaceBystanders(c.otherProduct));
        Locations w = Where();
        RemoveTree(w.makerDir);
        ASSERT_TRUE(WriteFileBytes(w.makerDir, "not a directory")) << name;
        std::string before = DumpState();

        InstallerRun run = Run(c.args);
        ASSERT_TRUE(run.process.finished) << name;
        EXPECT_EQ(c.exitCode, run.process.exitCode) << name;
        int cannot = run.Find("Cannot create Norvatek directory");
        EXPECT_GE(cannot, 0) << name;
        EXPECT_LT(cannot, run.Find("  Error - No Norvatek directory, nothing can be installed.")) << name;
        ASSERT_FALSE(run.messages.empty()) << name;
        EXPECT_EQ(c.lastLine, run.messages.back()) << name;
        EXPECT_EQ(std::vector<std::string>{"WM_CREATE"}, Chain(run.messages)) << name;
        EXPECT_EQ(0, run.boxes) << name;
        EXPECT_EQ(before, DumpState()) << name;
        EXPECT_EQ("not a directory", ReadFileBytes(w.makerDir)) << name;
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\PRODUCTA")) << name;
        if (c.otherProduct)
            ExpectBystandersUntouched(name);
        else
            EXPECT_FALSE(DirExists(w.sharedDir)) << name;
    }
}

// A payload file that cannot be written at start-up (left read-only, or held by another program) ends
// the run before anything is installed: with an error, not with the 0 of a refused command line.
TEST_F(FaultStartup, APayloadFileThatCannotBeWrittenEndsTheRunWithAnError)
{
    ASSERT_NO_FATAL_FAILURE(PlaceBystanders(true));
    Locations w = Where();
    const std::wstring blocked = w.tempDir + L"\\PELLIMAR64x86.SYS";
    struct Case
    {
        const char* name;
        bool held;
        const wchar_t* args;
        DWORD exitCode;
        const char* error;
        const char* lastLine;
    };
    const Case cases[] = {
        {"read-only", false, L"/Q /NOREGQZ PRODUCTA", 82, "   Error - CreateFile failed with code 0x00000005",
         "Returning: Error (0x52)"},
        {"held", true, L"/Q /NOREGQZ /HRESULT PRODUCTA", 0x80004005,
         "   Error - CreateFile failed with code 0x00000020", "Returning: E_FAIL (0x80004005)"},
    };
    for (const Case& c : cases)
    {
        // Wine's CreateFileW replaces a read-only file as it does any other (measured); Windows refuses.
        if (!c.held && IsWine())
            continue;
        CreateDirectoryW(w.tempDir.c_str(), nullptr);
        ASSERT_TRUE(WriteFileBytes(blocked, "left over")) << c.name;
        if (!c.held)
            ASSERT_TRUE(SetFileAttributesW(blocked.c_str(), FILE_ATTRIBUTE_READONLY)) << c.name;
        const std::string before = DumpState();
        InstallerRun run;
        if (c.held)
        {
            Holder held(L"holdfile.exe", L"\"" + blocked + L"\" {EVENT}");
            ASSERT_TRUE(held.Ready()) << c.name;
            run = Run(c.args);
        }
        else
        {
            run = Run(c.args);
        }
        ASSERT_TRUE(run.process.finished) << c.name;
        EXPECT_EQ(c.exitCode, run.process.exitCode) << c.name;
        int error = run.Find(c.error);
        EXPECT_GE(error, 0) << c.name;
        EXPECT_EQ(error + 1, run.Find("ExtractFiles() failed")) << c.name;
        EXPECT_EQ(error + 2, run.Find("Tovrand GlobalInfo::Init() failed")) << c.name;
        ASSERT_FALSE(run.messages.empty()) << c.name;
        EXPECT_EQ(c.lastLine, run.messages.back()) << c.name;
        EXPECT_TRUE(Chain(run.messages).empty()) << c.name;
        EXPECT_EQ(before, DumpState()) << c.name;
        EXPECT_TRUE("left over" == ReadFileBytes(blocked)) << c.name;
        ExpectBystandersUntouched(c.name);
        SetFileAttributesW(blocked.c_str(), FILE_ATTRIBUTE_NORMAL);
        RemoveTree(w.tempDir);
    }
}

// The uninstall needs no maker directory on Vista and later: it goes through, and the file that stands
// in the directory's place is somebody else's.
TEST_F(FaultStartup, AnUninstallGoesThroughWithoutAMakerDirectory)
{
    ASSERT_NO_FATAL_FAILURE(PlaceBystanders(true));
    ASSERT_EQ(0u, Run(L"/Q /NOREGQZ PRODUCTA").process.exitCode);
    Locations w = Where();
    RemoveTree(w.makerDir);
    ASSERT_TRUE(WriteFileBytes(w.makerDir, "not a directory"));
    SetString(HKEY_LOCAL_MACHINE, kInstalledApps, L"PRODUCTA", L"Product A");

    InstallerRun one = Run(L"/U /Q /NOREGQZ PRODUCTA");
    ASSERT_TRUE(one.process.finished);
    EXPECT_EQ(0u, one.process.exitCode);
    EXPECT_TRUE(one.Has("Cannot create Norvatek directory"));
    EXPECT_EQ("1", MainCount());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kPellimarKey) + L"\\PRODUCTA"));
    ExpectBystandersUntouched("one of two");

    ScratchDir setup;
    InstallerRun last = Run(L"/U /Q /NOREGQZ PRODUCTB", OwnInstallerCopy(setup));
    ASSERT_TRUE(last.process.finished);
    EXPECT_EQ(0u, last.process.exitCode);
    EXPECT_EQ("", MainCount());
    EXPECT_FALSE(FileExists(w.driversDir + L"\\PELLIMAR64x86.SYS"));
    EXPECT_FALSE(ServiceExists());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kPellimarKey));
    EXPECT_FALSE(DirExists(w.sharedDir));
    EXPECT_EQ("not a directory", ReadFileBytes(w.makerDir));
    ExpectBystandersUntouched("last product", false);
}
