// The install side of the counts: raise or rewrite them, register the product, make sure the
// driver's service exists and points at the image, then the uninstall entry and installer marker.
#pragma once
#include <windows.h>

BOOL UpdateUsageCounts();
