// Lifecycles with a machine restart in the middle while the driver file is in use (loaded): the new
// driver waits beside the old one and takes its place at the restart; a driver left for deletion by the
// last uninstall goes at the restart, unless an install in between claimed it back. The whole machine
// is checked after every run and after every restart, on Vista and later and before Vista.
#include "lifecycle_steps.h"

using namespace harness;

namespace
{
const wchar_t kUpdated[] = L"Pellimar has been successfully updated";
const wchar_t kRestart[] =
    L"Pellimar has been successfully updated.  You must restart your machine to complete the installation.";

std::string Payload(const wchar_t* name)
{
    return ReadFileBytes(BinDir() + L"\\payload\\" + name);
}

std::wstring Driver()
{
    return Where().driversDir + L"\\PELLIMAR64x86.SYS";
}

// The driver that is loaded: an older build of it, held open by another process as the system holds a
// loaded driver's image.
std::string OlderDriver()
{
    return ReadFileBytes(BinDir() + L"\\testdata\\driver-1.0.0.0\\PELLIMAR64x86.SYS");
}

std::wstring HoldArgs()
{
    return L"\"" + Driver() + L"\" {EVENT}";
}
}  // namespace

class LifecycleRestart : public MachineTest, public ::testing::WithParamInterface<bool>
{
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        if (GetParam())
        {
            if (!IsWine())
                GTEST_SKIP() << "needs Wine's per-program Windows version";
            SetWindowsVersion(L"winxp64");
        }
    }
    bool BeforeVista() const { return GetParam(); }
};

TEST_P(LifecycleRestart, ADriverInUseIsReplacedAtTheRestartAndTheLifecycleGoesOn)
{
    Sequence sequence(BeforeVista());
    sequence.Run({Action::Install, L"/Q PRODUCTA", "PRODUCTA", Phase::Installed, 1, "PRODUCTA", 1, 0, nullptr},
                 "install A");
    std::string older = OlderDriver();
    ASSERT_FALSE(older.empty());
    ASSERT_TRUE(WriteFileBytes(Driver(), older));
    {
        Holder held(L"holdfile.exe", HoldArgs());
        ASSERT_TRUE(held.Ready());
        Step step = {Action::Install, L"PRODUCTB", "PRODUCTB", Phase::Installed, 2, "PRODUCTA PRODUCTB", 2, 1,
                     kRestart};
        InstallerState expected = ExpectedAfter(step, BeforeVista());
        std::wstring waiting = Where().driversDir + L"\\PELLIMAR64x86.SY1";
        expected.driversDir += " PELLIMAR64x86.SY1";
        expected.pending = PendingPair(L"\\??\\" + waiting, L"!\\??\\" + Driver());
        sequence.Run(step, "install B while the driver is loaded", expected);
    }
    // Until the restart the loaded driver stays; the new one waits beside it.
    EXPECT_TRUE(older == ReadFileBytes(Driver())) << "the loaded driver was changed";
    EXPECT_TRUE(Payload(L"PELLIMAR64x86.SYS") == ReadFileBytes(Where().driversDir + L"\\PELLIMAR64x86.SY1"))
        << "the new driver does not wait beside the loaded one";
    if (BeforeVista())
        EXPECT_TRUE(Payload(L"PELLIMAR64x86.SYS") == ReadFileBytes(Where().makerDir + L"\\PELLIMAR64x86.SYS"))
            << "the maker's directory lacks the new driver";
    ASSERT_TRUE(sequence.Restart());
    Step restarted = {Action::Install, L"", "", Phase::Installed, 2, "PRODUCTA PRODUCTB", 2, 0, nullptr};
    EXPECT_TRUE(MachineIs(ExpectedAfter(restarted, BeforeVista()), sequence.Baseline())) << "after the restart";
    EXPECT_TRUE(Payload(L"PELLIMAR64x86.SYS") == ReadFileBytes(Driver())) << "the new driver is not in place";

    sequence.Run({Action::Install, L"PRODUCTC", "PRODUCTC", Phase::Installed, 3, "PRODUCTA PRODUCTB PRODUCTC", 3, 0,
                  kUpdated},
                 "install C after the restart");
    sequence.Run({Action::Uninstall, L"/U /Q PRODUCTB", "PRODUCTB", Phase::Installed, 2, "PRODUCTA PRODUCTC", 3, 0,
                  nullptr},
                 "remove B");
    sequence.Run({Action::Uninstall, L"/U /Q PRODUCTA", "PRODUCTA", Phase::Installed, 1, "PRODUCTC", 3, 0, nullptr},
                 "remove A");
    sequence.Run({Action::Uninstall, L"/U /Q PRODUCTC", "PRODUCTC", Phase::Removed, 0, "", 4, 0, nullptr},
                 "remove C");
}

