// The uninstall step: release this product's use of the driver and, after the last product, remove
// everything the installer put on the machine.
#pragma once
#include <windows.h>

void UninstallPellimar();
// Deletes SOFTWARE\Norvatek\Pellimar with all its subkeys, by force when the ordinary delete fails.
void RemovePellimarKeyTree();
