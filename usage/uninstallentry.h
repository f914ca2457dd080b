// The installer's uninstall entry and its own marker in the shared-file list.
#pragma once
#include <windows.h>

BOOL AddUninstallKey();
BOOL RemoveUninstallKey();
// TRUE when the installer copy's fixed usage value is in place afterwards.
BOOL AddInstallerUsage();
void RemoveInstallerUsage();
