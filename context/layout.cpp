#include "context/layout.h"

#include <stdio.h>

#include "base/files.h"

const wchar_t kDriverSysName[] = L"PELLIMAR64x86.SYS";
const wchar_t kDriverInfName[] = L"PELLIMAR64x86.INF";
const wchar_t kDriverCatName[] = L"PELLIMAR64x86.CAT";
const wchar_t kManifestKvmName[] = L"PELLMAR.KVM";
const wchar_t kManifestGrdName[] = L"PELLMAR.GRD";
const wchar_t kManifestSigName[] = L"PELLMAR.SIG";
const wchar_t kInstallerFileName[] = L"TOVRAND64x86.EXE";
const wchar_t kRegistrationProgramName[] = L"PLQZREG32.EXE";
const wchar_t kPayloadResourceType[] = L"BINARYRC";

const wchar_t kMakerDirName[] = L"Norvatek";
const wchar_t kPayloadDirName[] = L"TEMP.^^^";
const wchar_t kSharedDirName[] = L"Norvatek Shared";
const wchar_t kManifestsDirName[] = L"KVManifests";
const wchar_t kDriversDirName[] = L"Drivers";

const wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const wchar_t kProgramFilesValue[] = L"ProgramFilesDir";
const wchar_t kCommonFilesValue[] = L"CommonFilesDir";
const wchar_t kSharedDllsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\SharedDlls";
const wchar_t kSharedUsageKey[] = L"Software\\Norvatek\\SharedUsage";
const wchar_t kPellimarKey[] = L"SOFTWARE\\Norvatek\\Pellimar";
const wchar_t kInstalledAppsKey[] = L"SOFTWARE\\Norvatek\\InstalledApps";
const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tovrand";
const wchar_t kUninstallValue[] = L"QuietUninstallString";

const wchar_t kServiceName[] = L"Pellimar";
const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Pellimar";

const wchar_t kRunningMutexName[] = L"Global\\Pellimar_running";

const wchar_t kDeepestBelowProgramFiles[] = L"\\Norvatek\\TEMP.^^^\\PELLIMAR64x86.SYS";
const wchar_t kDeepestBelowCommonFiles[] = L"\\Norvatek Shared\\KVManifests\\PELLMAR.KVM";
const wchar_t kUsualCommonFiles[] = L"\\Program Files\\Common Files";
const wchar_t kUsualProgramFiles[] = L"\\Program Files";

const LayoutFile kInstalledSet[kInstalledSetFiles] = {
    {FolderShared, kInstallerFileName},  {FolderDrivers, kDriverSysName},  {FolderMaker, kDriverSysName},
    {FolderDrivers, kDriverInfName},     {FolderMaker, kDriverInfName},    {FolderDrivers, kDriverCatName},
    {FolderMaker, kDriverCatName},       {FolderManifests, kManifestKvmName}, {FolderManifests, kManifestGrdName},
    {FolderManifests, kManifestSigName},
};

void ComputeLayout(const wchar_t* programFiles, const wchar_t* commonFiles, const wchar_t* systemDir,
                   InstallLayout* layout)
{
    JoinPath(layout->makerDir, kPathChars, programFiles, kMakerDirName);
    JoinPath(layout->payloadDir, kPathChars, layout->makerDir, kPayloadDirName);
    JoinPath(layout->sharedDir, kPathChars, commonFiles, kSharedDirName);
    JoinPath(layout->manifestsDir, kPathChars, layout->sharedDir, kManifestsDirName);
    JoinPath(layout->driversDir, kPathChars, systemDir, kDriversDirName);
    JoinPath(layout->driverImage, kPathChars, layout->driversDir, kDriverSysName);
    JoinPath(layout->makerDriverImage, kPathChars, layout->makerDir, kDriverSysName);
    JoinPath(layout->installerCopy, kPathChars, layout->sharedDir, kInstallerFileName);
}

const wchar_t* LayoutFolderPath(const InstallLayout& layout, LayoutFolder folder)
{
    switch (folder)
    {
    case FolderShared: return layout.sharedDir;
    case FolderDrivers: return layout.driversDir;
    case FolderMaker: return layout.makerDir;
    default: return layout.manifestsDir;
    }
}

void UninstallCommand(const wchar_t* installerCopy, wchar_t* command, int capacity)
{
    _snwprintf(command, capacity - 1, L"\"%s\" /U /Q", installerCopy);
    command[capacity - 1] = L'\0';
}

void TemporaryOf(const wchar_t* path, wchar_t* temporary, int capacity)
{
    int length = path != nullptr ? lstrlenW(path) : 0;
    if (length == 0 || length >= capacity)
    {
        if (capacity > 0)
            temporary[0] = L'\0';
        return;
    }
    lstrcpyW(temporary, path);
    temporary[length - 1] = L'1';
}
