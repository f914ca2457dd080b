// Compiled once per program, with the version that its VERSIONINFO carries, so the two can never
// disagree, and with the registration program's and the lock's waits.
#include "base/buildversion.h"
#include "usage/qzreg.h"

const ULONGLONG kBuildVersion = (static_cast<ULONGLONG>(TOVRAND_VERSION_MAJOR) << 48) |
                                (static_cast<ULONGLONG>(TOVRAND_VERSION_MINOR) << 32) |
                                (static_cast<ULONGLONG>(TOVRAND_VERSION_BUILD) << 16) |
                                static_cast<ULONGLONG>(TOVRAND_VERSION_REVISION);

// Minutes, not seconds: a registration that talks to the updater service may take a while. A test build
// sets a few seconds to show the give-up.
#ifndef TOVRAND_QZREG_WAIT_MS
#define TOVRAND_QZREG_WAIT_MS (5 * 60 * 1000)
#endif
const DWORD kRegistrationWaitMs = TOVRAND_QZREG_WAIT_MS;

// A test build that runs two installers into each other shortens it from seconds.
#ifndef TOVRAND_MUTEX_WAIT_MS
#define TOVRAND_MUTEX_WAIT_MS 5000
#endif
const DWORD kRunningMutexWaitMs = TOVRAND_MUTEX_WAIT_MS;
