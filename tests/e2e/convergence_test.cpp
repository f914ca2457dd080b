// Runs that stop half-way, and runs that run into each other. Kill points: the last step of a lifecycle
// command is run by a test copy of the installer that ends itself after its k-th log line, as a
// deployment tool's time-out would, for every k; the same command then runs again and the machine must be
// what one whole run leaves, while no other product's data changes at any point. The full sweep is the
// ctest label "sweep" (TOVRAND_KILL_STRIDE=1); the ordinary run takes every seventh line.
// Interleavings: a run stops for a while after a chosen line, holding the lock, and another product's run
// (which, like a run that waited its five seconds in vain, waits only half a second) runs meanwhile.
#include "rows.h"

#include <stdlib.h>

using namespace harness;

namespace
{
struct Command
{
    const char* name;
    std::vector<Step> before;   // the runs that make the machine the command starts from
    Step step;
};

const std::vector<Command> kCommands = {
    {"FirstInstall", {}, Install("A")},
    {"SecondInstall", {Install("B")}, Install("A")},
    {"Update", {Install("A")}, Run(L"/Q")},
    {"Uninstall", {Install("A"), Install("B")}, Uninstall("A")},
    {"LastUninstall", {Install("A")}, Uninstall("A")},
};

// What the test's name shows of a row (GoogleTest would print its bytes).
void PrintTo(const Command& row, std::ostream* os)
{
    *os << row.name;
}

// The machine as a whole run leaves it: how often the updater ran is no part of that.
State Normal(State s)
{
    std::string& qz = s["qz"];
    size_t first = qz.find(' ');
    if (first != std::string::npos)
        qz.erase(first, qz.find(' ', first + 1) - first);
    return s;
}

// Another product's use of the driver, where the starting machine holds one, at any moment of the run.
std::string OthersLost(const Command& command, const State& s)
{
    std::string lost;
    if (s.at("foreign") != "kept" || s.at("pending").find("lost ") != std::string::npos)
        lost += " foreign data";
    bool withB = !command.before.empty() && command.before.back().args.find(L"PRODUCTB") != std::wstring::npos;
    if (withB && (s.at("products").find("PRODUCTB(dword:1)") == std::string::npos ||
                  s.at("sharedusage").find("PRODUCTB") == std::string::npos || atoi(s.at("count").c_str()) < 1))
        lost += " PRODUCTB's registration or count";
    return lost;
}

class KillPoints : public ::testing::TestWithParam<Command> {};

TEST_P(KillPoints, TheSameCommandAgainFinishesTheJob)
{
    const Command& command = GetParam();
    State whole;
    DWORD wholeExit = 0;
    int lines = 0;
    {
        Context c;
        Prepare(c, command.before);
        RunStep(c, command.step, false);
        whole = Normal(Describe(c.where, c.baseline));
        wholeExit = c.last.process.exitCode;
        std::string own = "[PID:" + std::to_string(c.last.process.pid) + "]";
        for (const std::string& line : c.last.lines)
            lines += line.find(own) != std::string::npos;
    }
    std::vector<int> points;
    const char* stride = getenv("TOVRAND_KILL_STRIDE");
    for (int k = 1; k <= lines; k += stride != nullptr && atoi(stride) > 0 ? atoi(stride) : 7)
        points.push_back(k);
    if (points.empty() || points.back() != lines)
        points.push_back(lines);
    int tried = 0, converged = 0;
    for (int k : points)
    {
        Context c;
        Prepare(c, command.before);
        if (command.step.before)
            command.step.before(c);
        CopyFileW((BinDir() + L"\\variants\\hooks\\TOVRAND64x86.EXE").c_str(), c.OwnCopy().c_str(), FALSE);
        SetEnvironmentVariableW(L"TOVRAND_TEST_HOOK", (L"stop:" + std::to_wstring(k)).c_str());
        ScratchDir temp;
        c.temps.insert(c.temps.end(), {ShortPath(temp.Path()), temp.Path()});
        RunInstaller(c.OwnCopy(), Expand(c, command.step.args), temp.Path());
        SetEnvironmentVariableW(L"TOVRAND_TEST_HOOK", nullptr);
        std::string lost = OthersLost(command, Describe(c.where, c.baseline));
        EXPECT_EQ("", lost) << command.name << " stopped after line " << k;

        if (FileExists(c.OwnCopy()))
            CopyFileW(InstallerPath().c_str(), c.OwnCopy().c_str(), FALSE);
        Step again = command.step;
        again.before = nullptr;
        again.exit = wholeExit;
        RunStep(c, again, false);
        std::string differences = Differences(whole, Normal(Describe(c.where, c.baseline)));
        EXPECT_EQ("", differences) << command.name << " stopped after line " << k << " and run again";
        ++tried;
        converged += differences.empty() && lost.empty() && c.last.process.exitCode == wholeExit;
    }
    WaitForInstallers(40000);
    CleanMachine();
    printf("kill points %s: %d log lines, %d tried, %d converged\n", command.name, lines, tried, converged);
}

template <typename Row>
std::string NameOf(const ::testing::TestParamInfo<Row>& info)
{
    return info.param.name;
}
INSTANTIATE_TEST_SUITE_P(Commands, KillPoints, ::testing::ValuesIn(kCommands), NameOf<Command>);

struct Interleaving
{
    const char* name;
    std::vector<Step> before;
    Step first;
    const char* pauseAt;   // the first stops for four seconds after the first line that holds this
    Step second;
    const char* expect;    // the machine after both, in Expected's outline
};

void PrintTo(const Interleaving& row, std::ostream* os)
{
    *os << row.name;
}

const std::vector<Interleaving> kInterleavings = {
    // The uninstall goes on without the lock: it leaves its installer file to the restart and says so.
    {.name = "AnInstallBeforeItsCountAndTheLastUninstall", .before = {Install("B")}, .first = Install("A"),
     .pauseAt = "BEGIN - IDM_UPDATEUSAGE", .second = Uninstall("B").Exit(1), .expect = "inst 1 A q3"},
    {.name = "AnInstallInItsCopyAndTheLastUninstall", .before = {Install("B")}, .first = Install("A"),
     .pauseAt = "PELLIMAR64x86.INF", .second = Uninstall("B").Exit(1), .expect = "inst 1 A q3"},
    {.name = "AnInstallInItsRegistrationAndAnUninstall", .before = {Install("B")}, .first = Install("A"),
     .pauseAt = "RegisterWithQZ() params", .second = Uninstall("B"), .expect = "inst 1 A q2"},
    {.name = "TheLastUninstallBeforeItsCountAndAnInstall", .before = {Install("B")}, .first = Uninstall("B"),
     .pauseAt = "BEGIN - IDM_UNINSTALL", .second = Install("A"), .expect = "inst 1 A q2; makerdir=absent"},
    {.name = "TheLastUninstallInItsUnregistrationAndAnInstall", .before = {Install("B")}, .first = Uninstall("B"),
     .pauseAt = "UnRegisterWithQZ() params", .second = Install("A"), .expect = "inst 1 A q2"},
    {.name = "AnInstallInItsCopyAndAnotherInstall", .before = {}, .first = Install("A"),
     .pauseAt = "PELLIMAR64x86.INF", .second = Install("C"), .expect = "inst 2 A C q2"},
    {.name = "AnInstallBeforeItsCountAndAnotherInstall", .before = {}, .first = Install("A"),
     .pauseAt = "BEGIN - IDM_UPDATEUSAGE", .second = Install("C"), .expect = "inst 2 A C q2"},
    // Exactly one of two uninstalls is the last user.
    {.name = "AnUninstallBeforeItsCountAndTheOther", .before = {Install("A"), Install("B")}, .first = Uninstall("A"),
     .pauseAt = "BEGIN - IDM_UNINSTALL", .second = Uninstall("B"), .expect = "gone q3; makerdir=absent"},
};

class Interleavings : public ::testing::TestWithParam<Interleaving> {};

TEST_P(Interleavings, NothingOfEitherIsLostAndEachExitCodeIsTrue)
{
    const Interleaving& row = GetParam();
    Context c;
    Prepare(c, row.before);
    ScratchDir firstTemp, secondTemp, secondSetup;
    std::wstring hooks = BinDir() + L"\\variants\\hooks\\TOVRAND64x86.EXE";
    std::wstring secondCopy = secondSetup.File(L"TOVRAND64x86.EXE");
    CopyFileW(hooks.c_str(), c.OwnCopy().c_str(), FALSE);
    CopyFileW(hooks.c_str(), secondCopy.c_str(), FALSE);
    for (const Step* step : {&row.first, &row.second})
        if (step->before)
            step->before(c);
    SetEnvironmentVariableW(L"TOVRAND_TEST_HOOK", (L"pause:4000:" + Widen(row.pauseAt)).c_str());
    HANDLE first = Start(L"\"" + c.OwnCopy() + L"\" " + Expand(c, row.first.args), firstTemp.Path());
    SetEnvironmentVariableW(L"TOVRAND_TEST_HOOK", nullptr);
    std::wstring firstLog = firstTemp.File(L"PELLIMAR.LOG");
    for (int waited = 0; waited < 30000 && ReadFileBytes(firstLog).find(row.pauseAt) == std::string::npos; waited += 50)
        Sleep(50);
    InstallerRun second = RunInstaller(secondCopy, Expand(c, row.second.args), secondTemp.Path(), L"", false);
    Process firstRun = Wait(first);
    WaitForInstallers(40000);
    EXPECT_EQ(0u, firstRun.exitCode);
    EXPECT_EQ(row.second.exit, second.process.exitCode);
    for (const Step* step : {&row.first, &row.second})
        if (step->after)
            step->after(c);
    c.temps = {firstTemp.Path(), ShortPath(firstTemp.Path()), secondTemp.Path(), ShortPath(secondTemp.Path()),
               row.second.exit == 1 ? ShortPath(secondSetup.Path()) : L""};
    ForgetSelfDeleteCopies(c);
    ExpectState(c, row.expect);
    CleanMachine();
}

INSTANTIATE_TEST_SUITE_P(Runs, Interleavings, ::testing::ValuesIn(kInterleavings), NameOf<Interleaving>);
}  // namespace
