// The installer's uninstall entry and its own marker in the shared-file list.
#pragma once
#include <windows.h>

BOOL AddUninstallKey();
BOOL RemoveUninstallKey();
void AddInstallerUsage();
void RemoveInstallerUsage();
