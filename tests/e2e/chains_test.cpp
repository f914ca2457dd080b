// Which chain of commands a run takes, its BEGIN/END lines and its closing box.
#include "e2e.h"

using namespace harness;

namespace
{
typedef std::vector<std::string> Steps;
const Steps kInstallChain = {"WM_CREATE", "IDM_CHECKUSAGEUPDATE", "IDM_PREPARECOPY", "IDM_STARTCOPY"};
}  // namespace

class Chains : public MachineTest
{
};

TEST_F(Chains, UpdateOnlyWithoutADriverDoesNothing)
{
    InstallerRun run = RunCase(L"");
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(0u, run.process.exitCode);
    EXPECT_EQ((Steps{"WM_CREATE", "IDM_CHECKUSAGEUPDATE", "IDM_ALLDONE"}), Chain(run.messages));
    EXPECT_TRUE(run.Has("  UpdateOnly mode, no previous PELLIMAR, no action taken"));
    EXPECT_EQ(L"Pellimar does not exist on this computer, no action taken", run.box);
    EXPECT_EQ("", MainCount());
    EXPECT_FALSE(ServiceExists());
}

TEST_F(Chains, UninstallOfAnUnknownProductChangesNothing)
{
    InstallerRun install = RunCase(L"/Q /NOREGQZ PRODUCTA");
    ASSERT_EQ("1", MainCount());
    std::string before = DumpState();
    InstallerRun run = RunCase(L"/U PRODUCTB");
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(0u, run.process.exitCode);
    EXPECT_EQ((Steps{"WM_CREATE", "IDM_CHECKUSAGEUPDATE", "IDM_ALLDONE"}), Chain(run.messages));
    EXPECT_TRUE(run.Has("  Uninstalling with unknown AppID.  Not updating RefCounts (Use /NOREGAPPID)."));
    EXPECT_TRUE(run.Has("  Not decrementing any usage counts, we're done."));
    // Shown although the dialog stays hidden in an uninstall.
    EXPECT_EQ(L"Pellimar was not registered for this product, no action taken", run.box);
    // Every uninstall run removes the maker's directory when it is empty; nothing else changes.
    std::string maker = Narrow(Where().makerDir);
    EXPECT_NE(std::string::npos, before.find(maker + ":\n"));
    before.replace(before.find(maker + ":\n"), maker.size() + 2, maker + ": absent\n");
    EXPECT_EQ(before, DumpState());
}

TEST_F(Chains, UninstallOfAKnownButUnregisteredProductBails)
{
    SetString(HKEY_LOCAL_MACHINE, kInstalledApps, L"PRODUCTC", L"C:\\Products\\C");
    InstallerRun run = RunCase(L"/U /Q PRODUCTC");
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(0u, run.process.exitCode);
    EXPECT_TRUE(run.Has("  *Somehow this product has a valid AppID (or /NOREGAPPID) yet isn't registered with Tovrand "
                        "(during uninstall). Bailing."));
    EXPECT_EQ((Steps{"WM_CREATE", "IDM_CHECKUSAGEUPDATE", "IDM_ALLDONE"}), Chain(run.messages));
    EXPECT_EQ(0, run.boxes);
}

TEST_F(Chains, InstallRunsEveryStepInOrderWithMatchingEndLines)
{
    InstallerRun run = RunCase(L"/Q /NOREGQZ PRODUCTA");
    ASSERT_TRUE(run.process.finished);
    std::vector<std::string> chain = Chain(run.messages);
    Steps expected = kInstallChain;
    int copies = 0;
    for (const std::string& step : chain)
        copies += step == "IDM_COPYFILE" ? 1 : 0;
    for (int i = 0; i < copies; ++i)
        expected.push_back("IDM_COPYFILE");
    for (const char* step : {"IDM_UPDATEUSAGE", "IDM_QZREGISTER", "IDM_ALLDONE"})
        expected.push_back(step);
    EXPECT_EQ(expected, chain);
    EXPECT_EQ(8, copies);   // seven pairs and the one that finds nothing left
    // Each BEGIN has its END before the next BEGIN; the usage check ends under another name.
    for (size_t i = 0; i < run.messages.size(); ++i)
    {
        if (run.messages[i].compare(0, 8, "BEGIN - ") != 0)
            continue;
        std::string name = run.messages[i].substr(8);
        std::string end = "END - " + (name == "IDM_CHECKUSAGEUPDATE" ? std::string("IDM_CHECKUSAGECOUNTUPDATE") : name);
        size_t j = i + 1;
        while (j < run.messages.size() && run.messages[j].compare(0, 8, "BEGIN - ") != 0 && run.messages[j] != end)
            ++j;
        EXPECT_TRUE(j < run.messages.size() && run.messages[j] == end) << name;
    }
    EXPECT_TRUE(run.Has("  /NoRegQZ switch used.  Not registering with Quazel."));
    EXPECT_EQ(0, run.boxes);
}

TEST_F(Chains, ClosingTextOfAnInstallWithoutQuiet)
{
    InstallerRun run = RunCase(L"/NOREGQZ PRODUCTA");
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(0u, run.process.exitCode);
    EXPECT_EQ(L"Pellimar has been successfully updated", run.box);
    EXPECT_EQ(1, run.boxes);
}
