#include "system/removal.h"

#include "base/handle.h"
#include "base/log.h"
#include "base/registry.h"
#include "base/wstring.h"
#include "context/locations.h"

namespace
{
const int kShortPathChars = 290;   // filled with a size of 289
const int kFilePathChars = 290;
const int kSharedPathChars = 260;
}  // namespace

BOOL MarkFileForDeletionOnReboot(const wchar_t* path)
{
    CWString shortPath(kShortPathChars);
    DWORD got = path != nullptr ? GetShortPathNameW(path, shortPath.Buffer(), kShortPathChars - 1) : 0;
    // A result of the buffer's size or more is the size it would need: the buffer holds nothing usable.
    if (got == 0 || got >= static_cast<DWORD>(kShortPathChars - 1))
        shortPath = L"";
    // The short form is empty when the path does not exist (or does not fit). Handed on, the empty name
    // would become a bare "\??\" in the pending-rename list: a deletion of nothing that the next start
    // stumbles over. The line is still written, so the log shows that the path could not be scheduled.
    if (!shortPath.IsEmpty())
        MoveFileExW(shortPath.Str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    LogEvent(L"  %s marked for deletion on reboot.", shortPath.Str());
    return TRUE;
}

void DeleteFiles(const wchar_t* path, BOOL markOnReboot)
{
    if (path == nullptr || path[0] == L'\0')
        return;
    CWString directory(kFilePathChars);
    directory = path;
    directory.StripLastPathComponent();

    WIN32_FIND_DATAW found;
    CScopedFind search(FindFirstFileW(path, &found));
    if (!search.IsValid())
        return;
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
            LogEvent(L"  Deleting %s...Deleted.", full.Str());
            continue;
        }
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
        {
            LogEvent(L"  Deleting %s...Already gone.", full.Str());
        }
        else if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED)
        {
            // Access denied covers a read-only file and a directory that the pattern matched: neither
            // can go now. The entry found is scheduled, not the pattern, which has no short form.
            if (markOnReboot)
                MarkFileForDeletionOnReboot(full.Str());
            else
                LogEvent(L"  Deleting %s...File in use.  Leaving it alone.", full.Str());
        }
        else
        {
            LogEvent(L"  Deleting %s...Failed (%d).", full.Str(), error);
        }
    } while (FindNextFileW(search.Get(), &found));
}

void RemoveSharedDirectory()
{
    CWString path(kSharedPathChars);
    CRegistryEntry entry(HKEY_LOCAL_MACHINE, kCurrentVersionKey, L"CommonFilesDir");
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(path.Capacity() * sizeof(wchar_t));
    if (entry.QueryValue(&type, path.Buffer(), &size) != ERROR_SUCCESS)
        return;
    // The registry does not terminate what it returns: a value that fills the whole buffer has no
    // terminator, and an empty one would make the folder name relative to the current directory.
    if (path.Buffer()[path.Capacity() - 1] != L'\0' || path.IsEmpty())
        return;
    // The join is cut at the capacity; a cut path would name some other folder.
    int expected = path.Length() + (*path.LastChar() != L'\\' ? 1 : 0) + lstrlenW(kSharedDirName);
    path.AppendPathComponent(kSharedDirName);
    if (path.Length() != expected)
        return;

    WIN32_FIND_DATAW found;
    {
        CScopedFind search(FindFirstFileW(path.Str(), &found));
        if (!search.IsValid() || !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            return;
    }
    if (RemoveDirectoryW(path.Str()))
        return;
    DWORD error = GetLastError();
    LogEvent(L"Cannot remove directory: %s, Error %d", path.Str(), error);
    MarkFileForDeletionOnReboot(path.Str());
}
