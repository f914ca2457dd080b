// Removal of what the installer put on disk: files (each reported in the log), entries scheduled for
// deletion at the next restart, and the maker's shared folder.
#pragma once
#include <windows.h>

// Deletes the file(s) named by path; with markOnReboot, a file in use is deleted at the next restart.
void DeleteFiles(const wchar_t* path, BOOL markOnReboot);
