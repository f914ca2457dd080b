#include "context/locations.h"

#include "base/access.h"
#include "base/log.h"
#include "base/registry.h"
#include "context/globalinfo.h"
#include "context/platform.h"

namespace
{
// A drive's root or a share: anything else would be taken relative to the current directory or drive.
bool IsAbsolutePath(const wchar_t* path)
{
    bool drive = ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
                 path[1] == L':' && path[2] == L'\\';
    bool share = path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\0';
    return drive || share;
}
}  // namespace

LONG ReadFolderValue(CRegistryEntry* entry, const wchar_t* deepest, CWString& folder)
{
    wchar_t raw[kPathChars];
    DWORD type = 0;
    DWORD size = sizeof(raw);
    LONG rc = entry->QueryValue(&type, raw, &size);
    if (rc == ERROR_FILE_NOT_FOUND)
        return rc;
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return ERROR_BAD_PATHNAME;
    // The registry adds no terminator of its own: a value stored without one ends where its data ends,
    // and one that fills the whole buffer without one is longer than any path.
    DWORD chars = size / sizeof(wchar_t);
    if (chars >= static_cast<DWORD>(kPathChars))
    {
        if (raw[kPathChars - 1] != L'\0')
            return ERROR_BAD_PATHNAME;
        chars = kPathChars - 1;
    }
    raw[chars] = L'\0';
    wchar_t expanded[kPathChars];
    const wchar_t* text = raw;
    if (type == REG_EXPAND_SZ)
    {
        DWORD needed = ExpandEnvironmentStringsW(raw, expanded, kPathChars);
        if (needed == 0 || needed > static_cast<DWORD>(kPathChars))
            return ERROR_BAD_PATHNAME;
        text = expanded;
    }
    if (!IsAbsolutePath(text) || lstrlenW(text) + lstrlenW(deepest) >= kPathChars)
        return ERROR_BAD_PATHNAME;
    folder = text;
    return ERROR_SUCCESS;
}

LONG ReadSystemFolder(const wchar_t* valueName, BOOL store, CWString& folder)
{
    bool programFiles = lstrcmpW(valueName, kProgramFilesValue) == 0;
    CRegistryEntry entry(HKEY_LOCAL_MACHINE, kCurrentVersionKey, valueName);
    LONG rc = ReadFolderValue(&entry, programFiles ? kDeepestBelowProgramFiles : kDeepestBelowCommonFiles, folder);
    if (rc == ERROR_SUCCESS)
        return rc;
    wchar_t system[MAX_PATH];
    UINT n = GetSystemDirectoryW(system, MAX_PATH);
    folder.Format(L"%c:%s", n > 0 && n < MAX_PATH ? system[0] : L'C',
                  programFiles ? kUsualProgramFiles : kUsualCommonFiles);
    // Stored only where no value is: one that is there belongs to the system, however unusable.
    if (store && rc == ERROR_FILE_NOT_FOUND)
        entry.SetValue(REG_SZ, folder.Str(), static_cast<DWORD>((folder.Length() + 1) * sizeof(wchar_t)));
    return rc;
}

void SharedDirOfRuns(CWString& sharedDir)
{
    CWString commonFiles(kPathChars);
    ReadSystemFolder(kCommonFilesValue, FALSE, commonFiles);
    InstallLayout layout;
    ComputeLayout(nullptr, commonFiles.Str(), nullptr, &layout);
    sharedDir = layout.sharedDir;
}

BOOL CheckForExistingDriver(GlobalInfo* info)
{
    LogEvent("  Checking for existing Pellimar...");
    BOOL found = FALSE;
    const wchar_t* places[] = {info->MakerDir.IsEmpty() ? L"" : info->Layout.makerDriverImage,
                               info->Layout.driverImage};
    for (const wchar_t* path : places)
    {
        if (IsExistingFile(path))
        {
            LogEvent("  Found: %s", path);
            found = TRUE;
        }
    }
    if (!found)
        LogEvent("  Pellimar wasn't found on the system.");
    else
        LogEvent("  Pellimar was found on the system.");
    info->DriverFound = found;
    return found;
}

BOOL DetermineSharedDir(GlobalInfo* info, BOOL create)
{
    if (info->SharedDir.IsEmpty())
        return FALSE;   // it could not be created at start-up
    if (IsExistingDirectory(info->SharedDir.Str()))
        return TRUE;
    if (!create)
        return FALSE;
    if (CreateAdminFolder(info->SharedDir.Str()))
    {
        LogEvent("Norvatek CommonFilesDir created using %s", info->SharedDir.Str());
        return TRUE;
    }
    LogEvent("Cannot create Norvatek common directory %s", info->SharedDir.Str());
    info->SharedDir = L"";
    return FALSE;
}

BOOL PrepareKvManifestsDir(GlobalInfo* info, BOOL create)
{
    // The shared folder first: the manifests' folder lies in it. Without it there is none.
    DetermineSharedDir(info, create);
    if (info->SharedDir.IsEmpty())
    {
        info->KvManifestsDir = L"";
        return FALSE;
    }
    if (IsExistingDirectory(info->KvManifestsDir.Str()))
    {
        LogEvent("Manifests directory already exists.");
        return TRUE;
    }
    if (!create)
        return FALSE;
    if (CreateAdminFolder(info->KvManifestsDir.Str()))
    {
        LogEvent("Manifests directory created.");
        return TRUE;
    }
    LogEvent("Failed to create Manifests directory.");
    info->KvManifestsDir = L"";
    return FALSE;
}

int GetInstalledSet(const GlobalInfo* info, bool everyPlace, InstalledFile* files)
{
    bool makerCopies = everyPlace || !IsWinVistaOrBetter();
    bool manifests = everyPlace || info->KvManifest;
    int count = 0;
    for (const LayoutFile& file : kInstalledSet)
    {
        const CWString* dir = file.folder == FolderShared    ? &info->SharedDir
                              : file.folder == FolderDrivers ? &info->DriversDir
                              : file.folder == FolderMaker   ? (makerCopies ? &info->MakerDir : nullptr)
                                                             : (manifests ? &info->KvManifestsDir : nullptr);
        if (dir != nullptr && !dir->IsEmpty())
            files[count++] = {dir, file.name, file.folder == FolderShared};
    }
    return count;
}
