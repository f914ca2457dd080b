// Products installed before Vista, then the system is upgraded and the lifecycle goes on. From Vista
// on an install neither reads nor writes the maker-directory count and copies nothing there, while an
// uninstall still releases both counts: the old copy in the maker's directory goes when its own count
// runs out, and the last product takes away everything, the maker's directory included.
#include "lifecycle_steps.h"

using namespace harness;

namespace
{
const char kMakerFiles[] = "PELLIMAR64x86.CAT PELLIMAR64x86.INF PELLIMAR64x86.SYS";
}  // namespace

class LifecycleUpgrade : public MachineTest
{
};

TEST_F(LifecycleUpgrade, CountsOfAnOlderSystemAreReleasedAfterTheUpgrade)
{
    if (!IsWine())
        GTEST_SKIP() << "needs Wine's per-program Windows version";
    Sequence sequence(true);
    sequence.SwitchVersion(true);
    sequence.Run({Action::Install, L"/Q PRODUCTA", "PRODUCTA", Phase::Installed, 1, "PRODUCTA", 1, 0, nullptr},
                 "install A before Vista");
    sequence.Run({Action::Install, L"/Q PRODUCTB", "PRODUCTB", Phase::Installed, 2, "PRODUCTA PRODUCTB", 2, 0,
                  nullptr},
                 "install B before Vista");

    sequence.SwitchVersion(false);
    Step step = {Action::Install, L"/Q PRODUCTC", "PRODUCTC", Phase::Installed, 3, "PRODUCTA PRODUCTB PRODUCTC", 3,
                 0, nullptr};
    InstallerState expected = ExpectedAfter(step, false);
    expected.makerCount = "2";
    expected.makerDir = kMakerFiles;
    InstallerRun run = sequence.Run(step, "install C after the upgrade", expected);
    EXPECT_FALSE(run.Has("  Old RefCount: Norvatek\\PELLIMAR64x86.SYS: 2"));

    step = {Action::Uninstall, L"/U /Q PRODUCTA", "PRODUCTA", Phase::Installed, 2, "PRODUCTB PRODUCTC", 3, 0, nullptr};
    expected = ExpectedAfter(step, false);
    expected.makerCount = "1";
    expected.makerDir = kMakerFiles;
    run = sequence.Run(step, "remove A", expected);
    EXPECT_TRUE(run.Has("  Old RefCount: Norvatek\\PELLIMAR64x86.SYS: 2"));
    EXPECT_TRUE(run.Has("  New RefCount: Norvatek\\PELLIMAR64x86.SYS: 1"));

    // The maker-directory count runs out first: that image goes, the driver stays for C.
    step = {Action::Uninstall, L"/U /Q PRODUCTB", "PRODUCTB", Phase::Installed, 1, "PRODUCTC", 3, 0, nullptr};
    expected = ExpectedAfter(step, false);
    expected.makerDir = "PELLIMAR64x86.CAT PELLIMAR64x86.INF";
    run = sequence.Run(step, "remove B", expected);
    EXPECT_TRUE(run.Has("  RefCount " + Narrow(Where().makerDir) + "\\PELLIMAR64x86.SYS reached 0."));

    sequence.Run({Action::Uninstall, L"/U /Q PRODUCTC", "PRODUCTC", Phase::Removed, 0, "", 4, 0, nullptr},
                 "remove C");
}
