// Fault tests of the real installer: everything that belongs to others on the test machine (a second
// product installed through the installer, foreign counts, foreign pending renames) is put in place
// first and checked afterwards, so that a fault that loses somebody else's data shows.
#pragma once
#include <string>
#include <vector>

#include "e2e.h"
#include "restart_schedule.h"

namespace harness
{
extern const wchar_t kPendingRenamesValue[];   // PendingFileRenameOperations
extern const wchar_t kCurrentVersionKey[];     // SOFTWARE\Microsoft\Windows\CurrentVersion
extern const wchar_t kForeignDir[];            // C:\TovrandForeign: files of the foreign pending renames

// Raw value of HKLM key\name: type and bytes; false when missing.
struct RawValue
{
    bool exists = false;
    DWORD type = 0;
    std::string bytes;
    bool operator==(const RawValue& o) const
    {
        return exists == o.exists && (!exists || (type == o.type && bytes == o.bytes));
    }
};
RawValue ReadRaw(const std::wstring& key, const wchar_t* name);
void WriteRaw(const std::wstring& key, const wchar_t* name, const RawValue& value);   // !exists deletes
RawValue RawPending();

// The bytes of a string list: each string with its NUL, then the list's closing NUL.
std::string MultiSz(const std::vector<std::wstring>& strings, bool closingNul = true);
std::string Utf16(const std::wstring& text);   // without a terminator

// Puts a system value back exactly (type and bytes, or absent) when it goes: the whole test machine
// depends on values such as "ProgramFilesDir".
class SavedValue
{
public:
    SavedValue(const std::wstring& key, const wchar_t* name);
    ~SavedValue();

private:
    std::wstring m_key;
    std::wstring m_name;
    RawValue m_value;
};

// The installer's main count value name: the drivers directory's PELLIMAR64x86.SYS.
std::wstring MainCountName();
// A clean machine before and after, the pending-rename list and foreign counts put back afterwards.
class FaultTest : public MachineTest
{
protected:
    void TearDown() override;

    // RunCase, then waits for the processes the installer left running: the temporary copy that a
    // last-product uninstall starts to delete the installer file schedules itself for deletion at the
    // next restart after the run has ended, which must not reach into the next test.
    InstallerRun Run(const std::wstring& args, const std::wstring& exe = L"");

    // With otherProduct, installs PRODUCTB through the installer (quiet, no updater) and adds what
    // other programs write for it (InstalledApps, SharedUsage). Always: two foreign SharedDlls counts
    // and three foreign pending renames (two deletions, one rename) of real files in kForeignDir.
    void PlaceBystanders(bool otherProduct);
    // EXPECTs every bystander as placed; context names the case in failure messages. Without
    // checkPending the foreign pending renames are left to the caller (a case that replaced the list).
    void ExpectBystandersUntouched(const std::string& context, bool otherProduct = true, bool checkPending = true);
    // After a restart: the foreign deletions and the rename were carried out.
    void ExpectForeignRenamesCarriedOut();

    // The foreign pending entries as PendingRenameStrings() shows them.
    static std::vector<std::wstring> ForeignPending();
    // The pairs of PendingRenameStrings() whose source lies in kForeignDir.
    static std::vector<std::wstring> ForeignPendingNow();

private:
    PendingRenamesGuard m_pendingGuard;
};

// Waits until every copy of the installer (an image named tovrand*) started by parentPid has ended, at
// most timeoutMs, and removes the scratch directory it ran from.
void WaitForChildProcesses(DWORD parentPid, DWORD timeoutMs);

// A copy of the installer in a place of its own, as a product's setup carries it: a last-product
// uninstall deletes the installer file that runs it.
std::wstring OwnInstallerCopy(const ScratchDir& dir);
}  // namespace harness
