// The installer's footprint on the test machine: where it lives, a clean slate before each end-to-end
// test, and a readable dump of everything of ours for expected-vs-found messages.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "restart_schedule.h"

namespace harness
{
struct Locations
{
    std::wstring programFiles;   // "ProgramFilesDir"
    std::wstring commonFiles;    // "CommonFilesDir"
    std::wstring driversDir;     // system32\drivers
    std::wstring makerDir;       // Program Files\Norvatek
    std::wstring sharedDir;      // Common Files\Norvatek Shared
    std::wstring manifestsDir;   // ...\Norvatek Shared\KVManifests
    std::wstring tempDir;        // Norvatek\TEMP.^^^
};
Locations Where();

extern const wchar_t kSharedDlls[];
extern const wchar_t kPellimarKey[];
extern const wchar_t kUninstallKey[];
extern const wchar_t kServiceKey[];
extern const wchar_t kSessionManager[];
extern const wchar_t kQuazelKey[];
extern const wchar_t kLanmanKey[];
extern const wchar_t kInstalledApps[];

// Removes every trace of the installer (files, keys, service, our pending renames) so a test starts
// from a machine that never saw it. Foreign pending renames are kept.
void CleanMachine();
// Waits until no installer process (TOVRAND64x86.EXE, a tovrand*.exe self-delete copy) is running.
void WaitForInstallers(DWORD timeoutMs);

// Count value of a file in SharedDlls: type and text ("" when missing). REG_SZ as its text,
// REG_DWORD as "dword:N".
std::string SharedDllsValue(const std::wstring& path);
std::string MainCount();    // drivers-directory driver image
std::string MakerCount();   // maker-directory driver image
bool ServiceExists();
void SetPendingRenames(const std::vector<std::wstring>& entries);   // empty list deletes the value

// Everything of ours on the machine, one fact a line, for failure messages and state comparisons.
std::string DumpState();

// Wine's per-program Windows version for TOVRAND64x86.EXE ("winxp64", "win7", ...; "" removes it).
void SetWindowsVersion(const std::wstring& version);
}  // namespace harness
