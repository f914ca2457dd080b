// Does this run change the usage counts? Decided once per run from the product id's two registry facts.
#pragma once
#include <windows.h>

// Sets UpdateRefCounts; FALSE only when its registry entry cannot be allocated.
BOOL CheckUsageCountUpdates();
