// Runs a program as its debugger and collects what it writes to the debugger output
// (OutputDebugStringW): where the installer's log lines go when the log file cannot be opened.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "harness.h"

namespace harness
{
struct DebuggedRun
{
    Process process;
    std::vector<std::string> output;   // each debug string as the program passed it
};

// Starts commandLine (TEMP and TMP at tempDir, as Run does) under this thread as its only debugger and
// waits up to timeoutMs. Processes the program starts are not debugged.
DebuggedRun RunCapturingDebugOutput(const std::wstring& commandLine, const std::wstring& tempDir,
                                    DWORD timeoutMs = 120000);
}  // namespace harness
