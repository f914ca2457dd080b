// The installer's one log: "PELLIMAR.LOG" in the user's temporary directory, one line per call.
#pragma once
#include <windows.h>

// printf-style with the platform's wide meaning: %s takes a wide string. The format itself is ASCII
// text, as every line of the log file is 8-bit text: kept narrow, the program's many log texts take half
// the room.
void LogEvent(const char* format, ...);

// Turns LogEvent into a no-op for the rest of the process: for programs that share this code but must
// leave no file behind (the read-only state check).
void LogDisable();

namespace log_seam
{
// Test builds only: called after each line this process logs, with its message. A test copy of the
// installer ends itself or pauses there, as a deployment tool's kill or a slow machine would.
extern void (*AfterLine)(const wchar_t* message);
}  // namespace log_seam
