// Installer runs that meet each other or another program at the same moment: two setups at once (the
// lock makes one wait, no count update is lost), a run held by its closing box, a newer copy that
// arrives while a run waits for the lock, and a program that schedules a rename while a run rewrites
// the pending list.
#include "rows.h"

using namespace harness;

namespace
{
std::string PidOf(const std::string& line)
{
    size_t at = line.find("[PID:");
    return at == std::string::npos ? "" : line.substr(at + 5, line.find(']', at) - at - 5);
}

// Where a run's chain begins and ends in the shared log.
std::pair<int, int> SpanOf(const std::vector<std::string>& lines, DWORD pid)
{
    std::pair<int, int> span(-1, -1);
    for (int i = 0; i < static_cast<int>(lines.size()); ++i)
    {
        if (PidOf(lines[i]) != std::to_string(pid))
            continue;
        if (MessageOf(lines[i]) == "BEGIN - WM_CREATE" && span.first < 0)
            span.first = i;
        if (MessageOf(lines[i]) == "END - IDM_ALLDONE")
            span.second = i;
    }
    return span;
}

class Concurrency : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CleanMachine();
        PlaceBystanders();
        baseline = PendingStrings();
        for (const wchar_t* p : {L"PRODUCTA", L"PRODUCTB", L"PRODUCTC"})
            WriteRaw(kInstalledApps, p, Sz(p));
    }
    void TearDown() override { CleanMachine(); }

    std::wstring Copy(const ScratchDir& dir)
    {
        std::wstring copy = dir.File(L"TOVRAND64x86.EXE");
        CopyFileW(InstallerPath().c_str(), copy.c_str(), FALSE);
        return copy;
    }

    // Both runs started together with one TEMP: both succeed, and one's chain ends before the other's begins.
    std::vector<std::string> Together(const std::wstring& a, const std::wstring& b, bool* aFirst = nullptr)
    {
        HANDLE first = Start(a, temp.Path());
        HANDLE second = Start(b, temp.Path());
        Process pa = Wait(first), pb = Wait(second);
        WaitForInstallers(40000);
        EXPECT_TRUE(pa.finished && pb.finished && pa.exitCode == 0 && pb.exitCode == 0);
        std::vector<std::string> lines = ReadLog(temp.Path());
        auto sa = SpanOf(lines, pa.pid), sb = SpanOf(lines, pb.pid);
        EXPECT_TRUE(sa.first >= 0 && sb.first >= 0 && (sa.second < sb.first || sb.second < sa.first))
            << "the runs' steps interleave";
        if (aFirst != nullptr)
            *aFirst = sa.first < sb.first;
        return lines;
    }

    void ExpectMachine(const std::string& spec)
    {
        Locations w = Where();
        State expected = Expected(w, spec + "; sharedusage=*", false, false), found = Describe(w, baseline);
        for (const auto& field : expected)
            EXPECT_TRUE(field.second == "*" || field.second == found[field.first])
                << field.first << ": expected '" << field.second << "', found '" << found[field.first] << "'";
    }

    std::wstring Command(const std::wstring& exe, const std::wstring& args) { return L"\"" + exe + L"\" " + args; }

    std::vector<std::wstring> baseline;
    ScratchDir temp, setupA, setupB;
};
}  // namespace

TEST_F(Concurrency, TwoInstallsAtTheSameMomentBothCount)
{
    Together(Command(InstallerPath(), L"/Q PRODUCTA"), Command(InstallerPath(), L"/Q PRODUCTB"));
    ExpectMachine("inst 2 A B q2");
}

TEST_F(Concurrency, TwoUninstallsAtTheSameMomentLeaveNothingAndOneIsTheLastUser)
{
    Together(Command(InstallerPath(), L"/Q PRODUCTA"), Command(InstallerPath(), L"/Q PRODUCTB"));
    std::wstring ownA = Copy(setupA), ownB = Copy(setupB);
    std::vector<std::string> lines = Together(Command(ownA, L"/U /Q PRODUCTA"), Command(ownB, L"/U /Q PRODUCTB"));
    int last = 0;
    for (const std::string& line : lines)
        last += MessageOf(line) == "  Setting Tovrand delete to TRUE" ? 1 : 0;
    EXPECT_EQ(1, last);
    // Only the last user's own copy goes.
    EXPECT_NE(FileExists(ownA), FileExists(ownB));
    ExpectMachine("gone q3; pending=*");
}

TEST_F(Concurrency, AnUninstallAndAnInstallAtTheSameMomentBothTakeEffect)
{
    Together(Command(InstallerPath(), L"/Q PRODUCTA"), Command(InstallerPath(), L"/Q PRODUCTB"));
    bool uninstallFirst = false;
    Together(Command(Copy(setupA), L"/U /Q PRODUCTA"), Command(InstallerPath(), L"/Q PRODUCTC"), &uninstallFirst);
    // Whichever ran second decides whether the emptied maker's directory is left.
    ExpectMachine(std::string("inst 2 B C q3") + (uninstallFirst ? "" : "; makerdir=absent"));
}

