// Whole-machine state of the installer for sequences of real runs: what a test expects after a run,
// what the machine really holds, and a field-by-field comparison that names every difference.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "machine.h"

namespace harness
{
// Every field is text, so that expected and found print the same way. "absent" means the key, value,
// service or directory does not exist; an existing directory lists its entries sorted ("" when empty).
struct InstallerState
{
    std::string mainCount;        // SharedDlls value of the drivers-directory image, as MainCount() shows it
    std::string makerCount;       // the same for the maker-directory image
    std::string installerUsage;   // SharedDlls value of the shared copy of the installer
    std::string pellimarKey;      // product subkeys, sorted, each with its Dir1: "PRODUCTA(Dir1=1)"
    std::string uninstallEntry;   // QuietUninstallString
    std::string service;          // service manager and key: "present ImagePath=..."
    std::string cachedOpenLimit;
    std::string driversDir;       // which of our file names the drivers directory holds
    std::string makerDir;
    std::string sharedDir;
    std::string manifestsDir;
    std::string pending;          // pending-rename pairs added since the test began: "[from]->[to]"
    std::string quazel;           // the registration program's record: "registered=1 runs=2 last='...'"
};

// Nothing of the installer on the machine.
InstallerState NoTrace();
// The driver installed for products (each registered with Dir1 = 1), the main count at count, and the
// registration program run registrationRuns times (none: no record), the last time to register. Before Vista the maker's
// directory holds the driver files too and carries the same count.
InstallerState Installed(int count, const std::vector<std::string>& products, int registrationRuns,
                         bool beforeVista = false);
// What the last product's uninstall leaves: the server setting, and the updater told to unregister.
// The pending deletion of the self-delete's temporary copy is the caller's to add.
InstallerState Removed(int registrationRuns);

// Pending-rename list at the start of a test: pairs of other programs, or of earlier tests. A
// comparison shows what was added to it since, and what of it was lost or changed.
class PendingBaseline
{
public:
    PendingBaseline();
    // Pairs added since the start, "[from]->[to]" each, then pairs of the start that are gone,
    // "lost [from]->[to]" each; blank-separated.
    std::string Changes() const;
    // A restart carried out the whole list: from now on nothing is expected of it.
    void Restarted() { m_entries.clear(); }
    // Takes one pair away from the real list again (a scheduled deletion the test has looked at).
    static void Drop(const std::wstring& from, const std::wstring& to);

private:
    std::vector<std::wstring> m_entries;
};

std::string PendingPair(const std::wstring& from, const std::wstring& to);

InstallerState ReadInstallerState(const PendingBaseline& baseline);

// Success when the machine holds exactly expected; otherwise one line per differing field, with what
// was expected and what was found, and the whole dump of the machine.
::testing::AssertionResult MachineIs(const InstallerState& expected, const PendingBaseline& baseline);
}  // namespace harness
