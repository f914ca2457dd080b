// Product lifecycles through the real installer: re-installs, update-only runs before and after
// installs, a product that leaves and comes back, an uninstall by a setup that never listed its AppID.
// Each row is one run; after every run the whole machine is compared with what the row says. Every
// sequence runs on Vista and later and again on a system before Vista (Wine's per-program version).
#include "lifecycle_steps.h"

using namespace harness;

namespace
{
const wchar_t kUpdated[] = L"Pellimar has been successfully updated";
const wchar_t kDecremented[] = L"Pellimar has been uninstalled/decremented successfully";
const wchar_t kNothingToUpdate[] = L"Pellimar does not exist on this computer, no action taken";
const wchar_t kNotRegistered[] = L"Pellimar was not registered for this product, no action taken";

const Action I = Action::Install;
const Action U = Action::Uninstall;
const Action Up = Action::Update;
const Action Unl = Action::Unlisted;
const Phase Inst = Phase::Installed;

struct Scenario
{
    const char* name;
    std::vector<Step> steps;
};

// action, command line, product, phase afterwards, main count, registered products, registration runs,
// exit code, closing text
const Scenario kScenarios[] = {
    {"ReinstallKeepsTheCount",
     {
         {I, L"/Q PRODUCTA", "PRODUCTA", Inst, 1, "PRODUCTA", 1, 0, nullptr},
         {I, L"/Q PRODUCTA", "PRODUCTA", Inst, 1, "PRODUCTA", 2, 0, nullptr},
         {I, L"/Q PRODUCTB", "PRODUCTB", Inst, 2, "PRODUCTA PRODUCTB", 3, 0, nullptr},
         {I, L"PRODUCTB", "PRODUCTB", Inst, 2, "PRODUCTA PRODUCTB", 4, 0, kUpdated},
         {I, L"/Q PRODUCTA", "PRODUCTA", Inst, 2, "PRODUCTA PRODUCTB", 5, 0, nullptr},
         {U, L"/U /Q PRODUCTB", "PRODUCTB", Inst, 1, "PRODUCTA", 5, 0, nullptr},
         {I, L"/Q PRODUCTA", "PRODUCTA", Inst, 1, "PRODUCTA", 6, 0, nullptr},
     }},
    {"UpdateOnlyBeforeAnyInstallDoesNothing",
     {
         {Up, L"/Q", "", Phase::UpdateOnly, 0, "", 0, 0, nullptr},
         {Up, L"", "", Phase::UpdateOnly, 0, "", 0, 0, kNothingToUpdate},
         {I, L"/Q PRODUCTA", "PRODUCTA", Inst, 1, "PRODUCTA", 1, 0, nullptr},
         {U, L"/U /Q PRODUCTA", "PRODUCTA", Phase::Removed, 0, "", 2, 0, nullptr},
         // After the last product left, an update-only run again finds no driver.
         {Up, L"/Q", "", Phase::UpdateOnly, 0, "", 2, 0, nullptr},
     }},
    {"UpdateOnlyAfterInstallsRewritesWithoutRaising",
     {
         {I, L"/Q PRODUCTA", "PRODUCTA", Inst, 1, "PRODUCTA", 1, 0, nullptr},
         {Up, L"/Q", "", Inst, 1, "PRODUCTA", 2, 0, nullptr},
         {I, L"/Q PRODUCTB", "PRODUCTB", Inst, 2, "PRODUCTA PRODUCTB", 3, 0, nullptr},
         {Up, L"", "", Inst, 2, "PRODUCTA PRODUCTB", 4, 0, kUpdated},
         {Up, L"/Q", "", Inst, 2, "PRODUCTA PRODUCTB", 5, 0, nullptr},
         {U, L"/U /Q PRODUCTA", "PRODUCTA", Inst, 1, "PRODUCTB", 5, 0, nullptr},
         {Up, L"/Q", "", Inst, 1, "PRODUCTB", 6, 0, nullptr},
         {U, L"/U PRODUCTB", "PRODUCTB", Phase::Removed, 0, "", 7, 0, kDecremented},
     }},
    {"InstallUninstallInstallOfOneProduct",
     {
         {I, L"/Q PRODUCTA", "PRODUCTA", Inst, 1, "PRODUCTA", 1, 0, nullptr},
         {U, L"/U /Q PRODUCTA", "PRODUCTA", Phase::Removed, 0, "", 2, 0, nullptr},
         {I, L"PRODUCTA", "PRODUCTA", Inst, 1, "PRODUCTA", 3, 0, kUpdated},
         {U, L"/U PRODUCTA", "PRODUCTA", Phase::Removed, 0, "", 4, 0, kDecremented},
         {I, L"/Q PRODUCTA", "PRODUCTA", Inst, 1, "PRODUCTA", 5, 0, nullptr},
     }},
    {"AProductLeavesAndComesBack",
     {
         {I, L"/Q PRODUCTA", "PRODUCTA", Inst, 1, "PRODUCTA", 1, 0, nullptr},
         {I, L"/Q PRODUCTB", "PRODUCTB", Inst, 2, "PRODUCTA PRODUCTB", 2, 0, nullptr},
         {U, L"/U /Q PRODUCTA", "PRODUCTA", Inst, 1, "PRODUCTB", 2, 0, nullptr},
         // A second uninstall of the product that already left changes nothing.
         {U, L"/U /Q PRODUCTA", "PRODUCTA", Inst, 1, "PRODUCTB", 2, 0, nullptr},
         {I, L"/Q PRODUCTA", "PRODUCTA", Inst, 2, "PRODUCTA PRODUCTB", 3, 0, nullptr},
         {U, L"/U /Q PRODUCTB", "PRODUCTB", Inst, 1, "PRODUCTA", 3, 0, nullptr},
         {I, L"/Q PRODUCTB", "PRODUCTB", Inst, 2, "PRODUCTA PRODUCTB", 4, 0, nullptr},
     }},
    {"AnUnlistedProductIsOnlyRemovedWithNoRegAppId",
     {
         {I, L"/Q PRODUCTA", "PRODUCTA", Inst, 1, "PRODUCTA", 1, 0, nullptr},
         {I, L"/Q PRODUCTB", "PRODUCTB", Inst, 2, "PRODUCTA PRODUCTB", 2, 0, nullptr},
         {Unl, L"/U PRODUCTA", "PRODUCTA", Inst, 2, "PRODUCTA PRODUCTB", 2, 0, kNotRegistered},
         {Unl, L"/U /Q /NOREGAPPID PRODUCTA", "PRODUCTA", Inst, 1, "PRODUCTB", 2, 0, nullptr},
         {Unl, L"/U /Q /NOREGAPPID PRODUCTB", "PRODUCTB", Phase::Removed, 0, "", 3, 0, nullptr},
         {Up, L"/Q", "", Phase::UpdateOnly, 0, "", 3, 0, nullptr},
         {I, L"/Q PRODUCTC", "PRODUCTC", Inst, 1, "PRODUCTC", 4, 0, nullptr},
     }},
    {"NoDelAndNoRegQzAffectOnlyTheirOwnRun",
     {
         {I, L"/Q /NOREGQZ PRODUCTA", "PRODUCTA", Inst, 1, "PRODUCTA", 0, 0, nullptr},
         {I, L"/Q PRODUCTB", "PRODUCTB", Inst, 2, "PRODUCTA PRODUCTB", 1, 0, nullptr},
         {U, L"/U /Q /NODEL PRODUCTA", "PRODUCTA", Inst, 1, "PRODUCTB", 1, 0, nullptr},
         {U, L"/U /Q /NODEL PRODUCTB", "PRODUCTB", Phase::KeptByNoDel, 0, "", 1, 0, nullptr},
         // The driver left in place counts again from nothing.
         {I, L"/Q PRODUCTC", "PRODUCTC", Inst, 1, "PRODUCTC", 2, 0, nullptr},
         {U, L"/U /Q PRODUCTC", "PRODUCTC", Phase::Removed, 0, "", 3, 0, nullptr},
     }},
};

struct Case
{
    size_t scenario;
    bool beforeVista;
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << kScenarios[c.scenario].name << (c.beforeVista ? " before Vista" : " on Vista");
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info)
{
    return std::string(kScenarios[info.param.scenario].name) + (info.param.beforeVista ? "_BeforeVista" : "_Vista");
}

std::vector<Case> AllCases()
{
    std::vector<Case> cases;
    for (bool beforeVista : {false, true})
        for (size_t i = 0; i < sizeof(kScenarios) / sizeof(kScenarios[0]); ++i)
            cases.push_back({i, beforeVista});
    return cases;
}
}  // namespace

