// Install locations and the embedded payload: the maker's temporary, shared and manifests
// directories, writing the "BINARYRC" resources out and removing them again, and the test for an
// installed driver.
#pragma once
#include <windows.h>

#include "base/wstring.h"

class CRegistryEntry;
class GlobalInfo;

// File names of the payload as written to TempDir and installed.
extern const wchar_t kDriverSysName[];      // "PELLIMAR64x86.SYS"
extern const wchar_t kDriverInfName[];      // "PELLIMAR64x86.INF"
extern const wchar_t kDriverCatName[];      // "PELLIMAR64x86.CAT"
extern const wchar_t kManifestKvmName[];    // "PELLMAR.KVM"
extern const wchar_t kManifestGrdName[];    // "PELLMAR.GRD"
extern const wchar_t kManifestSigName[];    // "PELLMAR.SIG"
extern const wchar_t kInstallerFileName[];  // "TOVRAND64x86.EXE", the installer's copy in SharedDir
extern const wchar_t kPayloadResourceType[];   // "BINARYRC"
extern const wchar_t kSharedDirName[];      // "Norvatek Shared", below the Common Files directory
// HKLM key of "ProgramFilesDir" and "CommonFilesDir".
extern const wchar_t kCurrentVersionKey[];

// The lock an installer run holds while it changes the machine ("Global\Pellimar_running").
extern const wchar_t kRunningMutexName[];

// Deepest paths the installer builds below "ProgramFilesDir" and "CommonFilesDir": a folder value
// must leave room for them, or they would be cut.
extern const wchar_t kDeepestBelowProgramFiles[];
extern const wchar_t kDeepestBelowCommonFiles[];

// Reads a folder value of HKLM kCurrentVersionKey through entry: a string, or an expandable string
// expanded, naming an absolute path that leaves room for deepest below it. ERROR_SUCCESS with the
// folder; ERROR_FILE_NOT_FOUND when the value is missing; ERROR_BAD_PATHNAME when it is there but
// unusable (another type, empty, relative, too long), which makes it as good as unreadable.
LONG ReadFolderValue(CRegistryEntry* entry, const wchar_t* deepest, CWString& folder);
// The same, but a value that cannot be used gives drive:usual (usual begins with a backslash) as the
// folder for this run, which is stored as the value only when there is none.
LONG ReadFolderValueOrUsual(CRegistryEntry* entry, const wchar_t* deepest, wchar_t drive, const wchar_t* usual,
                            CWString& folder);

// The shared folder the runs use: "CommonFilesDir" joined with "Norvatek Shared" when the value is
// usable, otherwise the same below the system drive's usual Common Files folder. Stores nothing.
void SharedDirOfRuns(CWString& sharedDir);

// out = dir joined with name. An empty dir gives an empty out: a bare name would be taken relative
// to the current directory, which is never what the installer means.
void JoinPath(CWString& out, const CWString& dir, const wchar_t* name);

// FindFirstFileW on the path itself: the first entry's directory attribute decides.
BOOL IsExistingDirectory(const wchar_t* path);
BOOL IsExistingFile(const wchar_t* path);

// Writes one resource of the module byte for byte to path (replacing a file of that name).
// 0 on success, non-zero on failure (logged).
DWORD WriteResourceToFile(HMODULE module, int id, const wchar_t* type, const wchar_t* path);

// Creates TempDir when missing and writes the payload files into it. TRUE when all were written.
BOOL ExtractFiles(GlobalInfo* info);
// Looks for the driver image in MakerDir and DriversDir; sets DriverFound to the result.
BOOL CheckForExistingDriver(GlobalInfo* info);
// Deletes every payload name from TempDir and removes the directory. Always TRUE.
BOOL RemoveExtractedFiles(GlobalInfo* info);
// Fills SharedDir when empty and creates the directory when allowed. TRUE when it exists now.
BOOL DetermineSharedDir(GlobalInfo* info, BOOL create);
// Fills KvManifestsDir and creates the directory when allowed. TRUE when it exists now.
BOOL PrepareKvManifestsDir(GlobalInfo* info, BOOL create);

// One file of the installed set: its directory and its name.
struct InstalledFile
{
    const CWString* dir;
    const wchar_t* name;
    bool installer;   // the installer's own copy, put in place from the running program, not the payload
};
// Room for every file of the set.
const int kMaxInstalledFiles = 10;
// The installed set in the order in which the copy step puts it in place: the installer's copy, the
// driver, INF and catalogue in the drivers directory (each followed by its copy in the maker's directory
// before Vista), then the manifests while KvManifest is set. everyPlace adds what an install on this
// system would not put there but an earlier one may have: the maker's copies and the manifests.
// Files whose directory is unknown are left out. The number of files.
int GetInstalledSet(const GlobalInfo* info, bool everyPlace, InstalledFile* files);
