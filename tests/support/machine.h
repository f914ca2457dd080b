// The test machine as the installer sees it: its registry values (raw, in the 64-bit view), where
// the installer's files go, the pending-rename list, a clean slate before each test, and one
// description of everything of ours on the machine, used both to compare with what a test expects and
// to show the difference.
#pragma once
#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace harness
{
extern const wchar_t kCurrentVersion[];   // SOFTWARE\Microsoft\Windows\CurrentVersion
extern const wchar_t kSharedDlls[];
extern const wchar_t kPellimarKey[];
extern const wchar_t kInstalledApps[];
extern const wchar_t kSharedUsage[];      // ...\SharedUsage\PELLIMAR64x86.SYS
extern const wchar_t kUninstallKey[];
extern const wchar_t kServiceKey[];
extern const wchar_t kSessionManager[];
extern const wchar_t kQuazelKey[];

// A value of HKLM: its type and bytes; exists false when it is missing.
struct RawValue
{
    bool exists = false;
    DWORD type = 0;
    std::string bytes;
    bool operator==(const RawValue& o) const { return exists == o.exists && type == o.type && bytes == o.bytes; }
};
RawValue ReadRaw(const std::wstring& key, const wchar_t* name);
bool WriteRaw(const std::wstring& key, const wchar_t* name, const RawValue& value);   // !exists deletes
RawValue Sz(const std::wstring& text, DWORD type = REG_SZ);                            // with its terminator
RawValue Dword(DWORD value);
std::wstring GetString(const std::wstring& key, const wchar_t* name);
// The Pellimar service opened with access, or null; the caller closes it.
SC_HANDLE OpenPellimarService(DWORD access);
bool KeyExists(const std::wstring& key);
void DeleteTree(const std::wstring& key);
// Lets everyone only read key (Wine checks that when a key is opened), or gives the access list sddl,
// until AllowWrites, or the next CleanMachine, puts its access list back.
bool DenyWrites(const std::wstring& key, const wchar_t* sddl = L"D:P(A;;KR;;;WD)");
void AllowWrites();

struct Locations
{
    std::wstring windowsDir, programFiles, commonFiles, driversDir, makerDir, sharedDir, manifestsDir, tempDir;
};
Locations Where();

// PendingFileRenameOperations as its strings (empty targets included, the closing NUL not), and
// written back from them.
std::vector<std::wstring> PendingStrings();
void SetPending(const std::vector<std::wstring>& strings);
// Removes the pairs for which drop(source, target) holds; the value is written only when one goes.
void DropPending(const std::function<bool(const std::wstring&, const std::wstring&)>& drop);
std::string MultiSz(const std::vector<std::wstring>& strings, bool closingNul = true);

// Wine's per-program Windows version for TOVRAND64x86.EXE and TOVCHECK64.EXE ("winxp64", ...; "" for the
// default).
void SetWindowsVersion(const std::wstring& version);

// Removes every trace of the installer (files, keys, service, our pending renames) and of the tests'
// bystanders, so that a test starts on a machine that never saw it.
void CleanMachine();
// What belongs to others, put in place for a test: two foreign SharedDlls counts and three pending
// pairs of foreign files (two deletions, one rename) that no run may touch.
void PlaceBystanders();
std::vector<std::wstring> ForeignPending();

// Everything of ours, one field a fact, every field text. The pending field lists the pairs added
// since baseline and those of baseline that are gone ("lost ..."); the foreign field is "kept" while
// the foreign SharedDlls counts are as PlaceBystanders left them; the listed field names the products
// listed under InstalledApps (what the products' setups write, compared only where an outline names it).
typedef std::map<std::string, std::string> State;
State Describe(const Locations& where, const std::vector<std::wstring>& baseline);
std::string Show(const State& state);
// What a machine holds after runs, from an outline: "clean", "upd" (an update-only run on a machine
// without the driver), "gone" (the last product left), "nodel" (the last product left with NODEL), or
// "inst N A B..." (the driver counted N times for PRODUCTA, PRODUCTB...), each with "q+K" when the updater
// ran K times more than the runsBefore it had run before (absolute: "qN"; none: as before), then
// "; field=value" overrides ("*": not compared). xp: a system before Vista; afterUninstall: the run was
// an uninstall, which removes the emptied maker's directory.
State Expected(const Locations& where, const std::string& outline, bool xp, bool afterUninstall, int runsBefore = 0);
// How often the updater registration program has run on this machine (its record's RunCount).
int UpdaterRuns();
}  // namespace harness
