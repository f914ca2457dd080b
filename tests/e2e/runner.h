// The end-to-end runner: a case is a sequence of steps on a clean test machine with other programs'
// data in place (a foreign pending-rename list and SharedDlls counts). A step changes the machine, runs
// the real installer and checks its exit code, closing box, log lines and the whole machine state.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "machine.h"

namespace harness
{
struct Context;
typedef std::function<void(Context&)> Op;

struct Step
{
    Op before;                        // what is done to the machine first
    bool run = true;
    std::wstring args;                // the installer's command line
    std::wstring exe;                 // "" a setup's own copy, "built", "shared", "$..." a path, or bin\variants\exe
    std::wstring cwd;                 // the run's current directory ("" the tests')
    std::wstring temp;                // its TEMP ("" a scratch directory of its own)
    DWORD exit = 0;
    std::wstring box;                 // closing text; "" when no box may be shown
    // Messages the log must hold; "!..." must not, "~..." one of them contains it.
    std::vector<std::string> lines;
    std::string expect;               // the machine afterwards (Expected's outline); "" not compared
    std::string expectXp;             // the same before Vista, when it differs
    bool wait = true;                 // wait for the installer's copies before the checks
    Op after;                         // more checks, or clean-up
    DWORD checkExit = 0;              // what the state check says afterwards, in a case that asks it

