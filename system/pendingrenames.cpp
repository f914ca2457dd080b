#include "system/pendingrenames.h"

#include "base/alloc.h"
#include "base/handle.h"
#include "base/log.h"
#include "base/registry.h"

namespace
{
const wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";

// One source or target path, terminator included. Longer strings are not ours (our paths are short
// forms) and mark a list we do not understand well enough to rewrite.
const int kTempChars = 260;

// MoveFileExW stores every source behind the native-path prefix "\??\"; the prefix is skipped
// unread, since other writers of the list use other four-character prefixes.
const int kPrefixChars = 4;

// The string buffers of the rewrite come from the process heap; the allocation seam lets a test make
// one of them fail, which no real condition does on demand.
BYTE* AllocBuffer(DWORD size)
{
    if (alloc_seam::ShouldFail())
        return nullptr;
    return new (std::nothrow) BYTE[size != 0 ? size : 1];
}

// Copies one string, NUL included, from data[*pos] into temp. FALSE when the string runs into the end
// of the data (its last character was the value's last, so no pair and no closing NUL can follow) or
// fills the temporary; the copy stops there and *pos stays on the next unread character.
bool CopyToTemp(const wchar_t* data, int n, int* pos, wchar_t* temp)
{
    int count = 0;
    while (*pos < n)
    {
        wchar_t ch = data[*pos];
        temp[count++] = ch;
        ++*pos;
        if (*pos == n || count == kTempChars)
            return false;
        if (ch == L'\0')
            return true;
    }
    return false;
}

// Appends one NUL-terminated temporary to the output. FALSE once the output is full or the string
// would exceed a temporary's length; a full output takes no further character at all.
bool AppendToOutput(const wchar_t* text, wchar_t* out, int capacity, int* written)
{
    for (int count = 0;;)
    {
        if (*written >= capacity)
            return false;
        wchar_t ch = text[count++];
        out[(*written)++] = ch;
        if (*written == capacity || count == kTempChars)
            return false;
        if (ch == L'\0')
            return true;
    }
}

// Only A-Z are folded: the platform compares these paths without a locale, and a non-ASCII case
// difference may well name another file on a case-sensitive volume.
wchar_t FoldAscii(wchar_t ch)
{
    return (ch >= L'A' && ch <= L'Z') ? static_cast<wchar_t>(ch + (L'a' - L'A')) : ch;
}

// A pair is ours when its source, behind the prefix, is the path. A source shorter than the prefix
// can never match; its temporary still holds the tail of an earlier, longer string beyond its NUL,
// which must not be taken for a path.
bool IsOurSource(const wchar_t* source, const wchar_t* path)
{
    if (path == nullptr)
        return false;
    for (int i = 0; i < kPrefixChars; ++i)
    {
        if (source[i] == L'\0')
            return false;
    }
    const wchar_t* p = source + kPrefixChars;
    for (;; ++p, ++path)
    {
        if (FoldAscii(*p) != FoldAscii(*path))
            return false;
        if (*p == L'\0')
            return true;
    }
}

// A list the platform reads completely: pairs of NUL-terminated strings, then an empty string where
// the next pair would start, all inside the data.
bool IsCompletePairList(const wchar_t* data, int n)
{
    int pos = 0;
    while (pos < n)
    {
        if (data[pos] == L'\0')
            return true;
        for (int part = 0; part < 2; ++part)
        {
            while (pos < n && data[pos] != L'\0')
                ++pos;
            if (pos >= n)
                return false;
            ++pos;
        }
    }
    return false;
}
}  // namespace

