// Sequences of real installer runs on the one test machine, as products' setups make them: each step
// is one run, checked for its exit code, its closing box and the whole machine state it leaves.
#pragma once
#include <string>
#include <vector>

#include "e2e.h"
#include "lifecycle_state.h"

namespace harness
{
enum class Action
{
    Install,     // a product's setup installs: it lists its AppID under InstalledApps first
    Update,      // a run without an AppID
    Uninstall,   // a product's setup uninstalls from its own copy of the installer, then drops its listing
    Unlisted,    // an uninstall by a setup that never listed its AppID
};

enum class Phase
{
    NoTrace,       // nothing of the installer
    UpdateOnly,    // what an update-only run on a machine without the driver leaves
    Installed,     // the driver installed and counted (count, products, registration runs)
    Removed,       // the last product gone; the self-delete's temporary copy waits for the restart
    KeptByNoDel,   // the last product gone with NODEL: no count, no product key, everything else stays
};

struct Step
{
    Action action;
    const wchar_t* args;           // the installer's whole command line
    const char* product;           // the product of the run ("" for an update)
    Phase phase;                   // what the machine holds afterwards
    int count;                     // main count when installed
    const char* products;          // registered products afterwards, blank-separated
    int registrationRuns;          // runs of the registration program so far
    DWORD exitCode;
    const wchar_t* box;            // closing text; nullptr when no box may be shown
};

// Runs the installer (exe, or the one under test) with args and TEMP/TMP at tempDir, answering the
// closing box; the log is read from tempDir (several runs may share it).
InstallerRun RunIn(const std::wstring& args, const std::wstring& tempDir, const std::wstring& exe = L"");

// A copy of the installer in a directory of its own, as a product's setup carries it.
std::wstring CopyOfInstaller(const ScratchDir& dir);

// After a last-product uninstall started from ownCopy with TEMP at tempDir: waits until the self-delete
// copy has deleted ownCopy and scheduled itself, and returns that scheduled pair ("" on time-out).
std::string WaitForSelfDelete(const std::wstring& ownCopy, const std::wstring& tempDir);
// Then lets the temporary copy go: deletes it once its process has ended and drops its pending pair.
void ForgetSelfDelete(const std::wstring& tempDir);

// The state that a step's row describes, on a system before Vista or not.
InstallerState ExpectedAfter(const Step& step, bool beforeVista);

// One product lifecycle on a clean machine. Set the Windows version before the first step.
class Sequence
{
public:
    explicit Sequence(bool beforeVista);
    // Runs step and checks everything its row says; label names the step in failure messages.
    InstallerRun Run(const Step& step, const std::string& label);
    // The same against a state that the row alone cannot describe (files in use, restarts). For a
    // last-product uninstall the self-delete's pending pair is added to expected.pending here.
    InstallerRun Run(const Step& step, const std::string& label, InstallerState expected);
    const PendingBaseline& Baseline() const { return m_baseline; }
    // The system changes under the installed products (an upgrade to Vista or later, say).
    void SwitchVersion(bool beforeVista);
    // Restarts the machine, which carries out the whole pending-rename list.
    bool Restart();

private:
    bool m_beforeVista;
    PendingBaseline m_baseline;
    ScratchDir m_setup;            // where the products' setups keep their copy of the installer
};

// Pending renames and deletions of other programs, put on the list for the life of the object and the
// list put back as it was afterwards: an installer run must leave them as they are. One of them
// deletes a file of the driver's name in another directory.
class ForeignPendingRenames
{
public:
    ForeignPendingRenames();

private:
    PendingRenamesGuard m_guard;
};

std::vector<std::string> Words(const std::string& text);
}  // namespace harness
