// Install locations: the maker's, shared and manifests directories as the system's folder values give
// them, the installed set of files, and the test for an installed driver.
#pragma once
#include <windows.h>

#include "base/files.h"
#include "base/wstring.h"
#include "context/layout.h"

class CRegistryEntry;
class GlobalInfo;

// Reads a folder value of HKLM kCurrentVersionKey through entry: a string, or an expandable string
// expanded, naming an absolute path that leaves room for deepest below it. ERROR_SUCCESS with the
// folder; ERROR_FILE_NOT_FOUND when the value is missing; ERROR_BAD_PATHNAME when it is there but
// unusable (another type, empty, relative, too long), which makes it as good as unreadable.
LONG ReadFolderValue(CRegistryEntry* entry, const wchar_t* deepest, CWString& folder);
// The folder that valueName (kProgramFilesValue or kCommonFilesValue) names, or the system drive's usual
// one when the value cannot be used: ERROR_SUCCESS when the value was used, otherwise ReadFolderValue's
// code. With store, a missing value is written as the usual folder (the installer's runs do so); a value
// that is there, however unusable, belongs to the system and is never overwritten.
LONG ReadSystemFolder(const wchar_t* valueName, BOOL store, CWString& folder);

// The shared folder the runs use: "CommonFilesDir" joined with "Norvatek Shared" when the value is
// usable, otherwise the same below the system drive's usual Common Files folder. Stores nothing.
void SharedDirOfRuns(CWString& sharedDir);

// Looks for the driver image in MakerDir and DriversDir; sets DriverFound to the result.
BOOL CheckForExistingDriver(GlobalInfo* info);
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
// The installed set in the order in which the copy step puts it in place: the installer's copy, the
// driver, INF and catalogue in the drivers directory (each followed by its copy in the maker's directory
// before Vista), then the manifests while KvManifest is set. everyPlace adds what an install on this
// system would not put there but an earlier one may have: the maker's copies and the manifests.
// Files whose directory is unknown are left out. The number of files, at most kInstalledSetFiles.
int GetInstalledSet(const GlobalInfo* info, bool everyPlace, InstalledFile* files);
