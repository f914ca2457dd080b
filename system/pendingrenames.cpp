#include "system/pendingrenames.h"

#include <string.h>

#include <new>

#include "base/handle.h"
#include "base/log.h"
#include "base/registry.h"

const wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";

namespace
{

// MoveFileExW stores every source behind the native-path prefix "\??\"; the prefix is skipped
// unread, since other writers of the list use other four-character prefixes.
const int kPrefixChars = 4;

// The scan of a long list takes seconds (one log line a pair) and other programs may schedule their
// own renames meanwhile: the value is read again before it is written, and a changed value is scanned
// afresh, this many times at most.
const int kScanTries = 5;

// The string buffers of the rewrite come from the process heap.
BYTE* AllocBuffer(DWORD size)
{
    return new (std::nothrow) BYTE[size != 0 ? size : 1];
}

// Index of the NUL that ends the string at pos, or n when the value ends first.
int StringEnd(const wchar_t* data, int n, int pos)
{
    while (pos < n && data[pos] != L'\0')
        ++pos;
    return pos;
}

// Only A-Z are folded: the platform compares these paths without a locale, and a non-ASCII case
// difference may well name another file on a case-sensitive volume.
wchar_t FoldAscii(wchar_t ch)
{
    return (ch >= L'A' && ch <= L'Z') ? static_cast<wchar_t>(ch + (L'a' - L'A')) : ch;
}

// A pair is ours when its source, behind the prefix, is the path. Compared where it lies: the source
// may be of any length and need not end inside the data.
bool IsOurSource(const wchar_t* source, int length, const wchar_t* path)
{
    if (path == nullptr || length < kPrefixChars)
        return false;
    int i = kPrefixChars;
    for (; i < length && path[i - kPrefixChars] != L'\0'; ++i)
    {
        if (FoldAscii(source[i]) != FoldAscii(path[i - kPrefixChars]))
            return false;
    }
    return i == length && path[i - kPrefixChars] == L'\0';
}

// A list the platform reads completely: pairs of NUL-terminated strings, then an empty string where
// the next pair would start, all inside the data.
bool IsCompletePairList(const wchar_t* data, int n)
{
    int pos = 0;
    while (pos < n && data[pos] != L'\0')
    {
        int targetEnd = StringEnd(data, n, StringEnd(data, n, pos) + 1);
        if (targetEnd >= n)
            return false;
        pos = targetEnd + 1;
    }
    return pos < n;
}

// Appends data[from..to) and one NUL to out.
void PutString(const wchar_t* data, int from, int to, wchar_t* out, int* written)
{
    for (int i = from; i < to; ++i)
        out[(*written)++] = data[i];
    out[(*written)++] = L'\0';
}
}  // namespace

PendingListAction ScanPendingRenameList(const wchar_t* data, int n, const wchar_t* path, wchar_t* out,
                                        int outCapacity, int* outChars, PendingLogFn log)
{
    *outChars = 0;
    if (n <= 0 || outCapacity < n + kPendingListSupplied)
    {
        log(L"  None of our files are marked for deletion.  Not modifying the %s registry value.", kPendingValue);
        return PendingListKeep;
    }

    int pos = 0;
    int written = 0;
    int kept = 0;
    bool removed = false;
    bool tailHasText = false;
    for (;;)
    {
        if (pos >= n)
        {
            // The value ended where a pair or the list's closing NUL should follow: the NUL is supplied.
            out[written++] = L'\0';
            break;
        }
        if (data[pos] == L'\0')
        {
            // An empty string where a pair would start ends the list for the platform as for us. Other
            // programs may keep data behind it: it goes back exactly as it stands.
            for (; pos < n; ++pos)
            {
                tailHasText = tailHasText || data[pos] != L'\0';
                out[written++] = data[pos];
            }
            break;
        }
        // A string that runs into the value's end lacks its NUL; a source without a target has an
        // empty one. Both are written back with the NULs the list needs.
        int source = pos;
        int sourceEnd = StringEnd(data, n, source);
        int target = sourceEnd < n ? sourceEnd + 1 : n;
        int targetEnd = StringEnd(data, n, target);
        pos = targetEnd < n ? targetEnd + 1 : n;
        int sourceLength = sourceEnd - source;
        if (targetEnd == target)
        {
            log(L"  File marked for deletion: %.*s", sourceLength, data + source);
            if (IsOurSource(data + source, sourceLength, path))
            {
                log(L"  *Unmarking file from deletion: %.*s", sourceLength, data + source);
                removed = true;
                continue;
            }
        }
        else
        {
            log(L"  File marked for rename: %.*s -> %.*s", sourceLength, data + source, targetEnd - target,
                data + target);
        }
        PutString(data, source, sourceEnd, out, &written);
        PutString(data, target, targetEnd, out, &written);
        ++kept;
    }

    if (!removed)
    {
        log(L"  None of our files are marked for deletion.  Not modifying the %s registry value.", kPendingValue);
        return PendingListKeep;
    }
    if (kept == 0 && !tailHasText)
    {
        log(L"  Deleting empty %s registry value.", kPendingValue);
        return PendingListDelete;
    }
    *outChars = written;
    log(L"  Updating registry with new PendingFileRenameOperations.");
    return PendingListRewrite;
}

