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
// Entries whose names begin with a dot are never touched.
void DeleteFiles(const wchar_t* path, BOOL markOnReboot);

// Removes "Norvatek Shared" below the Common Files directory when it is empty; otherwise logs why
// not and schedules it for the next restart, when the platform removes it if it is empty by then.
void RemoveSharedDirectory();
