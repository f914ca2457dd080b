// Two products' setups run the installer at the same moment. The machine-wide lock makes the second
// run wait for the first, so neither count update is lost, and both append to the one log in the
// shared temporary directory, each line marked with its process id.
#include "lifecycle_steps.h"

using namespace harness;

namespace
{
std::string PidOf(const std::string& line)
{
    size_t at = line.find("[PID:");
    return at == std::string::npos ? "" : line.substr(at + 5, line.find(']', at) - at - 5);
}

struct Span
{
    int first = -1;   // "BEGIN - WM_CREATE"
    int last = -1;    // "END - IDM_ALLDONE"
    int lines = 0;
};

// Where each run's sequence of steps begins and ends in the shared log.
Span SpanOf(const std::vector<std::string>& log, DWORD pid)
{
    Span span;
    std::string id = std::to_string(pid);
    for (size_t i = 0; i < log.size(); ++i)
    {
        if (PidOf(log[i]) != id)
            continue;
        ++span.lines;
        std::string m = MessageOf(log[i]);
        if (m == "BEGIN - WM_CREATE" && span.first < 0)
            span.first = static_cast<int>(i);
        if (m == "END - IDM_ALLDONE")
            span.last = static_cast<int>(i);
    }
    return span;
}

// Both runs logged their whole sequence, and one sequence ended before the other began.
void ExpectSerialised(const std::vector<std::string>& log, DWORD pidA, DWORD pidB)
{
    Span a = SpanOf(log, pidA);
    Span b = SpanOf(log, pidB);
    EXPECT_GT(a.lines, 0) << "no line of process " << pidA;
    EXPECT_GT(b.lines, 0) << "no line of process " << pidB;
    ASSERT_TRUE(a.first >= 0 && a.last > a.first) << pidA;
    ASSERT_TRUE(b.first >= 0 && b.last > b.first) << pidB;
    EXPECT_TRUE(a.last < b.first || b.last < a.first)
        << "the two runs' steps interleave: " << a.first << "-" << a.last << " and " << b.first << "-" << b.last;
}

// Starts two runs back to back with TEMP at tempDir and waits for both.
void RunTogether(const std::wstring& exeA, const std::wstring& argsA, const std::wstring& exeB,
                 const std::wstring& argsB, const std::wstring& tempDir, Process* a, Process* b)
{
    HANDLE first = Start(L"\"" + exeA + L"\" " + argsA, tempDir);
    HANDLE second = Start(L"\"" + exeB + L"\" " + argsB, tempDir);
    *a = Wait(first);
    *b = Wait(second);
}
}  // namespace

class LifecycleConcurrent : public MachineTest
{
};

TEST_F(LifecycleConcurrent, TwoInstallsAtTheSameMomentBothCount)
{
    // A few rounds, each on a clean machine: the order in which the two win the lock varies.
    for (int round = 0; round < 3; ++round)
    {
        SCOPED_TRACE("round " + std::to_string(round + 1));
        CleanMachine();
        PendingBaseline baseline;
        SetString(HKEY_LOCAL_MACHINE, kInstalledApps, L"PRODUCTA", L"C:\\Products\\PRODUCTA");
        SetString(HKEY_LOCAL_MACHINE, kInstalledApps, L"PRODUCTB", L"C:\\Products\\PRODUCTB");
        ScratchDir temp;
        Process a, b;
        RunTogether(InstallerPath(), L"/Q PRODUCTA", InstallerPath(), L"/Q PRODUCTB", temp.Path(), &a, &b);
        ASSERT_TRUE(a.finished && b.finished);
        EXPECT_EQ(0u, a.exitCode);
        EXPECT_EQ(0u, b.exitCode);
        EXPECT_TRUE(MachineIs(Installed(2, {"PRODUCTA", "PRODUCTB"}, 2), baseline));
        ExpectSerialised(ReadLog(temp.Path()), a.pid, b.pid);
        if (HasFailure())
            return;
    }
}

