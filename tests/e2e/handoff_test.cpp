// Hand-off to a newer copy of the installer in the shared folder, and the old-copy restart rule.
#include "e2e.h"

using namespace harness;

namespace
{
std::wstring Variant(const std::wstring& name)
{
    return BinDir() + L"\\variants\\" + name + L"\\TOVRAND64x86.EXE";
}

std::wstring PlaceInSharedFolder(const std::wstring& name)
{
    Locations w = Where();
    CreateDirectoryW(w.sharedDir.c_str(), nullptr);
    std::wstring target = w.sharedDir + L"\\TOVRAND64x86.EXE";
    EXPECT_TRUE(CopyFileW(Variant(name).c_str(), target.c_str(), FALSE)) << Narrow(name);
    return target;
}

std::string PidOf(const std::string& line)
{
    size_t at = line.find("[PID:");
    return at == std::string::npos ? "" : line.substr(at + 5, line.find(']', at) - at - 5);
}
}  // namespace

class Handoff : public MachineTest
{
};

TEST_F(Handoff, ANewerCopyServesTheWholeRequest)
{
    for (const wchar_t* version : {L"12.9.0.23", L"13.0.0.0"})
    {
        CleanMachine();
        std::wstring copy = PlaceInSharedFolder(version);
        InstallerRun run = RunCase(L"/Q /NOREGQZ PRODUCTA");
        ASSERT_TRUE(run.process.finished);
        EXPECT_EQ(0u, run.process.exitCode);
        std::string installed = Narrow(std::wstring(L"Installed:") + version) + "  This: 12.9.0.22";
        int at = run.Find(installed);
        ASSERT_GE(at, 0) << Narrow(version);
        std::string ourPid = PidOf(run.log[at]);
        EXPECT_EQ(at + 1, run.Find("  Installed version is newer."));
        EXPECT_EQ(at + 2, run.Find("CommandLine from lpCmdLine       : /Q /NOREGQZ PRODUCTA"));
        EXPECT_EQ(at + 3, run.Find("Full built CmdLine passed over   : \"" + Narrow(copy) + "\" /Q /NOREGQZ PRODUCTA"));
        // No lock was taken by the first process; the copy did the install with its own version.
        for (const std::string& line : run.log)
            if (MessageOf(line).compare(0, 9, "Acquiring") == 0)
                EXPECT_NE(ourPid, PidOf(line));
        EXPECT_TRUE(run.Has("Compiled Version " + Narrow(version)));
        EXPECT_TRUE(run.Has("Newer Tovrand returned 0.  Returning the same."));
        EXPECT_EQ("1", MainCount());
    }
}

TEST_F(Handoff, TheNewerCopysExitCodeComesBackUnchanged)
{
    struct Case { const wchar_t* variant; const wchar_t* args; DWORD expected; };
    const Case cases[] = {
        {L"stub", L"/Q /HRESULT PRODUCTA EXIT=80070BC2", 0x80070BC2},
        {L"stub", L"/Q PRODUCTA EXIT=2A", 0x2A},
        {L"unstartable", L"/Q PRODUCTA", 99},
    };
    for (const Case& c : cases)
    {
        CleanMachine();
        PlaceInSharedFolder(c.variant);
        InstallerRun run = RunCase(c.args);
        ASSERT_TRUE(run.process.finished);
        EXPECT_EQ(c.expected, run.process.exitCode) << Narrow(c.args);
        EXPECT_TRUE(run.Has("Newer Tovrand returned " + std::to_string(static_cast<int>(c.expected)) +
                            ".  Returning the same."))
            << Narrow(c.args);
        EXPECT_FALSE(run.Has("Returning: 0 - Success, no reboot required."));
    }
}

TEST_F(Handoff, AnEqualOrOlderCopyDoesNotTakeOver)
{
    for (const wchar_t* version : {L"12.8.0.12", L"12.8.0.11"})
    {
        CleanMachine();
        PlaceInSharedFolder(version);
        InstallerRun run = RunCase(L"/Q /NOREGQZ PRODUCTA");
        ASSERT_TRUE(run.process.finished);
        EXPECT_TRUE(run.Has(Narrow(std::wstring(L"Installed:") + version) + "  This: 12.9.0.22"));
        EXPECT_TRUE(run.Has("Installed Version (if any) is not newer."));
        EXPECT_TRUE(run.Has("  Installed version isn't newer after waiting on the mutex."));
        EXPECT_FALSE(run.Has("  Installed version is newer."));
    }
    CleanMachine();
    PlaceInSharedFolder(L"..");   // the build's own installer: 12.9.0.22, equal
    InstallerRun run = RunCase(L"/Q /NOREGQZ PRODUCTA");
    EXPECT_TRUE(run.Has("Installed:12.9.0.22  This: 12.9.0.22"));
    EXPECT_FALSE(run.Has("  Installed version is newer."));
}

TEST_F(Handoff, AnOldCopyBefore12_8_0_12AsksForARestart)
{
    struct Case { const wchar_t* version; const wchar_t* args; DWORD exitCode; bool line; };
    const Case cases[] = {
        {L"12.8.0.11", L"/Q /NOREGQZ PRODUCTA", 1, true},
        {L"12.8.0.11", L"/Q /NOREGQZ /HRESULT PRODUCTA", 0x80070BC2, true},
        {L"12.8.0.12", L"/Q /NOREGQZ PRODUCTA", 0, false},
    };
    for (const Case& c : cases)
    {
        CleanMachine();
        PlaceInSharedFolder(c.version);
        InstallerRun run = RunCase(c.args);
        ASSERT_TRUE(run.process.finished);
        EXPECT_EQ(c.exitCode, run.process.exitCode) << Narrow(c.version) << " " << Narrow(c.args);
        EXPECT_EQ(c.line, run.Has("  Installed TOVRAND64x86.EXE is less than 12.8.0.12.  Setting reboot flag."));
    }
}

TEST_F(Handoff, ACopyThatArrivesWhileWaitingForTheLockTakesOverAfterIt)
{
    HANDLE mutex = CreateMutexW(nullptr, TRUE, L"Global\\Pellimar_running");
    ASSERT_NE(nullptr, mutex);
    ScratchDir temp;
    HANDLE process = Start(L"\"" + InstallerPath() + L"\" /Q /NOREGQZ PRODUCTA", temp.Path());
    ASSERT_NE(nullptr, process);
    Sleep(1500);   // well inside the first run's 5000 ms wait
    PlaceInSharedFolder(L"12.9.0.23");
    Process p = Wait(process);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    ASSERT_TRUE(p.finished);
    EXPECT_EQ(0u, p.exitCode);
    std::vector<std::string> log = ReadLog(temp.Path());
    int notNewer = FindLine(log, "Installed Version (if any) is not newer.");
    int newer = FindLine(log, "  Installed version is newer after waiting on the mutex.");
    ASSERT_GE(notNewer, 0);
    EXPECT_GT(newer, notNewer);
    EXPECT_GE(FindLine(log, "Compiled Version 12.9.0.23"), newer);
}
