// What the row files share: the runner and the installer's closing texts.
#pragma once
#include <algorithm>

#include "runner.h"

namespace harness
{
const wchar_t kUpdated[] = L"Pellimar has been successfully updated";
const wchar_t kRestart[] =
    L"Pellimar has been successfully updated.  You must restart your machine to complete the installation.";
const wchar_t kDecremented[] = L"Pellimar has been uninstalled/decremented successfully";
const wchar_t kNothingToUpdate[] = L"Pellimar does not exist on this computer, no action taken";
const wchar_t kNotRegistered[] = L"Pellimar was not registered for this product, no action taken";
const char kLockStillHeld[] =
    "  The other instance of tovrand still has the mutex, something must be wrong with it, continuing anyway.";
const wchar_t kFailed[] =
    L"Pellimar could not be set up completely.  The details are in PELLIMAR.LOG in the temporary folder.";
}  // namespace harness
