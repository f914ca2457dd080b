// Access lists of the folders the installer writes to and starts programs from. A run as SYSTEM or as an
// administrator must not write what it will start or install into a folder that a user may change: the
// user could swap the file between its writing and its use.
#pragma once
#include <windows.h>

// Creates the folder with the access list every folder of ours gets: SYSTEM and Administrators may do
// anything, Users may read and run, nothing is inherited. As CreateDirectoryW.
BOOL CreateAdminFolder(const wchar_t* path);

// For a folder that exists already (another program of the maker's, or somebody by hand, may have made
// it): when its access list lets anybody but SYSTEM, Administrators, TrustedInstaller, CREATOR OWNER or
// this run's own user write, add, delete or change access there, the list is replaced by ours. TRUE when
// the folder is missing or can be trusted now; FALSE (logged) when its list cannot be read or replaced.
BOOL SecureExistingFolder(const wchar_t* path);