    Step& Exit(DWORD code) { exit = code; return *this; }
    Step& Box(const std::wstring& text) { box = text; return *this; }
    Step& Lines(std::vector<std::string> l) { lines = std::move(l); return *this; }
    Step& Expect(const std::string& state, const std::string& xp = "") { expect = state; expectXp = xp; return *this; }
    // Without "Q": the closing box is shown.
    Step& Shown(const std::wstring& text)
    {
        size_t q = args.find(L"/Q ");
        if (q != std::wstring::npos)
            args.erase(q, 3);
        box = text;
        return *this;
    }
    Step& Exe(const std::wstring& which) { exe = which; return *this; }
    Step& In(const std::wstring& dir) { cwd = dir; return *this; }
    Step& Temp(const std::wstring& dir) { temp = dir; return *this; }
    // Each adds to what the step already does before or after its run (Install lists its product first,
    // Uninstall drops the listing afterwards).
    Step& Before(Op op) { before = Then(before, std::move(op)); return *this; }
    Step& After(Op op) { after = Then(after, std::move(op)); return *this; }
    Step& NoWait() { wait = false; return *this; }
    Step& CheckSays(DWORD code) { checkExit = code; return *this; }
    static Op Then(Op first, Op next) { return [first, next](Context& c) { if (first) first(c); next(c); }; }
};

// A product's setup installs: it lists its AppID (with a SharedUsage value) and runs "/Q [extra] PRODUCTx".
Step Install(const char* product, const std::wstring& extra = L"");
// A product's setup uninstalls from its own copy, then drops its listing.
Step Uninstall(const char* product, const std::wstring& extra = L"");
Step Run(const std::wstring& args);
Step Do(Op op);

enum Os { Vista = 1, Xp = 2, Both = 3 };
struct Case
{
    std::string name;
    int os;
    std::vector<Step> steps;
    bool check = false;   // the state check runs after every step that has an expected state
};

// What a step's ops can reach.
struct Context
{
    bool xp = false;
    Locations where;
    ScratchDir setup;                             // a product setup's folder with its own installer copy
    ScratchDir work;                              // anything else a case needs
    std::vector<std::wstring> baseline;           // the pending list the state is compared with
    std::vector<std::unique_ptr<Holder>> holders;
    std::vector<Op> undo;                         // run at the end of the case
    std::vector<std::wstring> temps;              // the runs' temporary directories, short and long paths
    std::map<std::string, std::wstring> names;    // "$..." names, kept from when their files existed
    InstallerRun last;                            // the last run
    int updaterRuns = 0;                          // the updater's runs before the step: "q+K" counts from them
    void Hold(const std::wstring& what);
    std::wstring OwnCopy() const { return setup.File(L"TOVRAND64x86.EXE"); }
};

// A clean machine with the bystanders in place, then the steps before (unchecked) on it.
void Prepare(Context& c, const std::vector<Step>& before);
// Runs one step: what it does first, the installer, its checks (the state check too when check is set).
void RunStep(Context& c, const Step& step, bool check);
// What a run leaves for the restart in its own temporary directory (the pair a self-delete copy leaves
// for itself, an NSIS uninstaller's for its plug-in folder) is dropped, so that it neither reaches into
// the next step nor needs spelling out in every row.
void ForgetSelfDeleteCopies(const Context& c);
// The fields of found that differ from expected (where it says "*", any value does), one a line.
std::string Differences(const State& expected, State found);
// The machine compared with Expected's outline ("$..." names expanded), field by field.
void ExpectState(const Context& c, const std::string& outline, bool afterUninstall = false);

Op Set(const std::wstring& key, const std::wstring& name, const RawValue& value);   // !exists deletes
Op SetSystem(const std::wstring& name, const RawValue& value);   // a CurrentVersion value, put back afterwards
Op HoldFile(const std::wstring& path, DWORD share = 0);      // path: "$drivers\\X" etc., see Expand
// A count change as a run leaves it in a product's key when it stops between its writes (the main count, and
// the maker directory's, before and after): by a process that is gone (id 0 is never a process), or, with
// live, this test's own.
Op Change(const wchar_t* product, bool release, DWORD before, DWORD after, bool live = false,
          DWORD makerBefore = 0xFFFFFFFF, DWORD makerAfter = 0xFFFFFFFF);
Op Pending(const std::vector<std::wstring>& strings);        // appended to the list; "$ours" our deletion
Op Reboot();                                                 // a restart of the machine
Op Os(const std::wstring& version);                          // Wine's Windows version for the installer
Op PlaceShared(const std::wstring& variant);                 // a folder below bin\variants, or "built"
// The installed driver is an older one that the system holds, as a loaded driver is held.
Op HoldDriverAsLoaded();
Op ReadOnly(const std::vector<std::wstring>& paths);
Op Bytes(const std::wstring& path, const std::wstring& from);   // the file's content: another file's
Op Write(const std::wstring& path, const std::string& bytes);
Op Delete(const std::wstring& path);
Op SameBytes(const std::wstring& path, const std::wstring& as);  // check: the two files are equal
// Runs TOVCHECK64.EXE with args: its exit code, its finding ids (sorted), a text its answer holds; it
// must leave the registry, the files and the pending list as they were and write no log.
Op TovCheck(const std::wstring& args, DWORD exit, std::vector<std::string> ids = {}, const char* says = nullptr);
// "$drivers", "$maker", "$shared", "$temp", "$work", "$setup", "$bin", "$windows", "$programs" (Program
// Files) in text replaced by those folders,
// "$payload" by the built payload's folder, "$ours" by our scheduled deletion of the driver ("\??\" and
// its short path), "$sown", "$sshared" and "$sdir" by the short paths of the setup's copy, the shared
// copy and the shared folder (as they were when they last existed).
std::wstring Expand(const Context& c, const std::wstring& text);

struct Row
{
    const Case* c;
    bool xp;
};
std::vector<Row> Rows(const std::vector<Case>& cases);
void PrintTo(const Row& row, std::ostream* os);
std::string RowName(const ::testing::TestParamInfo<Row>& info);
void RunCase(const Row& row);

class E2E : public ::testing::TestWithParam<Row> {};
}  // namespace harness

// One test per case, and on both systems when the case says so.
#define E2E_CASES(group, cases)                                                                            \
    class group : public harness::E2E {};                                                                \
    TEST_P(group, Run) { harness::RunCase(GetParam()); }                                                 \
    INSTANTIATE_TEST_SUITE_P(Rows, group, ::testing::ValuesIn(harness::Rows(cases)), harness::RowName)