class Lifecycle : public MachineTest, public ::testing::WithParamInterface<Case>
{
};

TEST_P(Lifecycle, EveryRunLeavesTheMachineAsItsRowSays)
{
    const Case& c = GetParam();
    if (c.beforeVista)
    {
        if (!IsWine())
            GTEST_SKIP() << "needs Wine's per-program Windows version";
        SetWindowsVersion(L"winxp64");
    }
    // Other programs' pending renames stay as they are through every run.
    ForeignPendingRenames foreign;
    Sequence sequence(c.beforeVista);
    const std::vector<Step>& steps = kScenarios[c.scenario].steps;
    for (size_t i = 0; i < steps.size(); ++i)
    {
        sequence.Run(steps[i], "step " + std::to_string(i + 1) + ": " + Narrow(steps[i].args));
        if (HasFatalFailure())
            return;
    }
}

INSTANTIATE_TEST_SUITE_P(Sequences, Lifecycle, ::testing::ValuesIn(AllCases()), CaseName);

class LifecycleUpdate : public MachineTest, public ::testing::WithParamInterface<bool>
{
};

// Counts that another program, or an older installer, left in other forms: an update-only run writes
// every count back as text without adding one, and puts the installer's marker back to 500. Before
// Vista the smaller of the two driver counts is raised to the larger; from Vista on the maker-directory
// count is neither read nor written.
TEST_P(LifecycleUpdate, AnUpdateOnlyRunRewritesTheCountsWithoutRaisingThem)
{
    bool beforeVista = GetParam();
    if (beforeVista)
    {
        if (!IsWine())
            GTEST_SKIP() << "needs Wine's per-program Windows version";
        SetWindowsVersion(L"winxp64");
    }
    Locations w = Where();
    Sequence sequence(beforeVista);
    sequence.Run({I, L"/Q PRODUCTA", "PRODUCTA", Inst, 1, "PRODUCTA", 1, 0, nullptr}, "install A");
    sequence.Run({I, L"/Q PRODUCTB", "PRODUCTB", Inst, 2, "PRODUCTA PRODUCTB", 2, 0, nullptr}, "install B");
    ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kSharedDlls, (w.driversDir + L"\\PELLIMAR64x86.SYS").c_str(), 2));
    ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kSharedDlls, (w.makerDir + L"\\PELLIMAR64x86.SYS").c_str(),
                          beforeVista ? L"3" : L"7"));
    ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kSharedDlls, (w.sharedDir + L"\\TOVRAND64x86.EXE").c_str(), L"499"));

    Step update = {Up, L"/Q", "", Inst, beforeVista ? 3 : 2, "PRODUCTA PRODUCTB", 3, 0, nullptr};
    InstallerState expected = ExpectedAfter(update, beforeVista);
    expected.makerCount = beforeVista ? "3" : "7";
    expected.installerUsage = "500";
    InstallerRun run = sequence.Run(update, "update-only run", expected);
    EXPECT_TRUE(run.Has("  Product ID not set.  Not updating RefCounts."));
    EXPECT_TRUE(run.Has(std::string("  New RefCount: System32\\Drivers\\PELLIMAR64x86.SYS: ") + (beforeVista ? "3" : "2")));

    // The next product still adds exactly one.
    Step install = {I, L"/Q PRODUCTC", "PRODUCTC", Inst, beforeVista ? 4 : 3, "PRODUCTA PRODUCTB PRODUCTC", 4, 0, nullptr};
    expected = ExpectedAfter(install, beforeVista);
    expected.makerCount = beforeVista ? "4" : "7";
    expected.installerUsage = "500";
    sequence.Run(install, "install C", expected);
}

INSTANTIATE_TEST_SUITE_P(Versions, LifecycleUpdate, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "BeforeVista" : "Vista");
                         });
