// The commands a finding names, and the words around them. Every AppID and path in a command stands in
// quotes; one that cannot (a quote or % in it, or an AppID the installer would not take) gets words
// instead of a command, since a command that does something else than it says is worse than none.
#pragma once
#include <windows.h>

#include "check/findings.h"

// printf-style into a buffer of kFindingChars, cut at its end (msvcrt: %s takes a wide string).
void Format(wchar_t* buffer, const wchar_t* format, ...);
void Append(wchar_t* buffer, const wchar_t* format, ...);

// Whether text can stand between double quotes in a command pasted into a prompt and reach the program
// as it is: a quote would end it, cmd expands % even inside quotes, and control characters do not
// survive the paste.
bool Quotable(const wchar_t* text);
// An AppID a printed command can give the installer, quoted: one the installer takes (at most 47
// characters, no backslash, no control character), that is no switch name, does not turn the run into
// a self-delete and survives the paste.
bool IsPassableAppId(const wchar_t* appId);

// The installer run that puts back driver, service, uninstall entry and the shared copy: an install for
// appId, a registered product (it counts nothing again); in words when products are registered but
// none can be named; an update run when no product is registered.
void RepairRun(const MachineState& s, const wchar_t* appId, wchar_t* out);
// reg add of the count c, as the text count.
void SetCountCommand(const CountReading& c, DWORD count, wchar_t* out);
// command "path" (rmdir, del), or the same in words when the path cannot be quoted.
void RemoveCommand(const wchar_t* command, const wchar_t* path, wchar_t* out);
