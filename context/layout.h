// Where the installer keeps everything, by name: the files of the set, the folders they go to, the
// registry keys and values of the counts, registrations and uninstall entry. The one place for each
// name; the installer's steps and the state check read them from here.
#pragma once
#include <windows.h>

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
extern const wchar_t kCurrentVersionKey[];   // "ProgramFilesDir" and "CommonFilesDir"
extern const wchar_t kSharedDllsKey[];       // the counts, one value per installed file
extern const wchar_t kSharedUsageKey[];      // other programs' per-file product lists
extern const wchar_t kPellimarKey[];         // a subkey per registered product
extern const wchar_t kInstalledAppsKey[];    // a value per product, written by its setup
extern const wchar_t kUninstallKey[];        // the uninstall entry, its "QuietUninstallString"
extern const wchar_t kUninstallValue[];      // "QuietUninstallString"

// The lock an installer run holds while it changes the machine ("Global\Pellimar_running").
extern const wchar_t kRunningMutexName[];

// Deepest paths the installer builds below "ProgramFilesDir" and "CommonFilesDir": a folder value
// must leave room for them, or they would be cut.
extern const wchar_t kDeepestBelowProgramFiles[];
extern const wchar_t kDeepestBelowCommonFiles[];
// The usual Common Files folder below the system drive, when "CommonFilesDir" cannot be used.
extern const wchar_t kUsualCommonFiles[];   // "\Program Files\Common Files"
extern const wchar_t kUsualProgramFiles[];  // "\Program Files"
