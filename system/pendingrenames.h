// Withdrawing the installer's own entries from the platform's list of renames and deletions carried
// out at the next restart (the Session Manager's "PendingFileRenameOperations"): a deletion of a file
// that is installed again, and a replacement (".SY1" renamed over ".SYS") that a later write or the
// last uninstall made obsolete. The list is shared with the platform and with every other program:
// nothing but our own pairs ever leaves it, and every other character of it is written back as it
// was read.
#pragma once
#include <windows.h>

#include "base/wstring.h"

extern const wchar_t kSessionManagerKey[];   // HKLM, holds the value
extern const wchar_t kPendingValue[];        // "PendingFileRenameOperations"

// A pair of ours as the list holds it, without the platform's prefixes ("\??\" before each path, and
// the "!" that marks a rename allowed to replace its target). A null target stands for a deletion.
struct PendingPair
{
    const wchar_t* source;
    const wchar_t* target;
};

// Withdraws every deletion of file (its full path; a deletion is scheduled under the short form, and
// MoveFileEx writes the long one as given, so both are looked for) and, when temporary is given, every
// replacement of file by that temporary. Logs each pair of the list and the decision. FALSE when one of
// them is still in the list afterwards (it could not be rewritten, or kept changing under the scan).
BOOL UnMarkFilesForDeletion(const wchar_t* file, const wchar_t* temporary);

// Withdraws the replacement of each file by its temporary (count files of the installed set, full paths)
// and logs only what it withdraws. FALSE when one of them is still in the list afterwards.
BOOL WithdrawReplacements(const CWString* files, int count);

// Whether the list holds, now, the deletion of file (temporary null) or its replacement by temporary,
// under any of their forms. A list that cannot be read holds nothing.
BOOL IsPendingPair(const wchar_t* file, const wchar_t* temporary);

// One pair of the list as it lies in the value: each string by its start and length (a string that
// runs into the value's end has no NUL).
struct PendingPairView
{
    const wchar_t* source;
    int sourceLength;
    const wchar_t* target;
    int targetLength;
};

// Walks the pairs of a list as the platform reads it: from the start to an empty string where a pair
// would start, or to the value's end. Reads data[0..n) and nothing else.
class CPendingPairWalk
{
public:
    CPendingPairWalk(const wchar_t* data, int n);
    // The next pair; false at the list's end.
    bool Next(PendingPairView* pair);
    // Where the walk stands: after the last pair, at the empty string that ends the list or at n.
    int Position() const { return m_pos; }
    // The last pair ran into the value's end: its target (or its source) lacks its NUL.
    bool Cut() const { return m_cut; }

private:
    const wchar_t* m_data;
    int m_n;
    int m_pos;
    bool m_cut;
};

// Where the path of a pending string begins: after the "!" that marks a replacing target and the
// four-character prefix before every path ("\??\" as MoveFileEx writes it; other writers use others).
int PendingPathSkip(const wchar_t* entry, int length);

// Whether a pair is one of ours: sources and targets compared without their prefixes, A-Z folded.
bool IsOurPendingPair(const PendingPairView& pair, const PendingPair* ours, int count);

// The value's bytes as read now, to be freed with delete[]; null with *rc set when it cannot be read
// whole (ERROR_MORE_DATA: it grew between the two questions).
BYTE* ReadPendingValue(HKEY key, DWORD* size, DWORD* type, LONG* rc);

// The work on the value's characters, kept apart from the registry so that any content can be fed
// to it. It reads data[0..n) and writes out[0..capacity) and nothing else.

// Characters the scan may add to a list whose last string or closing NUL is missing.
const int kPendingListSupplied = 3;

// Receives the scan's log lines; LogEvent itself in the installer.
typedef void (*PendingLogFn)(const char* format, ...);

enum PendingListAction
{
    PendingListKeep,      // leave the value as it is (nothing of ours in it)
    PendingListRewrite,   // write out[0..*outChars) back, closing NUL included
    PendingListDelete     // our pairs were the only entries: delete the value
};

// Scans the n characters of the list for the count pairs of ours (paths compared without regard to the
// case of A-Z) and builds the list without them in out, which needs room for n + kPendingListSupplied
// characters. Strings of any length are compared where they lie; what follows the list's end (an empty
// string where a pair would start) is kept byte for byte, and a last string or closing NUL that the
// value lacks is supplied. Logs each pair when logPairs is set, and each pair of ours in any case.
PendingListAction ScanPendingRenameList(const wchar_t* data, int n, const PendingPair* ours, int count,
                                        bool logPairs, wchar_t* out, int outCapacity, int* outChars,
                                        PendingLogFn log);

namespace pending_seam
{
// Test seam: called at each of these moments of a read, scan and write-back of the value. A test changes the
// value there to act as another program that writes it at that moment.
enum Moment
{
    AfterScan,     // the scan is done, the value not yet read again
    BeforeWrite,   // it was read again whole and found unchanged
    AfterWrite     // it was written
};
extern void (*At)(Moment moment);
}  // namespace pending_seam
