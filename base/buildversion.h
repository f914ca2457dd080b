// The program's own version, fixed at build time: control/buildversion.cpp defines it once per program,
// compiled with the quad its VERSIONINFO carries, so the two can never disagree.
#pragma once
#include <windows.h>

extern const ULONGLONG kBuildVersion;
// How long an installer run waits for the lock "Global\Pellimar_running": 5000 ms, and less in a test
// build that runs two installers into each other.
extern const DWORD kRunningMutexWaitMs;

// Part index (0 major, 1 minor, 2 build, 3 revision) of a version quad.
inline WORD VersionPart(ULONGLONG version, int index)
{
    return static_cast<WORD>(version >> (48 - 16 * index));
}
