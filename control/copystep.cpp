#include "control/copystep.h"

#include "base/alloc.h"
#include "base/log.h"
#include "context/globalinfo.h"
#include "context/locations.h"
#include "context/platform.h"
#include "control/entry.h"
#include "resources/resource.h"
#include "system/pendingrenames.h"

CWStringArray* CopyList = nullptr;
int CopyIndex = 0;

namespace
{
const wchar_t* const kDriverFiles[] = {kDriverSysName, kDriverInfName, kDriverCatName};
const wchar_t* const kManifestFiles[] = {kManifestKvmName, kManifestGrdName, kManifestSigName};

void AddPair(CWStringArray* list, const CWString& directoryFrom, const CWString& directoryTo, const wchar_t* name)
{
    CWString source(260);
    CWString destination(260);
    source = directoryFrom;
    source.AppendPathComponent(name);
    destination = directoryTo;
    destination.AppendPathComponent(name);
    list->Add(source.Str(), 0);
    list->Add(destination.Str(), 0);
}

void ToShortPath(CWString& path, DWORD room)
{
    CWString shortPath(path.Capacity());
    DWORD n = GetShortPathNameW(path.Str(), shortPath.Buffer(), room);
    if (n > 0 && n < room)
        path = shortPath;
}
}  // namespace

CWStringArray* BuildCopyList(GlobalInfo* info)
{
    CWStringArray* list = NewNoThrow<CWStringArray>();
    if (list == nullptr)
    {
        LogEvent(L"  BuildCopyList: Failed to allocate memory for CWStringArray.");
        return nullptr;
    }
    if (info->OwnVersion >= info->InstalledTovrandVersion || info->ForceUpdate)
    {
        // Running from the shared folder itself: there is nothing to copy over. The short forms make
        // two spellings of one directory compare equal.
        CWString source(260);
        CWString destination(260);
        source = info->ModulePath;
        source.StripLastPathComponent();
        ToShortPath(source, 259);
        if (info->SharedDir.IsEmpty())
            DetermineSharedDir(info, TRUE);
        destination = info->SharedDir;
        ToShortPath(destination, 259);
        // Without a shared folder there is no place for the copy (and an empty path would mean the
        // current directory).
        if (!info->SharedDir.IsEmpty() && lstrcmpiW(source.Str(), destination.Str()) != 0)
        {
            CWString target(260);
            target = info->SharedDir;
            target.AppendPathComponent(kInstallerFileName);
            list->Add(info->ModulePath.Str(), 0);
            list->Add(target.Str(), 0);
        }
    }
    if (info->NewDriverVersion >= info->InstalledDriverVersion || info->ForceUpdate)
    {
        for (const wchar_t* name : kDriverFiles)
        {
            AddPair(list, info->TempDir, info->DriversDir, name);
            // Before Vista the driver also keeps a copy in the maker's directory.
            if (!IsWinVistaOrBetter() && !info->MakerDir.IsEmpty())
                AddPair(list, info->TempDir, info->MakerDir, name);
        }
        if (info->KvManifest && !info->KvManifestsDir.IsEmpty())
        {
            for (const wchar_t* name : kManifestFiles)
                AddPair(list, info->TempDir, info->KvManifestsDir, name);
        }
    }
    if (list->Count() == 0)
    {
        delete list;
        return nullptr;
    }
    return list;
}

BOOL ClearReadOnly(const wchar_t* path)
{
    if (path == nullptr)
        return FALSE;
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return FALSE;
    if (!(attributes & FILE_ATTRIBUTE_READONLY))
        return TRUE;
    return SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
}

BOOL CopyOneFile(int index)
{
    CWString source(290);
    CWString destination(290);
    source = CopyList->Get(index);
    destination = CopyList->Get(index + 1);
    SetDlgItemTextW(MainWindow, IDC_FILENAME, destination.Str());
    ClearReadOnly(destination.Str());
    if (CopyFileW(source.Str(), destination.Str(), FALSE))
    {
        LogEvent(L"  File installed successfully: %s", destination.Str());
        return TRUE;
    }
    // In use (a loaded driver, a running installer): put the new file beside it and let the next
    // restart swap it in. ...\PELLIMAR64x86.SYS gives ...\PELLIMAR64x86.SY1.
    CWString temporary(290);
    temporary = destination;
    *temporary.LastChar() = L'1';
    // Only a temporary written by this run may be swapped in: a stale one (held open, or the disk
    // full) would put old bytes in place at the restart.
    if (!CopyFileW(source.Str(), temporary.Str(), FALSE))
    {
        LogEvent(L"  Error - Cannot copy %s to %s (%d), %s is not installed.", source.Str(), temporary.Str(),
                 static_cast<int>(GetLastError()), destination.Str());
        g_pGlobalInfo->RunError = ERROR_INSTALL_FAILURE;
        return TRUE;
    }
    if (!MoveFileExW(temporary.Str(), destination.Str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT))
    {
        LogEvent(L"  Error - Cannot mark %s for rename on reboot (%d), %s is not installed.", temporary.Str(),
                 static_cast<int>(GetLastError()), destination.Str());
        DeleteFileW(temporary.Str());
        g_pGlobalInfo->RunError = ERROR_INSTALL_FAILURE;
        return TRUE;
    }
    LogEvent(L"  Marked for rename on reboot: %s -> %s", temporary.Str(), destination.Str());
    g_pGlobalInfo->RebootRequired = TRUE;
    return TRUE;
}

void UnmarkCopyTarget(int index)
{
    // Deletions are scheduled under the short path; withdraw them under the same form.
    CWString path(290);
    path = CopyList->Get(index);
    ToShortPath(path, 289);
    UnMarkFilesForDeletion(path.Str());
}
