// Where the installer keeps everything, by name: the files of the set, the folders they go to, the
// registry keys and values of the counts, registrations and uninstall entry. The one place for each
// name; the installer's steps and the state check read them from here.
#pragma once
#include <windows.h>

#include "base/files.h"
#include "base/wstring.h"

// The payload's files as written to the payload folder and installed.
extern const wchar_t kDriverSysName[];      // "PELLIMAR64x86.SYS"
extern const wchar_t kDriverInfName[];      // "PELLIMAR64x86.INF"
extern const wchar_t kDriverCatName[];      // "PELLIMAR64x86.CAT"
extern const wchar_t kManifestKvmName[];    // "PELLMAR.KVM"
extern const wchar_t kManifestGrdName[];    // "PELLMAR.GRD"
extern const wchar_t kManifestSigName[];    // "PELLMAR.SIG"
extern const wchar_t kInstallerFileName[];  // "TOVRAND64x86.EXE", the installer's copy in the shared folder
extern const wchar_t kRegistrationProgramName[];   // "PLQZREG32.EXE", written to the maker's folder and run
extern const wchar_t kPayloadResourceType[];       // "BINARYRC"

// Folders: the maker's below Program Files, the payload's inside it, the shared one below Common Files,
// the manifests' inside that, the drivers' below the system folder.
extern const wchar_t kMakerDirName[];       // "Norvatek"
extern const wchar_t kPayloadDirName[];     // "TEMP.^^^"
extern const wchar_t kSharedDirName[];      // "Norvatek Shared"
extern const wchar_t kManifestsDirName[];   // "KVManifests"
extern const wchar_t kDriversDirName[];     // "Drivers"

// HKLM keys (64-bit view).
extern const wchar_t kCurrentVersionKey[];   // holds the two folder values below
extern const wchar_t kProgramFilesValue[];   // "ProgramFilesDir"
extern const wchar_t kCommonFilesValue[];    // "CommonFilesDir"
extern const wchar_t kSharedDllsKey[];       // the counts, one value per installed file
extern const wchar_t kSharedUsageKey[];      // other programs' per-file product lists
extern const wchar_t kPellimarKey[];         // a subkey per registered product
extern const wchar_t kInstalledAppsKey[];    // a value per product, written by its setup
extern const wchar_t kUninstallKey[];        // the uninstall entry, its "QuietUninstallString"
extern const wchar_t kUninstallValue[];      // "QuietUninstallString"

// The driver's kernel service, and its key below HKLM.
extern const wchar_t kServiceName[];         // "Pellimar"
extern const wchar_t kServiceKey[];          // "SYSTEM\CurrentControlSet\Services\Pellimar"

// The lock an installer run holds while it changes the machine ("Global\Pellimar_running").
extern const wchar_t kRunningMutexName[];

// Deepest paths the installer builds below "ProgramFilesDir" and "CommonFilesDir": a folder value
// must leave room for them, or they would be cut.
extern const wchar_t kDeepestBelowProgramFiles[];
extern const wchar_t kDeepestBelowCommonFiles[];
// The usual Common Files folder below the system drive, when "CommonFilesDir" cannot be used.
extern const wchar_t kUsualCommonFiles[];   // "\Program Files\Common Files"
extern const wchar_t kUsualProgramFiles[];  // "\Program Files"

// Where everything of ours lies, computed from the three folders the system names. The one rule for
// every path and count name of ours; the installer's start-up and the state check both take it from here.
struct InstallLayout
{
    wchar_t makerDir[kPathChars];      // Program Files\Norvatek
    wchar_t payloadDir[kPathChars];    // Program Files\Norvatek\TEMP.^^^
    wchar_t sharedDir[kPathChars];     // Common Files\Norvatek Shared
    wchar_t manifestsDir[kPathChars];  // Common Files\Norvatek Shared\KVManifests
    wchar_t driversDir[kPathChars];    // the system directory's Drivers
    // The installed files whose paths are also the names of their values in SharedDlls: the driver image
    // (the main count), its copy in the maker's folder (before Vista a count of its own) and the shared
    // copy of the installer (its fixed usage value).
    wchar_t driverImage[kPathChars];
    wchar_t makerDriverImage[kPathChars];
    wchar_t installerCopy[kPathChars];
};

// A pure function: the layout below programFiles, commonFiles and systemDir. An empty or null folder
// leaves everything below it empty (never a path relative to the current directory).
void ComputeLayout(const wchar_t* programFiles, const wchar_t* commonFiles, const wchar_t* systemDir,
                   InstallLayout* layout);

// The folders of the installed set.
enum LayoutFolder
{
    FolderShared,
    FolderDrivers,
    FolderMaker,       // before Vista only
    FolderManifests,   // while the protection manifests are wanted
};
struct LayoutFile
{
    LayoutFolder folder;
    const wchar_t* name;
};
// The installed set, in the order in which the copy step puts it in place.
const int kInstalledSetFiles = 10;
extern const LayoutFile kInstalledSet[kInstalledSetFiles];
const wchar_t* LayoutFolderPath(const InstallLayout& layout, LayoutFolder folder);

// The uninstall entry's command for the installer's shared copy: the path in quotes, then "/U /Q".
void UninstallCommand(const wchar_t* installerCopy, wchar_t* command, int capacity);

// The temporary a file in use is written to and renamed from at the restart: the path with its last
// character made "1" (...\PELLIMAR64x86.SYS gives ...\PELLIMAR64x86.SY1). Empty for an empty path.
void TemporaryOf(const wchar_t* path, wchar_t* temporary, int capacity);
inline void TemporaryOf(const wchar_t* path, CWString& temporary)
{
    TemporaryOf(path, temporary.Buffer(), temporary.Capacity());
}
