// Compiled once per installer executable, with the version that its VERSIONINFO carries, so the two
// can never disagree.
#include "control/entry.h"

const ULONGLONG kBuildVersion = (static_cast<ULONGLONG>(TOVRAND_VERSION_MAJOR) << 48) |
                                (static_cast<ULONGLONG>(TOVRAND_VERSION_MINOR) << 32) |
                                (static_cast<ULONGLONG>(TOVRAND_VERSION_BUILD) << 16) |
                                static_cast<ULONGLONG>(TOVRAND_VERSION_REVISION);
