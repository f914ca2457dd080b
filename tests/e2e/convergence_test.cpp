// Runs that stop half-way, and runs that run into each other. Kill points: the last step of a lifecycle
// command is run by a test copy of the installer that ends itself after its k-th log line, as a
// deployment tool's time-out would, for every k; the same command then runs again and the machine must be
// what one whole run leaves, while no other product's data changes at any point. The full sweep is the
// ctest label "sweep" (TOVRAND_KILL_STRIDE=1); the ordinary run takes every seventh line.
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

// The machine as a whole run leaves it: how often the updater ran is no part of that.
State Normal(State s)
{
    std::string& qz = s["qz"];
    size_t first = qz.find(' ');
    if (first != std::string::npos)
        qz.erase(first, qz.find(' ', first + 1) - first);
    return s;
}

std::string Differences(const State& expected, const State& found)
{
    std::string out;
    for (const auto& field : expected)
        if (found.at(field.first) != field.second)
            out += " " + field.first + "='" + found.at(field.first) + "' (whole run: '" + field.second + "')";
    return out;
}

// A fresh machine in the command's starting state.
void Prepare(Context& c, const Command& command)
{
    CleanMachine();
    PlaceBystanders();
    c.where = Where();
    c.baseline = PendingStrings();
    for (const Step& step : command.before)
        RunStep(c, step, false);
}

// Another product's use of the driver, as the starting machine holds it, at any moment of the run.
std::string OthersLost(const Command& command, const State& s)
{
    std::string lost;
    if (s.at("foreign") != "kept" || s.at("pending").find("lost ") != std::string::npos)
        lost += " foreign data";
    if (command.before.size() > 1 && (s.at("products").find("PRODUCTB(dword:1)") == std::string::npos ||
                                      s.at("sharedusage").find("PRODUCTB") == std::string::npos ||
                                      atoi(s.at("count").c_str()) < 1))
        lost += " PRODUCTB's registration or count";
    if (command.name == std::string("SecondInstall") &&
        (s.at("products").find("PRODUCTB(dword:1)") == std::string::npos || atoi(s.at("count").c_str()) < 1))
        lost += " PRODUCTB's registration or count";
    return lost;
}

int Stride()
{
    const char* stride = getenv("TOVRAND_KILL_STRIDE");
    return stride != nullptr && atoi(stride) > 0 ? atoi(stride) : 7;
}

class KillPoints : public ::testing::TestWithParam<Command>
{
};

TEST_P(KillPoints, TheSameCommandAgainFinishesTheJob)
{
    const Command& command = GetParam();
    State whole;
    DWORD wholeExit = 0;
    int lines = 0;
    {
        Context c;
        Prepare(c, command);
        RunStep(c, command.step, false);
        whole = Normal(Describe(c.where, c.baseline));
        wholeExit = c.last.process.exitCode;
        std::string own = "[PID:" + std::to_string(c.last.process.pid) + "]";
        for (const std::string& line : c.last.lines)
            lines += line.find(own) != std::string::npos;
    }
    std::vector<int> points;
    for (int k = 1; k <= lines; k += Stride())
        points.push_back(k);
    if (points.empty() || points.back() != lines)
        points.push_back(lines);
    int tried = 0, converged = 0;
    for (int k : points)
    {
        Context c;
        Prepare(c, command);
        Step killed = command.step;
        killed.after = nullptr;
        if (killed.before)
            killed.before(c);
        CopyFileW((BinDir() + L"\\variants\\hooks\\TOVRAND64x86.EXE").c_str(), c.OwnCopy().c_str(), FALSE);
        SetEnvironmentVariableW(L"TOVRAND_TEST_HOOK", (L"stop:" + std::to_wstring(k)).c_str());
        ScratchDir temp;
        c.temps.insert(c.temps.end(), {ShortPath(temp.Path()), temp.Path()});
        InstallerRun run = RunInstaller(c.OwnCopy(), Expand(c, killed.args), temp.Path());
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
        EXPECT_EQ("", differences) << command.name << " stopped after line " << k << " ("
                                   << (run.process.exitCode == 0xDEAD ? "stopped" : "ended") << ") and run again";
        ++tried;
        converged += differences.empty() && lost.empty() && c.last.process.exitCode == wholeExit;
    }
    WaitForInstallers(40000);
    CleanMachine();
    printf("kill points %s: %d log lines, %d tried, %d converged\n", command.name, lines, tried, converged);
}

INSTANTIATE_TEST_SUITE_P(Commands, KillPoints, ::testing::ValuesIn(kCommands),
                         [](const ::testing::TestParamInfo<Command>& info) { return std::string(info.param.name); });
}  // namespace
