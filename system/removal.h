// Removal of what the installer put on disk: files now, or at the next restart, and the maker's
// shared folder once it is empty. Every outcome goes to the log; callers get no failure back.
#pragma once
#include <windows.h>

// Hands a file or directory to the platform for deletion at the next restart, under its short
// (8.3) path: the same form in which a later install looks for such entries to withdraw them.
// Always TRUE.
BOOL MarkFileForDeletionOnReboot(const wchar_t* path);

// Deletes every file that path names (its last component may hold wildcards), logging each one. A
// file in use is left alone, or with markOnReboot scheduled for deletion at the next restart.
// Entries whose names begin with a dot are never touched. TRUE when a file was left to the restart.
BOOL DeleteFiles(const wchar_t* path, BOOL markOnReboot);

// Removes "Norvatek Shared" below the Common Files directory when it is empty; otherwise logs why
// not and schedules it for the next restart, when the platform removes it if it is empty by then.
void RemoveSharedDirectory();

// Which file a path names now: its volume and its file index. Two spellings of one path (long and
// short, other case) give the same identity; a file deleted and created anew under the name does not.
struct FileIdentity
{
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
};
BOOL GetFileIdentity(const wchar_t* path, FileIdentity* identity);
BOOL IsSameIdentity(const FileIdentity& a, const FileIdentity& b);
BOOL IsSameFile(const wchar_t* first, const wchar_t* second);
