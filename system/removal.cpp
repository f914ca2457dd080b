#include "system/removal.h"

#include "base/handle.h"
#include "base/log.h"
#include "base/registry.h"
#include "base/wstring.h"
#include "context/locations.h"
#include "system/pendingrenames.h"

namespace
{
const int kShortPathChars = kFullPathChars - 1;   // filled with a size of 289
const int kFilePathChars = kFullPathChars - 1;
const int kSharedPathChars = kPathChars;
}  // namespace

namespace
{
// TRUE when the platform took the deletion.
BOOL ScheduleDeletion(const wchar_t* path)
{
    CWString shortPath(kShortPathChars);
    DWORD got = path != nullptr ? GetShortPathNameW(path, shortPath.Buffer(), kShortPathChars - 1) : 0;
    // A result of the buffer's size or more is the size it would need: the buffer holds nothing usable.
    if (got == 0 || got >= static_cast<DWORD>(kShortPathChars - 1))
        shortPath = L"";
    // The short form is empty when the path does not exist (or does not fit). Handed on, the empty name
    // would become a bare "\??\" in the pending-rename list: a deletion of nothing that the next start
    // stumbles over. The line is still written, so the log shows that the path could not be scheduled.
    // One already waiting is not scheduled again: a retry of a stopped uninstall would stack them.
    BOOL scheduled = !shortPath.IsEmpty() && (IsPendingPair(path, nullptr) ||
                                              MoveFileExW(shortPath.Str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    LogEvent("  %s marked for deletion on reboot.", shortPath.Str());
    return scheduled;
}
}  // namespace

BOOL MarkFileForDeletionOnReboot(const wchar_t* path)
{
    ScheduleDeletion(path);
    return TRUE;
}

BOOL DeleteFiles(const wchar_t* path, BOOL markOnReboot)
{
    BOOL leftToRestart = FALSE;
    if (path == nullptr || path[0] == L'\0')
        return FALSE;
    CWString directory(kFilePathChars);
    directory = path;
    directory.StripLastPathComponent();

    WIN32_FIND_DATAW found;
    CScopedFind search(FindFirstFileW(path, &found));
    if (!search.IsValid())
        return FALSE;
    do
    {
        // Also skips "." and "..", which a pattern ending in "*" returns first.
        if (found.cFileName[0] == L'.')
            continue;
        // Built with growth, not cut at the capacity: a cut name could be the name of another file.
        CWString full(kFilePathChars);
        full = directory;
        if (!full.IsEmpty() && *full.LastChar() != L'\\')
            full.Append(L"\\");
        full.Append(found.cFileName);

        if (DeleteFileW(full.Str()))
        {
            LogEvent("  Deleting %s...Deleted.", full.Str());
            continue;
        }
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
        {
            LogEvent("  Deleting %s...Already gone.", full.Str());
        }
        else if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED)
        {
            // Access denied covers a read-only file and a directory that the pattern matched: neither
            // can go now. The entry found is scheduled, not the pattern, which has no short form.
            if (markOnReboot)
                leftToRestart = ScheduleDeletion(full.Str()) || leftToRestart;
            else
                LogEvent("  Deleting %s...File in use.  Leaving it alone.", full.Str());
        }
        else
        {
            LogEvent("  Deleting %s...Failed (%d).", full.Str(), error);
        }
    } while (FindNextFileW(search.Get(), &found));
    return leftToRestart;
}

void RemoveSharedDirectory()
{
    // Where the runs put it: with an unusable value that is the usual folder, never a relative or cut
    // path that would be some other folder.
    CWString path(kSharedPathChars);
    SharedDirOfRuns(path);

    WIN32_FIND_DATAW found;
    {
        CScopedFind search(FindFirstFileW(path.Str(), &found));
        if (!search.IsValid() || !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            return;
    }
    if (RemoveDirectoryW(path.Str()))
        return;
    DWORD error = GetLastError();
    LogEvent("Cannot remove directory: %s, Error %d", path.Str(), error);
    MarkFileForDeletionOnReboot(path.Str());
}

BOOL GetFileIdentity(const wchar_t* path, FileIdentity* identity)
{
    if (path == nullptr || path[0] == L'\0')
        return FALSE;
    // Attributes only, every sharing mode: a file that is running or held still answers.
    CScopedHandle file(CreateFileW(path, FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file.IsValid() || !GetFileInformationByHandle(file.Get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return FALSE;
    identity->volume = info.dwVolumeSerialNumber;
    identity->indexHigh = info.nFileIndexHigh;
    identity->indexLow = info.nFileIndexLow;
    return TRUE;
}

BOOL IsSameIdentity(const FileIdentity& a, const FileIdentity& b)
{
    return a.volume == b.volume && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow;
}

BOOL IsSameFile(const wchar_t* first, const wchar_t* second)
{
    FileIdentity a;
    FileIdentity b;
    return GetFileIdentity(first, &a) && GetFileIdentity(second, &b) && IsSameIdentity(a, b);
}