BOOL CompactPendingRenameList(const wchar_t* data, int n, wchar_t* out, int* outChars)
{
    *outChars = 0;
    bool changed = false;
    int read = 0;
    int write = 0;
    // write never passes read, so out may be data itself: every character is read before its place
    // can be written.
    while (read < n)
    {
        // The last three characters never start a run: "source, empty target, closing NUL" is how a
        // list normally ends when its last pair is a deletion.
        if (read + 3 < n && data[read] == L'\0' && data[read + 1] == L'\0' && data[read + 2] == L'\0')
        {
            changed = true;
            out[write++] = L'\0';
            out[write++] = L'\0';
            read += 2;
            while (read < n && data[read] == L'\0')
                ++read;
            if (read == n)
            {
                // The run was the value's tail (four NULs or more). It keeps three: the last string's
                // NUL, an empty target should that string be a source, and the closing NUL. Nothing
                // after the data is looked at.
                out[write++] = L'\0';
                break;
            }
            continue;
        }
        out[write++] = data[read++];
    }
    *outChars = write;
    // A shortened run can change which strings pair up; a result the platform could not read to its
    // end is not written, and the value keeps whatever it held.
    return changed && IsCompletePairList(out, write) ? TRUE : FALSE;
}

BYTE* ReadPendingValue(HKEY key, DWORD* size, DWORD* type, LONG* rc)
{
    *size = 0;
    *type = 0;
    *rc = RegQueryValueExW(key, kPendingValue, nullptr, type, nullptr, size);
    if (*rc != ERROR_SUCCESS)
        return nullptr;
    BYTE* bytes = AllocBuffer(*size);
    if (bytes == nullptr)
    {
        *rc = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    *rc = RegQueryValueExW(key, kPendingValue, nullptr, type, bytes, size);
    if (*rc != ERROR_SUCCESS)
    {
        delete[] bytes;
        return nullptr;
    }
    return bytes;
}

namespace
{
// Whether the value still holds exactly what was read: another program may have scheduled its own
// renames meanwhile, and writing back would lose them.
bool StillReads(HKEY key, const BYTE* bytes, DWORD size, DWORD type)
{
    DWORD nowSize = 0;
    DWORD nowType = 0;
    LONG rc = ERROR_SUCCESS;
    BYTE* now = ReadPendingValue(key, &nowSize, &nowType, &rc);
    bool same = now != nullptr && nowType == type && nowSize == size && memcmp(now, bytes, size) == 0;
    delete[] now;
    return same;
}

enum class ScanOutcome { Done, Changed };

// One read, scan and write-back of the value.
ScanOutcome UnmarkOnce(HKEY key, const wchar_t* path)
{
    DWORD size = 0;
    DWORD type = 0;
    LONG rc = ERROR_SUCCESS;
    BYTE* input = ReadPendingValue(key, &size, &type, &rc);
    if (rc == ERROR_MORE_DATA)
        return ScanOutcome::Changed;
    if (rc == ERROR_NOT_ENOUGH_MEMORY)
    {
        LogEvent(L"  Failed to allocate %d bytes for RegQueryValueEx regkey: %s", static_cast<int>(size),
                 kPendingValue);
        return ScanOutcome::Done;
    }
    if (input == nullptr || type != REG_MULTI_SZ)
    {
        LogEvent(L"  Failed (%d) to RegQueryValueEx regkey: %s (Type:%d)", static_cast<int>(rc), kPendingValue,
                 static_cast<int>(type));
        delete[] input;
        return ScanOutcome::Done;
    }
    // An odd last byte is no character; it is not kept in a rewrite.
    int n = static_cast<int>(size / 2);
    BYTE* output = AllocBuffer(static_cast<DWORD>(n + kPendingListSupplied) * sizeof(wchar_t));
    if (output == nullptr)
    {
        LogEvent(L"  Failed to allocate %d bytes for RegQueryValueEx regkey: %s", static_cast<int>(size),
                 kPendingValue);
        delete[] input;
        return ScanOutcome::Done;
    }
    int outChars = 0;
    PendingListAction action = ScanPendingRenameList(reinterpret_cast<const wchar_t*>(input), n, path,
                                                     reinterpret_cast<wchar_t*>(output), n + kPendingListSupplied,
                                                     &outChars, LogEvent);
    ScanOutcome outcome = ScanOutcome::Done;
    if (action != PendingListKeep && !StillReads(key, input, size, type))
    {
        LogEvent(L"  The %s registry value changed while it was scanned, scanning it again.", kPendingValue);
        outcome = ScanOutcome::Changed;
    }
    // The platform's answers are not looked at: on failure the value simply stays as it was.
    else if (action == PendingListRewrite)
    {
        RegSetValueExW(key, kPendingValue, 0, REG_MULTI_SZ, output, static_cast<DWORD>(outChars) * 2);
    }
    else if (action == PendingListDelete)
    {
        RegDeleteValueW(key, kPendingValue);
    }
    delete[] input;
    delete[] output;
    return outcome;
}
}  // namespace

void CompactPendingFileRenameOperations()
{
    CScopedKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY,
                      key.Receive()) != ERROR_SUCCESS)
        return;
    DWORD size = 0;
    DWORD type = 0;
    LONG rc = ERROR_SUCCESS;
    BYTE* buffer = ReadPendingValue(key.Get(), &size, &type, &rc);
    // Only a string list is ours to repair: rewriting a value of another type as REG_MULTI_SZ would
    // change what it is.
    if (buffer != nullptr && type == REG_MULTI_SZ)
    {
        BYTE* compacted = AllocBuffer(size);
        int length = 0;
        // An odd last byte is no character and is dropped with a rewrite. A value that changed since
        // it was read is left to the next pass.
        if (compacted != nullptr &&
            CompactPendingRenameList(reinterpret_cast<const wchar_t*>(buffer), static_cast<int>(size / 2),
                                     reinterpret_cast<wchar_t*>(compacted), &length) &&
            StillReads(key.Get(), buffer, size, type))
            RegSetValueExW(key.Get(), kPendingValue, 0, REG_MULTI_SZ, compacted, static_cast<DWORD>(length) * 2);
        delete[] compacted;
    }
    delete[] buffer;
}

int UnMarkFilesForDeletion(const wchar_t* path)
{
    LogEvent(L"Inside UnMarkFilesForDeletion()");
    CompactPendingFileRenameOperations();

    CScopedKey key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                            key.Receive());
    if (rc != ERROR_SUCCESS)
    {
        LogEvent(L"  Failed (%d) to open regkey: %s", static_cast<int>(rc), kSessionManagerKey);
        return 0;
    }
    for (int attempt = 0;; ++attempt)
    {
        DWORD type = 0;
        DWORD size = 0;
        // A missing value leaves size at 0, which is all this needs to know.
        RegQueryValueExW(key.Get(), kPendingValue, nullptr, &type, nullptr, &size);
        if (size == 0)
        {
            LogEvent(L"  No files are marked for deletion, nothing to unmark.");
            return 0;
        }
        if (attempt == kScanTries)
        {
            LogEvent(L"  The %s registry value keeps changing, not modifying it.", kPendingValue);
            break;
        }
        if (UnmarkOnce(key.Get(), path) == ScanOutcome::Done)
            break;
    }
    key.Reset();
    CompactPendingFileRenameOperations();
    return 0;
}
