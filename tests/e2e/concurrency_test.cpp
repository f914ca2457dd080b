// Installer runs that meet each other or another program at the same moment (the interleavings of two
// products' runs are in convergence_test.cpp): a run held by its closing box, a newer copy that arrives
// while a run waits for the lock, and a program that keeps scheduling renames while a run rewrites the
// pending list.
#include "rows.h"

using namespace harness;

namespace
{
class Concurrency : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Prepare(c, {});
        for (const wchar_t* p : {L"PRODUCTA", L"PRODUCTB", L"PRODUCTC"})
            WriteRaw(kInstalledApps, p, Sz(p));
        CopyFileW(InstallerPath().c_str(), c.OwnCopy().c_str(), FALSE);
    }
    void TearDown() override { CleanMachine(); }
    static std::wstring Command(const std::wstring& exe, const std::wstring& a) { return L"\"" + exe + L"\" " + a; }

    Context c;
    ScratchDir temp;
};
}  // namespace

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
    std::vector<std::string> log = ReadLog(temp.Path(), false);
    EXPECT_EQ(1, std::count(log.begin(), log.end(), kLockStillHeld));
    ExpectState(c, "inst 2 A B q2; sharedusage=*");
}

// A newer copy put in place while a run waits for the lock serves the request after it.
TEST_F(Concurrency, ACopyThatArrivesWhileWaitingForTheLockTakesOverAfterIt)
{
    HANDLE mutex = CreateMutexW(nullptr, TRUE, L"Global\\Pellimar_running");
    HANDLE run = Start(Command(InstallerPath(), L"/Q /NOREGQZ PRODUCTA"), temp.Path());
    Sleep(1500);   // well inside the run's 5000 ms wait
    PlaceShared(L"12.9.0.23")(c);
    EXPECT_EQ(0u, Wait(run).exitCode);
    ReleaseMutex(mutex), CloseHandle(mutex);
    std::vector<std::string> log = ReadLog(temp.Path(), false);
    auto at = [&log](const char* m) { return std::find(log.begin(), log.end(), m) - log.begin(); };
    const char kNewer[] = "  Installed version is newer after waiting on the mutex.";
    EXPECT_LT(at("Installed Version (if any) is not newer."), at(kNewer));
    EXPECT_LT(at(kNewer), at("Compiled Version 12.9.0.23"));
    EXPECT_LT(at("Compiled Version 12.9.0.23"), static_cast<long>(log.size()));
}

// Another program schedules renames while a run scans a long list to withdraw our deletion: the run
// notices the change, scans the new list again and withdraws our deletion all the same, keeping every
// rename the other program scheduled. The renames are scheduled once the run has read the list for the
// driver's scan and while it still logs that list's pairs (most of a second): no writer can keep its
// write out of another's moment between reading the value and writing it back, so a rename scheduled
// right then could be lost whatever the run does, and the row would fail now and then.
TEST_F(Concurrency, RenamesScheduledDuringTheScanAreKept)
{
    ASSERT_EQ(0u, RunInstaller(InstallerPath(), L"/Q /NOREGQZ PRODUCTA").process.exitCode);
    std::wstring ours = L"\\??\\" + ShortPath(c.where.driversDir + L"\\PELLIMAR64x86.SYS");
    std::vector<std::wstring> list = PendingStrings();
    for (int k = 0; k < 10000; ++k)
        list.insert(list.end(), {L"\\??\\C:\\TovrandForeign\\many" + std::to_wstring(k), L""});
    list.insert(list.end(), {ours, L""});
    SetPending(list);
    HANDLE run = Start(Command(InstallerPath(), L"/Q /NOREGQZ PRODUCTB"), temp.Path());
    std::string driverCopied = "  File installed successfully: " + Narrow(c.where.driversDir);
    auto scanning = [this, &driverCopied] {
        std::vector<std::string> log = ReadLog(temp.Path(), false);
        auto at = [&log](std::vector<std::string>::iterator from, const std::string& text) {
            return std::find_if(from, log.end(), [&text](const std::string& l) { return l.find(text) != l.npos; });
        };
        return at(at(log.begin(), driverCopied), "TovrandForeign\\many") != log.end();
    };
    while (!scanning() && WaitForSingleObject(run, 20) == WAIT_TIMEOUT)
        ;
    const int scheduled = 3;
    auto late = [](int k) { return L"C:\\TovrandForeign\\late" + std::to_wstring(k) + L".tmp"; };
    for (int k = 0; k < scheduled; ++k)
        ASSERT_TRUE(WriteFileBytes(late(k), "late") &&
                    MoveFileExW(late(k).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_EQ(0u, Wait(run).exitCode);
    std::vector<std::wstring> now = PendingStrings();
    for (int k = 0; k < scheduled; ++k)
        EXPECT_NE(now.end(), std::find(now.begin(), now.end(), L"\\??\\" + late(k))) << k;
    EXPECT_EQ(now.end(), std::find(now.begin(), now.end(), ours));
    EXPECT_EQ(list.size() + 2 * scheduled - 2, now.size());
    std::vector<std::string> log = ReadLog(temp.Path(), false);
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "  The PendingFileRenameOperations registry value changed "
                                                           "while it was scanned, scanning it again."));
    // The log says a write only where one was made.
    EXPECT_EQ(1, std::count(log.begin(), log.end(), "  Updating registry with new PendingFileRenameOperations."));
}