// A setup that shows the closing box holds the lock until the box is answered; another setup gives up
// waiting after five seconds and goes on.
TEST_F(Concurrency, ARunWaitingForItsBoxDoesNotBlockTheNextForEver)
{
    HANDLE first = Start(Command(InstallerPath(), L"PRODUCTA"), temp.Path());
    HWND box = nullptr;
    for (int waited = 0; waited < 30000 && (box == nullptr || !IsWindowVisible(box)); waited += 50, Sleep(50))
        box = FindWindowW(L"#32770", L"Pellimar Installer");
    ASSERT_NE(nullptr, box) << "the first run's closing box never appeared";
    // Run without anybody answering boxes: the first run's must stay up meanwhile.
    EXPECT_EQ(0u, Wait(Start(Command(InstallerPath(), L"/Q PRODUCTB"), temp.Path())).exitCode);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(0u, Wait(first).exitCode);
    bool waited = false;
    for (const std::string& line : ReadLog(temp.Path()))
        waited = waited || MessageOf(line) == "  The other instance of tovrand still has the mutex, something must be "
                                              "wrong with it, continuing anyway.";
    EXPECT_TRUE(waited);
    ExpectMachine("inst 2 A B q2");
}

// A newer copy put in place while a run waits for the lock serves the request after it.
TEST_F(Concurrency, ACopyThatArrivesWhileWaitingForTheLockTakesOverAfterIt)
{
    HANDLE mutex = CreateMutexW(nullptr, TRUE, L"Global\\Pellimar_running");
    HANDLE run = Start(Command(InstallerPath(), L"/Q /NOREGQZ PRODUCTA"), temp.Path());
    Sleep(1500);   // well inside the run's 5000 ms wait
    Locations w = Where();
    CreateDirectoryW(w.sharedDir.c_str(), nullptr);
    CopyFileW((BinDir() + L"\\variants\\12.9.0.23\\TOVRAND64x86.EXE").c_str(),
              (w.sharedDir + L"\\TOVRAND64x86.EXE").c_str(), FALSE);
    EXPECT_EQ(0u, Wait(run).exitCode);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    std::vector<std::string> log;
    for (const std::string& line : ReadLog(temp.Path()))
        log.push_back(MessageOf(line));
    auto at = [&log](const char* m) { return std::find(log.begin(), log.end(), m) - log.begin(); };
    EXPECT_LT(at("Installed Version (if any) is not newer."), at("  Installed version is newer after waiting on the mutex."));
    EXPECT_LT(at("  Installed version is newer after waiting on the mutex."), at("Compiled Version 12.9.0.23"));
    EXPECT_LT(at("Compiled Version 12.9.0.23"), static_cast<long>(log.size()));
}

// Another program schedules a rename while a run scans a long list to withdraw our deletion: the run
// notices the change, scans the new list and keeps the new entry.
TEST_F(Concurrency, ARenameScheduledDuringTheScanIsKept)
{
    ASSERT_EQ(0u, RunInstaller(InstallerPath(), L"/Q /NOREGQZ PRODUCTA").process.exitCode);
    std::wstring driver = Where().driversDir + L"\\PELLIMAR64x86.SYS";
    std::vector<std::wstring> list = PendingStrings();
    for (int k = 0; k < 10000; ++k)
        list.insert(list.end(), {L"\\??\\C:\\TovrandForeign\\many" + std::to_wstring(k), L""});
    list.insert(list.end(), {L"\\??\\" + ShortPath(driver), L""});
    SetPending(list);
    HANDLE run = Start(Command(InstallerPath(), L"/Q /NOREGQZ PRODUCTB"), temp.Path());
    // The first scan looks for the shared copy's deletion and finds none; once the second, for the
    // driver's, is well under way, a rename of another program's file is scheduled.
    for (int waited = 0, seen = 0; waited < 120000 && seen < 2; waited += 50, Sleep(50))
    {
        seen = 0;
        for (const std::string& line : ReadLog(temp.Path()))
            seen += line.size() > 8 && line.compare(line.size() - 8, 8, "\\many500") == 0 ? 1 : 0;
    }
    WriteFileBytes(L"C:\\TovrandForeign\\late.tmp", "late");
    ASSERT_TRUE(MoveFileExW(L"C:\\TovrandForeign\\late.tmp", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_EQ(0u, Wait(run).exitCode);
    std::vector<std::wstring> now = PendingStrings();
    EXPECT_NE(now.end(), std::find(now.begin(), now.end(), L"\\??\\C:\\TovrandForeign\\late.tmp"));
    EXPECT_EQ(now.end(), std::find(now.begin(), now.end(), L"\\??\\" + ShortPath(driver)));
    EXPECT_EQ(list.size(), now.size());
    bool rescanned = false;
    for (const std::string& line : ReadLog(temp.Path()))
        rescanned = rescanned || MessageOf(line) == "  The PendingFileRenameOperations registry value changed while "
                                                    "it was scanned, scanning it again.";
    EXPECT_TRUE(rescanned);
}