TEST_P(LifecycleRestart, ALoadedDriverLeftByTheLastUninstallGoesAtTheRestart)
{
    Sequence sequence(BeforeVista());
    sequence.Run({Action::Install, L"/Q PRODUCTA", "PRODUCTA", Phase::Installed, 1, "PRODUCTA", 1, 0, nullptr},
                 "install A");
    {
        Holder held(L"holdfile.exe", HoldArgs());
        ASSERT_TRUE(held.Ready());
        Step step = {Action::Uninstall, L"/U /Q PRODUCTA", "PRODUCTA", Phase::Removed, 0, "", 2, 0, nullptr};
        InstallerState expected = ExpectedAfter(step, BeforeVista());
        expected.driversDir = "PELLIMAR64x86.SYS";
        expected.pending = PendingPair(L"\\??\\" + ShortPath(Driver()), L"");
        sequence.Run(step, "remove A while the driver is loaded", expected);
    }
    ASSERT_TRUE(sequence.Restart());
    EXPECT_TRUE(MachineIs(Removed(2), sequence.Baseline())) << "after the restart";
    sequence.Run({Action::Install, L"/Q PRODUCTB", "PRODUCTB", Phase::Installed, 1, "PRODUCTB", 3, 0, nullptr},
                 "install B");
}

TEST_P(LifecycleRestart, AnInstallBeforeTheRestartKeepsTheDriverThatTheLastUninstallLeft)
{
    Sequence sequence(BeforeVista());
    sequence.Run({Action::Install, L"/Q PRODUCTA", "PRODUCTA", Phase::Installed, 1, "PRODUCTA", 1, 0, nullptr},
                 "install A");
    {
        Holder held(L"holdfile.exe", HoldArgs());
        ASSERT_TRUE(held.Ready());
        Step step = {Action::Uninstall, L"/U /Q PRODUCTA", "PRODUCTA", Phase::Removed, 0, "", 2, 0, nullptr};
        InstallerState expected = ExpectedAfter(step, BeforeVista());
        expected.driversDir = "PELLIMAR64x86.SYS";
        expected.pending = PendingPair(L"\\??\\" + ShortPath(Driver()), L"");
        sequence.Run(step, "remove A while the driver is loaded", expected);
    }
    // The driver is unloaded; a product installs before the machine restarts.
    sequence.Run({Action::Install, L"/Q PRODUCTB", "PRODUCTB", Phase::Installed, 1, "PRODUCTB", 3, 0, nullptr},
                 "install B before the restart");
    ASSERT_TRUE(sequence.Restart());
    Step restarted = {Action::Install, L"", "", Phase::Installed, 1, "PRODUCTB", 3, 0, nullptr};
    EXPECT_TRUE(MachineIs(ExpectedAfter(restarted, BeforeVista()), sequence.Baseline())) << "after the restart";
    EXPECT_TRUE(Payload(L"PELLIMAR64x86.SYS") == ReadFileBytes(Driver())) << "the new driver is not in place";
}

// The uninstall entry's command runs the copy in the shared folder itself: that copy cannot be deleted
// while it runs, nor its folder while it holds the copy, so both are left for the restart and the
// self-delete takes the copy and the folder away when the run has ended. A product that installs before
// the restart claims the copy back; the folder, no longer empty, survives the restart.
TEST_P(LifecycleRestart, TheLastUninstallThroughTheUninstallEntryAndAnInstallBeforeTheRestart)
{
    Locations w = Where();
    Sequence sequence(BeforeVista());
    sequence.Run({Action::Install, L"/Q PRODUCTA", "PRODUCTA", Phase::Installed, 1, "PRODUCTA", 1, 0, nullptr},
                 "install A");
    std::wstring shared = w.sharedDir + L"\\TOVRAND64x86.EXE";
    std::wstring command = GetString(HKEY_LOCAL_MACHINE, kUninstallKey, L"QuietUninstallString");
    ASSERT_EQ(L"\"" + shared + L"\" /U /Q", command);
    std::string copyPair = PendingPair(L"\\??\\" + ShortPath(shared), L"");
    std::string folderPair = PendingPair(L"\\??\\" + ShortPath(w.sharedDir), L"");
    {
        ScratchDir temp;
        // The product's setup adds its AppID to the stored command.
        InstallerRun run = RunIn(L"/U /Q PRODUCTA", temp.Path(), shared);
        EXPECT_TRUE(run.process.finished);
        EXPECT_EQ(0u, run.process.exitCode);
        EXPECT_EQ(0, run.boxes);
        InstallerState expected = Removed(2);
        std::string selfDelete = WaitForSelfDelete(shared, temp.Path());
        EXPECT_NE("", selfDelete) << "the self-delete did not finish";
        expected.pending = copyPair + " " + folderPair + " " + selfDelete;
        EXPECT_TRUE(MachineIs(expected, sequence.Baseline())) << "after the uninstall from the shared folder";
        ForgetSelfDelete(temp.Path());
        DeleteValue(HKEY_LOCAL_MACHINE, kInstalledApps, L"PRODUCTA");
    }
    Step step = {Action::Install, L"/Q PRODUCTB", "PRODUCTB", Phase::Installed, 1, "PRODUCTB", 3, 0, nullptr};
    InstallerState expected = ExpectedAfter(step, BeforeVista());
    expected.pending = folderPair;
    sequence.Run(step, "install B before the restart", expected);

    ASSERT_TRUE(sequence.Restart());
    EXPECT_TRUE(MachineIs(ExpectedAfter(step, BeforeVista()), sequence.Baseline())) << "after the restart";
    EXPECT_TRUE(ReadFileBytes(InstallerPath()) == ReadFileBytes(shared)) << "the shared copy is not the installer";
}

INSTANTIATE_TEST_SUITE_P(Versions, LifecycleRestart, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "BeforeVista" : "Vista");
                         });
