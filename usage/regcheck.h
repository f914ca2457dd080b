// Does this run change the usage counts? Decided once per run from the product id's two registry facts.
#pragma once
#include <windows.h>

// Settles what stopped runs left half done, then sets UpdateRefCounts. FALSE (with the run's error set)
// when the decision cannot be made: the product's listing or registration cannot be read, or its count is
// being changed by another run or was changed by one that stopped and cannot be told.
BOOL CheckUsageCountUpdates();
