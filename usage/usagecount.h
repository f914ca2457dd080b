// Usage counts of the shared driver: one count record per installed file in the system's shared-file
// list, the read-only survey of the driver's counts, and the release of one file's usage.
#pragma once
#include <windows.h>

#include "base/registry.h"
#include "base/wstring.h"
#include "context/layout.h"

const DWORD kNoCount = 0xFFFFFFFF;   // value missing, unreadable or of another type

// One count: a REG_SZ of decimal digits or a REG_DWORD. The entry is never opened explicitly, so
// every operation opens and closes the key for itself.
class CUsageCount
{
public:
    CUsageCount(HKEY root, const wchar_t* keyPath, const wchar_t* valueName);
    ~CUsageCount() = default;

    BOOL Exists();
    // The value is there but says nothing usable as a count: another type, the all-ones value, more
    // than 32 bits, or a text that does not begin with a number (an empty string reads as 0).
    BOOL IsUnreadable();
    DWORD GetCount();
    LONG SetCount(DWORD count, BOOL asString);
    // The new count, or kNoCount when there is none. A write or delete that failed leaves its code in
    // *writeError (0 otherwise) and gives the count as it was read, which the value still holds.
    DWORD Decrement(BOOL deleteAtZero, LONG* writeError);
    int Type() const { return m_type; }

private:
    CUsageCount(const CUsageCount&) = delete;
    CUsageCount& operator=(const CUsageCount&) = delete;

    int m_type;   // -1, REG_SZ or REG_DWORD
    CRegistryEntry m_entry;
};

// The decimal reading of a count string: leading blanks and a sign accepted, stops at the first
// non-digit, no digits give 0, more than 32 bits give kNoCount, a minus negates modulo 2^32.
DWORD ParseCountText(const wchar_t* text);

// A count's value name: a path of ours, or the SharedUsage key with a file name.
const int kCountNameChars = 300;

// A product's registration, the key SOFTWARE\Norvatek\Pellimar\<AppID>: its "Dir1" value says that one of
// the product's installs raised the count and no uninstall has released that use yet.
void RegistrationKeyOf(const wchar_t* appId, CWString& key);
// Writes the registration of appId (the key is created when missing); the write's code.
LONG WriteRegistration(const wchar_t* appId);
// Deletes appId's registration key with everything in it; the code (ERROR_SUCCESS when it is gone).
LONG RemoveRegistrationKey(const wchar_t* appId);

// A change of the driver counts that a run has begun and not yet finished, kept in the product's
// registration key (value "CountChange", REG_BINARY) from before the first count is written until
// everything the change brings with it is done. A run stopped half-way leaves it there, and the next run
// can tell from the counts whether they were changed: each is the value before or the value after.
struct CountChange
{
    DWORD owner;         // the run's process id
    FILETIME started;    // and its creation time, which a later process with the same id does not share
    DWORD release;       // 0: the product's use is being counted; 1: being released
    DWORD before[2];     // the main count and the maker directory's, kNoCount for no value
    DWORD after[2];
};
// Records change (stamped with this process) in appId's registration key, creating the key; the code.
LONG BeginCountChange(const wchar_t* appId, CountChange* change);
// ERROR_SUCCESS with the change appId's key holds; ERROR_FILE_NOT_FOUND when it holds none.
LONG ReadCountChange(const wchar_t* appId, CountChange* change);
LONG EndCountChange(const wchar_t* appId);
// Writes each count of the layout that is not at its value after the change (deleting it for kNoCount);
// a count written as a string by an install stays one. The first failing write's code.
LONG WriteCountsAfter(const CountChange& change, BOOL asString);
// Puts each count back to its value before the change.
LONG WriteCountsBefore(const CountChange& change);

// A driver count (its value name, InstallLayout's driverImage or makerDriverImage), and its type (-1, REG_SZ or
// REG_DWORD) when asked: kNoCount when it is missing or unreadable, or there is no name.
DWORD ReadDriverCount(const wchar_t* valueName, int* type = nullptr);

BOOL GetUsageCounts(DWORD* count);
// Whether either driver count holds a use now (a count that cannot be read holds none).
BOOL IsDriverCounted();
// When the driver's main count is there but unreadable, rewrites it as the number of products
// registered under the Pellimar key and logs that. The code of that write; 0 when there was nothing
// to rebuild.
LONG RebuildUnreadableUsageCount();
// Lowers the driver count of the image at path (the count's value name) by one, deleting it at 0: the
// new count, or kNoCount when there was none. When the count could not be written, *failed is set
// (logged) and the count as read is returned.
DWORD LowerFileUsage(const wchar_t* path, BOOL* failed);
// Writes a count this run lowered back as it was: count, in its type (REG_SZ or REG_DWORD).
LONG RestoreFileUsage(const wchar_t* path, DWORD count, int type);
// What goes once a product's use of the driver image at path is released: the product's SharedUsage
// value, and at a count of 0 the image itself unless keepFile (at the next restart when it is in use).
void FinishFileRelease(const wchar_t* path, const wchar_t* appId, DWORD count, BOOL keepFile);