TEST_F(LifecycleConcurrent, TwoUninstallsAtTheSameMomentLeaveNothing)
{
    PendingBaseline baseline;
    Sequence sequence(false);
    sequence.Run({Action::Install, L"/Q PRODUCTA", "PRODUCTA", Phase::Installed, 1, "PRODUCTA", 1, 0, nullptr},
                 "install A");
    sequence.Run({Action::Install, L"/Q PRODUCTB", "PRODUCTB", Phase::Installed, 2, "PRODUCTA PRODUCTB", 2, 0,
                  nullptr},
                 "install B");
    // Each product's setup carries its own copy; whichever run comes second is the last user and
    // deletes its copy.
    ScratchDir setupA, setupB, temp;
    std::wstring ownA = CopyOfInstaller(setupA);
    std::wstring ownB = CopyOfInstaller(setupB);
    Process a, b;
    RunTogether(ownA, L"/U /Q PRODUCTA", ownB, L"/U /Q PRODUCTB", temp.Path(), &a, &b);
    ASSERT_TRUE(a.finished && b.finished);
    EXPECT_EQ(0u, a.exitCode);
    EXPECT_EQ(0u, b.exitCode);
    std::vector<std::string> log = ReadLog(temp.Path());
    ExpectSerialised(log, a.pid, b.pid);

    int lastAt = FindLine(log, "  Setting Tovrand delete to TRUE");
    ASSERT_GE(lastAt, 0) << "neither run was the last user";
    EXPECT_EQ(1, CountLines(log, "  Setting Tovrand delete to TRUE"));
    bool aWasLast = PidOf(log[lastAt]) == std::to_string(a.pid);
    std::wstring lastCopy = aWasLast ? ownA : ownB;
    std::wstring otherCopy = aWasLast ? ownB : ownA;
    InstallerState expected = Removed(3);
    expected.pending = WaitForSelfDelete(lastCopy, temp.Path());
    EXPECT_NE("", expected.pending) << "the self-delete did not finish";
    EXPECT_TRUE(MachineIs(expected, baseline));
    EXPECT_TRUE(FileExists(otherCopy)) << "the copy of the product that left first is not the installer's to delete";
    ForgetSelfDelete(temp.Path());
}

TEST_F(LifecycleConcurrent, AnUninstallAndAnInstallAtTheSameMomentBothTakeEffect)
{
    PendingBaseline baseline;
    Sequence sequence(false);
    sequence.Run({Action::Install, L"/Q PRODUCTA", "PRODUCTA", Phase::Installed, 1, "PRODUCTA", 1, 0, nullptr},
                 "install A");
    sequence.Run({Action::Install, L"/Q PRODUCTB", "PRODUCTB", Phase::Installed, 2, "PRODUCTA PRODUCTB", 2, 0,
                  nullptr},
                 "install B");
    SetString(HKEY_LOCAL_MACHINE, kInstalledApps, L"PRODUCTC", L"C:\\Products\\PRODUCTC");
    ScratchDir setupA, temp;
    Process a, c;
    RunTogether(CopyOfInstaller(setupA), L"/U /Q PRODUCTA", InstallerPath(), L"/Q PRODUCTC", temp.Path(), &a, &c);
    ASSERT_TRUE(a.finished && c.finished);
    EXPECT_EQ(0u, a.exitCode);
    EXPECT_EQ(0u, c.exitCode);
    std::vector<std::string> log = ReadLog(temp.Path());
    ExpectSerialised(log, a.pid, c.pid);
    // Whichever ran second decides whether the maker's directory is left: an uninstall removes it
    // when it is empty, an install leaves it.
    InstallerState expected = Installed(2, {"PRODUCTB", "PRODUCTC"}, 3);
    if (SpanOf(log, a.pid).first > SpanOf(log, c.pid).first)
        expected.makerDir = "absent";
    EXPECT_TRUE(MachineIs(expected, baseline));
}

// A setup that shows the closing box holds the machine-wide lock until the box is answered. Another
// setup gives up waiting after five seconds and goes on; both products count.
TEST_F(LifecycleConcurrent, ARunWaitingForItsBoxDoesNotBlockTheNextForEver)
{
    PendingBaseline baseline;
    SetString(HKEY_LOCAL_MACHINE, kInstalledApps, L"PRODUCTA", L"C:\\Products\\PRODUCTA");
    SetString(HKEY_LOCAL_MACHINE, kInstalledApps, L"PRODUCTB", L"C:\\Products\\PRODUCTB");
    ScratchDir temp;
    HANDLE first = Start(L"\"" + InstallerPath() + L"\" PRODUCTA", temp.Path());
    ASSERT_NE(nullptr, first);
    bool shown = false;
    for (int waited = 0; waited < 30000 && !shown; waited += 50)
    {
        HWND box = FindWindowW(L"#32770", L"Pellimar Installer");
        shown = box != nullptr && IsWindowVisible(box);
        if (!shown)
            Sleep(50);
    }
    Process b = harness::Run(L"\"" + InstallerPath() + L"\" /Q PRODUCTB", temp.Path());
    Process a;
    {
        MessageBoxAnswerer answerer(L"Pellimar Installer");
        a = Wait(first);
        EXPECT_EQ(L"Pellimar has been successfully updated", answerer.Text());
    }
    ASSERT_TRUE(shown) << "the first run's closing box never appeared";
    ASSERT_TRUE(a.finished && b.finished);
    EXPECT_EQ(0u, a.exitCode);
    EXPECT_EQ(0u, b.exitCode);
    std::vector<std::string> log = ReadLog(temp.Path());
    int timeout = FindLine(log, "  The other instance of tovrand still has the mutex, something must be wrong with "
                                "it, continuing anyway.");
    ASSERT_GE(timeout, 0);
    EXPECT_EQ(std::to_string(b.pid), PidOf(log[timeout]));
    EXPECT_TRUE(MachineIs(Installed(2, {"PRODUCTA", "PRODUCTB"}, 2), baseline));
}