PendingListAction ScanPendingRenameList(const wchar_t* data, int n, const wchar_t* path, wchar_t* out,
                                        int outCapacity, int* outChars, PendingLogFn log)
{
    *outChars = 0;
    if (n <= 0)
    {
        log(L"  None of our files are marked for deletion.  Not modifying the %s registry value.", kPendingValue);
        return PendingListKeep;
    }

    wchar_t source[kTempChars];
    wchar_t target[kTempChars];
    int pos = 0;
    int written = 0;
    bool removed = false;
    bool critical = false;
    while (pos < n)
    {
        // An empty string where a pair would start is the list's end, for the platform as for us.
        if (data[pos] == L'\0' || critical)
            break;
        if (!CopyToTemp(data, n, &pos, source))
        {
            log(L"  First temp string about to buffer overflow, bailing out.");
            critical = true;
        }
        // The target is still read after a broken source, but only from what the data holds: when the
        // source ran into the value's end there is no target, and no second line.
        if (pos < n && !CopyToTemp(data, n, &pos, target))
        {
            log(L"  Second temp string about to buffer overflow, bailing out.");
            critical = true;
            continue;
        }
        if (critical)
            continue;

        if (target[0] == L'\0')
        {
            log(L"  File marked for deletion: %s", source);
            if (IsOurSource(source, path))
            {
                log(L"  *Unmarking file from deletion: %s", source);
                removed = true;
                continue;
            }
        }
        else
        {
            log(L"  File marked for rename: %s -> %s", source, target);
        }

        if (!AppendToOutput(source, out, outCapacity, &written))
        {
            log(L"  First string to output buffer about to buffer overflow, bailing out.");
            critical = true;
        }
        if (!AppendToOutput(target, out, outCapacity, &written))
        {
            log(L"  Second string to output buffer about to buffer overflow, bailing out.");
            critical = true;
        }
    }

    if (critical)
    {
        log(L"  Due to critical error, not modifying the %s registry value.", kPendingValue);
        return PendingListKeep;
    }
    if (!removed)
    {
        log(L"  None of our files are marked for deletion.  Not modifying the %s registry value.", kPendingValue);
        return PendingListKeep;
    }
    if (written > 0)
    {
        // No breach means the output never filled up, so the closing NUL still has its place.
        out[written] = L'\0';
        *outChars = written + 1;
        log(L"  Updating registry with new PendingFileRenameOperations.");
        return PendingListRewrite;
    }
    log(L"  Deleting empty %s registry value.", kPendingValue);
    return PendingListDelete;
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

void CompactPendingFileRenameOperations()
{
    CRegistryEntry entry(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingValue);
    DWORD type = 0;
    DWORD size = 0;
    // Only a string list is ours to repair: rewriting a value of another type as REG_MULTI_SZ would
    // change what it is.
    if (entry.QueryValueSize(&type, &size) != ERROR_SUCCESS || type != REG_MULTI_SZ)
        return;
    BYTE* buffer = AllocBuffer(size);
    if (buffer == nullptr)
        return;
    DWORD got = size;
    if (entry.QueryValue(&type, buffer, &got) == ERROR_SUCCESS && type == REG_MULTI_SZ)
    {
        // got, not size: the value may have shrunk since it was measured. An odd last byte is no
        // character and is dropped with a rewrite.
        wchar_t* chars = reinterpret_cast<wchar_t*>(buffer);
        int length = 0;
        if (CompactPendingRenameList(chars, static_cast<int>(got / 2), chars, &length))
            entry.SetValue(REG_MULTI_SZ, buffer, static_cast<DWORD>(length) * 2);
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

    DWORD type = 0;
    DWORD size = 0;
    // A missing value leaves size at 0, which is all this needs to know.
    RegQueryValueExW(key.Get(), kPendingValue, nullptr, &type, nullptr, &size);
    if (size == 0)
    {
        LogEvent(L"  No files are marked for deletion, nothing to unmark.");
        return 0;
    }

    BYTE* input = AllocBuffer(size);
    BYTE* output = AllocBuffer(size);
    if (input == nullptr || output == nullptr)
    {
        LogEvent(L"  Failed to allocate %d bytes for RegQueryValueEx regkey: %s", static_cast<int>(size),
                 kPendingValue);
    }
    else
    {
        DWORD got = size;
        type = 0;
        rc = RegQueryValueExW(key.Get(), kPendingValue, nullptr, &type, input, &got);
        if (rc != ERROR_SUCCESS || type != REG_MULTI_SZ)
        {
            LogEvent(L"  Failed (%d) to RegQueryValueEx regkey: %s (Type:%d)", static_cast<int>(rc), kPendingValue,
                     static_cast<int>(type));
        }
        else
        {
            // got may be less than size when the value shrank in between; the output keeps room for
            // as many characters as were read.
            int n = static_cast<int>(got / 2);
            int outChars = 0;
            PendingListAction action = ScanPendingRenameList(reinterpret_cast<const wchar_t*>(input), n, path,
                                                             reinterpret_cast<wchar_t*>(output), n, &outChars,
                                                             LogEvent);
            // The platform's answers are not looked at: on failure the value simply stays as it was.
            if (action == PendingListRewrite)
                RegSetValueExW(key.Get(), kPendingValue, 0, REG_MULTI_SZ, output, static_cast<DWORD>(outChars) * 2);
            else if (action == PendingListDelete)
                RegDeleteValueW(key.Get(), kPendingValue);
        }
    }
    delete[] input;
    delete[] output;
    key.Reset();
    CompactPendingFileRenameOperations();
    return 0;
}
