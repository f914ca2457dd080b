// Withdrawing scheduled deletions of the installer's files from the platform's list of renames and
// deletions carried out at the next restart (the Session Manager's "PendingFileRenameOperations").
// The list is shared with the platform and with every other program: nothing but our own deletion
// pairs ever leaves it, and every other character of it is written back as it was read.
#pragma once
#include <windows.h>

// Removes every scheduled deletion of path (the short form of an installed file's full path) and
// reports everything in the log. Always returns 0.
int UnMarkFilesForDeletion(const wchar_t* path);
// Shortens runs of empty strings inside the value, which would otherwise end the list early for
// readers that stop at the first empty string. Silent.
void CompactPendingFileRenameOperations();

extern const wchar_t kSessionManagerKey[];   // HKLM, holds the value
extern const wchar_t kPendingValue[];        // "PendingFileRenameOperations"

// The value's bytes as read now, to be freed with delete[]; null with *rc set when it cannot be read
// whole (ERROR_MORE_DATA: it grew between the two questions).
BYTE* ReadPendingValue(HKEY key, DWORD* size, DWORD* type, LONG* rc);

// The work on the value's characters, kept apart from the registry so that any content can be fed
// to it. Both functions read data[0..n) and write out[0..capacity) and nothing else.

// Characters the scan may add to a list whose last string or closing NUL is missing.
const int kPendingListSupplied = 3;

// Receives the scan's log lines; LogEvent itself in the installer.
typedef void (*PendingLogFn)(const wchar_t* format, ...);

enum PendingListAction
{
    PendingListKeep,      // leave the value as it is (nothing of ours in it)
    PendingListRewrite,   // write out[0..*outChars) back, closing NUL included
    PendingListDelete     // our deletions were the only entries: delete the value
};

// Scans the n characters of the list for deletion pairs of path and builds the list without them in
// out, which needs room for n + kPendingListSupplied characters. Strings of any length are compared
// where they lie; what follows the list's end (an empty string where a pair would start) is kept
// byte for byte, and a last string or closing NUL that the value lacks is supplied. Logs each pair
// and the decision.
PendingListAction ScanPendingRenameList(const wchar_t* data, int n, const wchar_t* path, wchar_t* out,
                                        int outCapacity, int* outChars, PendingLogFn log);

// Copies the n characters of data to out (capacity n; out may be data itself) with every run of three
// or more NULs shortened. TRUE when that changed the list and the result is a complete list worth
// writing back; *outChars is then its length.
BOOL CompactPendingRenameList(const wchar_t* data, int n, wchar_t* out, int* outChars);
