#include "context/locations.h"

#include "base/alloc.h"
#include "base/handle.h"
#include "base/log.h"
#include "base/registry.h"
#include "context/globalinfo.h"
#include "context/platform.h"



namespace
{

// The drive of the system directory, for the fallback locations.
wchar_t SystemDrive(const GlobalInfo* info)
{
    if (!info->SystemDir.IsEmpty())
        return info->SystemDir.Str()[0];
    wchar_t system[MAX_PATH];
    UINT n = GetSystemDirectoryW(system, MAX_PATH);
    return n > 0 && n < MAX_PATH ? system[0] : L'C';
}


// Reads "CommonFilesDir" into commonFiles, or the system drive's usual location when it cannot be used.
void ReadCommonFilesDir(const GlobalInfo* info, CRegistryEntry* entry, CWString& commonFiles)
{
    if (ReadFolderValueOrUsual(entry, kDeepestBelowCommonFiles, SystemDrive(info), kUsualCommonFiles,
                               commonFiles) == ERROR_SUCCESS)
        LogEvent("Common Files dir location found using CommonFilesDir: %s", commonFiles.Str());
    else
        LogEvent("Cannot determine CommonFilesDir location, using %s", commonFiles.Str());
}

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

LONG ReadFolderValueOrUsual(CRegistryEntry* entry, const wchar_t* deepest, wchar_t drive, const wchar_t* usual,
                            CWString& folder)
{
    LONG rc = ReadFolderValue(entry, deepest, folder);
    if (rc == ERROR_SUCCESS)
        return rc;
    // Stored only where no value is: one that is there belongs to the system, however unusable.
    folder.Format(L"%c:%s", drive, usual);
    if (rc == ERROR_FILE_NOT_FOUND)
        entry->SetValue(REG_SZ, folder.Str(), static_cast<DWORD>((folder.Length() + 1) * sizeof(wchar_t)));
    return rc;
}

void SharedDirOfRuns(CWString& sharedDir)
{
    CRegistryEntry entry(HKEY_LOCAL_MACHINE, kCurrentVersionKey, L"CommonFilesDir");
    if (ReadFolderValue(&entry, kDeepestBelowCommonFiles, sharedDir) != ERROR_SUCCESS)
    {
        wchar_t system[MAX_PATH];
        UINT n = GetSystemDirectoryW(system, MAX_PATH);
        sharedDir.Format(L"%c:%s", n > 0 && n < MAX_PATH ? system[0] : L'C', kUsualCommonFiles);
    }
    sharedDir.AppendPathComponent(kSharedDirName);
}

BOOL CheckForExistingDriver(GlobalInfo* info)
{
    LogEvent("  Checking for existing Pellimar...");
    BOOL found = FALSE;
    CWString path(kPathChars);
    const CWString* places[] = {&info->MakerDir, &info->DriversDir};
    for (const CWString* dir : places)
    {
        JoinPath(path, *dir, kDriverSysName);
        if (IsExistingFile(path.Str()))
        {
            LogEvent("  Found: %s", path.Str());
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
    {
        CRegistryEntry entry(HKEY_LOCAL_MACHINE, kCurrentVersionKey, L"CommonFilesDir");
        CWString commonFiles(kPathChars);
        ReadCommonFilesDir(info, &entry, commonFiles);
        JoinPath(info->SharedDir, commonFiles, kSharedDirName);
    }

    if (IsExistingDirectory(info->SharedDir.Str()))
        return TRUE;
    if (!create)
        return FALSE;
    if (CreateDirectoryW(info->SharedDir.Str(), nullptr))
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
    if (info->SharedDir.IsEmpty())
        DetermineSharedDir(info, create);
    // No shared folder, no manifests directory: its name alone would point into the current directory.
    if (info->SharedDir.IsEmpty())
    {
        info->KvManifestsDir = L"";
        return FALSE;
    }
    JoinPath(info->KvManifestsDir, info->SharedDir, kManifestsDirName);
    if (IsExistingDirectory(info->KvManifestsDir.Str()))
    {
        LogEvent("Manifests directory already exists.");
        return TRUE;
    }
    if (!create)
        return FALSE;
    if (CreateDirectoryW(info->KvManifestsDir.Str(), nullptr))
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
    int count = 0;
    if (!info->SharedDir.IsEmpty())
        files[count++] = {&info->SharedDir, kInstallerFileName, true};
    bool makerCopies = !info->MakerDir.IsEmpty() && (everyPlace || !IsWinVistaOrBetter());
    for (const wchar_t* name : {kDriverSysName, kDriverInfName, kDriverCatName})
    {
        files[count++] = {&info->DriversDir, name, false};
        if (makerCopies)
            files[count++] = {&info->MakerDir, name, false};
    }
    if ((info->KvManifest || everyPlace) && !info->KvManifestsDir.IsEmpty())
    {
        for (const wchar_t* name : {kManifestKvmName, kManifestGrdName, kManifestSigName})
            files[count++] = {&info->KvManifestsDir, name, false};
    }
    return count;
}
