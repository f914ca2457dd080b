#include "system/pendingrenames.h"

#include <string.h>

#include <new>

#include "base/handle.h"
#include "base/log.h"
#include "context/layout.h"

const wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";

void (*pending_seam::At)(pending_seam::Moment moment) = nullptr;

namespace
{
// MoveFileExW stores every path behind the native-path prefix "\??\"; the prefix is skipped unread,
// since other writers of the list use other four-character prefixes.
const int kPrefixChars = 4;

// The scan of a long list takes seconds (one log line a pair) and other programs may schedule their
// own renames meanwhile: the value is read again before it is written, and a changed value is scanned
// afresh, without the pair lines, which takes milliseconds. A value that keeps changing even so is
// given up after this many scans or this long, whichever comes first.
const int kScanTries = 20;
const DWORD kScanGiveUpMs = 10000;
const DWORD kRescanPauseMs = 50;

// The forms under which a file may stand in the list: its long path as given and its short form.
const int kFormsPerFile = 2;
// Pairs a file contributes at most: two deletions, and its replacement with each form of both sides.
const int kPairsPerFile = kFormsPerFile + kFormsPerFile * kFormsPerFile;

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

// Whether the string of length characters at text names path once skip characters are passed over.
// Compared where it lies: the string may be of any length and need not end inside the data.
bool NamesPath(const wchar_t* text, int length, int skip, const wchar_t* path)
{
    if (path == nullptr || path[0] == L'\0' || length < skip)
        return false;
    int i = skip;
    for (; i < length && path[i - skip] != L'\0'; ++i)
    {
        if (FoldAscii(text[i]) != FoldAscii(path[i - skip]))
            return false;
    }
    return i == length && path[i - skip] == L'\0';
}

// Appends data[from..to) and one NUL to out.
void PutString(const wchar_t* data, int from, int to, wchar_t* out, int* written)
{
    for (int i = from; i < to; ++i)
        out[(*written)++] = data[i];
    out[(*written)++] = L'\0';
}
}  // namespace

int PendingPathSkip(const wchar_t* entry, int length)
{
    // A rename that may replace its target is stored with a "!" before the target's prefix.
    int skip = kPrefixChars + (length > 0 && entry[0] == L'!' ? 1 : 0);
    return length >= skip ? skip : length;
}

CPendingPairWalk::CPendingPairWalk(const wchar_t* data, int n) : m_data(data), m_n(n), m_pos(0), m_cut(false)
{
}

bool CPendingPairWalk::Next(PendingPairView* pair)
{
    // An empty string where a pair would start ends the list; so does the value's end.
    if (m_pos >= m_n || m_data[m_pos] == L'\0')
        return false;
    int source = m_pos;
    int sourceEnd = StringEnd(m_data, m_n, source);
    int target = sourceEnd < m_n ? sourceEnd + 1 : m_n;
    int targetEnd = StringEnd(m_data, m_n, target);
    m_cut = targetEnd >= m_n;
    m_pos = targetEnd < m_n ? targetEnd + 1 : m_n;
    pair->source = m_data + source;
    pair->sourceLength = sourceEnd - source;
    pair->target = m_data + target;
    pair->targetLength = targetEnd - target;
    return true;
}

bool IsOurPendingPair(const PendingPairView& pair, const PendingPair* ours, int count)
{
    int targetSkip = PendingPathSkip(pair.target, pair.targetLength);
    for (int i = 0; i < count; ++i)
    {
        bool deletion = ours[i].target == nullptr;
        if (deletion != (pair.targetLength == 0) ||
            !NamesPath(pair.source, pair.sourceLength, kPrefixChars, ours[i].source))
            continue;
        if (deletion || NamesPath(pair.target, pair.targetLength, targetSkip, ours[i].target))
            return true;
    }
    return false;
}

PendingListAction ScanPendingRenameList(const wchar_t* data, int n, const PendingPair* ours, int count,
                                        bool logPairs, wchar_t* out, int outCapacity, int* outChars,
                                        PendingLogFn log)
{
    *outChars = 0;
    if (n <= 0 || outCapacity < n + kPendingListSupplied)
        return PendingListKeep;

    int written = 0;
    int kept = 0;
    bool removed = false;
    bool tailHasText = false;
    CPendingPairWalk walk(data, n);
    PendingPairView pair;
    while (walk.Next(&pair))
    {
        bool ourPair = IsOurPendingPair(pair, ours, count);
        if (pair.targetLength == 0)
        {
            if (logPairs)
                log("  File marked for deletion: %.*s", pair.sourceLength, pair.source);
            if (ourPair)
                log("  *Unmarking file from deletion: %.*s", pair.sourceLength, pair.source);
        }
        else
        {
            if (logPairs)
                log("  File marked for rename: %.*s -> %.*s", pair.sourceLength, pair.source, pair.targetLength,
                    pair.target);
            if (ourPair)
                log("  *Unmarking file from rename: %.*s -> %.*s", pair.sourceLength, pair.source,
                    pair.targetLength, pair.target);
        }
        if (ourPair)
        {
            removed = true;
            continue;
        }
        // A string that runs into the value's end lacks its NUL; a source without a target has an empty
        // one. Both are written back with the NULs the list needs.
        PutString(pair.source, 0, pair.sourceLength, out, &written);
        PutString(pair.target, 0, pair.targetLength, out, &written);
        ++kept;
    }
    if (walk.Position() >= n)
    {
        // The value ended where a pair or the list's closing NUL should follow: the NUL is supplied.
        out[written++] = L'\0';
    }
    else
    {
        // Other programs may keep data behind the list's end: it goes back exactly as it stands.
        for (int pos = walk.Position(); pos < n; ++pos)
        {
            tailHasText = tailHasText || data[pos] != L'\0';
            out[written++] = data[pos];
        }
    }

    if (!removed)
        return PendingListKeep;
    if (kept == 0 && !tailHasText)
        return PendingListDelete;
    *outChars = written;
    return PendingListRewrite;
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

// The key's last write time and the value's size: one quick question, asked right before the write, that
// tells whether anybody wrote since the value was last read whole.
struct Stamp
{
    FILETIME written;
    DWORD size;
    bool operator==(const Stamp& o) const
    {
        return CompareFileTime(&written, &o.written) == 0 && size == o.size;
    }
};

Stamp StampOf(HKEY key)
{
    Stamp stamp = {{0, 0}, 0};
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     &stamp.written);
    if (RegQueryValueExW(key, kPendingValue, nullptr, nullptr, nullptr, &stamp.size) != ERROR_SUCCESS)
        stamp.size = 0;
    return stamp;
}

enum class ScanOutcome
{
    Done,      // nothing of ours is left in the list
    Changed,   // the list changed under the scan: scan it again
    Failed     // ours are still in it and cannot be taken out
};

// One read, scan and write-back of the value.
ScanOutcome WithdrawOnce(HKEY key, const PendingPair* ours, int count, bool logPairs)
{
    DWORD size = 0;
    DWORD type = 0;
    LONG rc = ERROR_SUCCESS;
    BYTE* input = ReadPendingValue(key, &size, &type, &rc);
    if (rc == ERROR_FILE_NOT_FOUND)
        return ScanOutcome::Done;
    if (rc == ERROR_MORE_DATA)
        return ScanOutcome::Changed;
    if (rc == ERROR_NOT_ENOUGH_MEMORY)
    {
        LogEvent("  Failed to allocate %d bytes for RegQueryValueEx regkey: %s", static_cast<int>(size),
                 kPendingValue);
        return ScanOutcome::Failed;
    }
    if (input == nullptr || type != REG_MULTI_SZ)
    {
        // The platform reads nothing but a string list at the restart: whatever this is, it schedules
        // nothing.
        LogEvent("  Failed (%d) to RegQueryValueEx regkey: %s (Type:%d)", static_cast<int>(rc), kPendingValue,
                 static_cast<int>(type));
        delete[] input;
        return ScanOutcome::Done;
    }
    // An odd last byte is no character; it is not kept in a rewrite.
    int n = static_cast<int>(size / 2);
    BYTE* output = AllocBuffer(static_cast<DWORD>(n + kPendingListSupplied) * sizeof(wchar_t));
    if (output == nullptr)
    {
        LogEvent("  Failed to allocate %d bytes for RegQueryValueEx regkey: %s", static_cast<int>(size),
                 kPendingValue);
        delete[] input;
        return ScanOutcome::Failed;
    }
    int outChars = 0;
    PendingListAction action =
        ScanPendingRenameList(reinterpret_cast<const wchar_t*>(input), n, ours, count, logPairs,
                              reinterpret_cast<wchar_t*>(output), n + kPendingListSupplied, &outChars, LogEvent);
    if (pending_seam::At != nullptr)
        pending_seam::At(pending_seam::AfterScan);
    ScanOutcome outcome = ScanOutcome::Done;
    if (action == PendingListKeep)
    {
        if (logPairs)
            LogEvent("  None of our files are marked for deletion.  Not modifying the %s registry value.",
                     kPendingValue);
    }
    else
    {
        // Every writer of the value reads it whole and writes it back whole, without a lock: a write that
        // lands between another writer's read and its write is lost. The scan takes long, so the value is
        // compared whole after it; from there to the write nothing slow may come (the log line follows the
        // write), and one quick question right before the write catches a change made in between.
        Stamp before = StampOf(key);
        bool same = StillReads(key, input, size, type);
        if (same && pending_seam::At != nullptr)
            pending_seam::At(pending_seam::BeforeWrite);
        if (!same || !(StampOf(key) == before))
        {
            LogEvent("  The %s registry value changed while it was scanned, scanning it again.", kPendingValue);
            outcome = ScanOutcome::Changed;
        }
        else
        {
            DWORD bytes = static_cast<DWORD>(outChars) * 2;
            rc = action == PendingListRewrite ? RegSetValueExW(key, kPendingValue, 0, REG_MULTI_SZ, output, bytes)
                                              : RegDeleteValueW(key, kPendingValue);
            if (rc != ERROR_SUCCESS)
            {
                LogEvent("  Failed (%d) to write the %s registry value.", static_cast<int>(rc), kPendingValue);
                outcome = ScanOutcome::Failed;
            }
            else if (action == PendingListRewrite)
                LogEvent("  Updating registry with new PendingFileRenameOperations.");
            else
                LogEvent("  Deleting empty %s registry value.", kPendingValue);
            if (pending_seam::At != nullptr)
                pending_seam::At(pending_seam::AfterWrite);
            // A writer that read the value before this write may write back what it read, our pairs in it:
            // the value is read again, and scanned again when it is not what was written.
            bool written = action == PendingListRewrite ? StillReads(key, output, bytes, REG_MULTI_SZ)
                                                        : StampOf(key).size == 0;
            if (outcome == ScanOutcome::Done && !written)
            {
                LogEvent("  The %s registry value changed right after it was written, scanning it again.",
                         kPendingValue);
                outcome = ScanOutcome::Changed;
            }
        }
    }
    delete[] input;
    delete[] output;
    return outcome;
}

// Takes the count pairs of ours out of the list; TRUE when none of them is left in it.
BOOL WithdrawPairs(const PendingPair* ours, int count, bool logPairs)
{
    CScopedKey key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, key.Receive());
    if (rc != ERROR_SUCCESS)
    {
        LogEvent("  Failed (%d) to open regkey: %s", static_cast<int>(rc), kSessionManagerKey);
        return FALSE;
    }
    DWORD start = GetTickCount();
    for (int attempt = 0;; ++attempt)
    {
        if (attempt > 0 && (attempt == kScanTries || GetTickCount() - start > kScanGiveUpMs))
        {
            LogEvent("  The %s registry value keeps changing, not modifying it.", kPendingValue);
            return FALSE;
        }
        if (attempt > 0)
            Sleep(kRescanPauseMs);
        switch (WithdrawOnce(key.Get(), ours, count, logPairs && attempt == 0))
        {
        case ScanOutcome::Done:
            return TRUE;
        case ScanOutcome::Failed:
            return FALSE;
        case ScanOutcome::Changed:
            break;
        }
    }
}

// The forms of one file as the list may hold it, and the pairs of ours they make.
class CFileForms
{
public:
    CFileForms() : m_forms{CWString(MAX_PATH + 1), CWString(MAX_PATH + 1)}, m_count(0) {}

    // path and its short form, when it has one that differs.
    void Set(const wchar_t* path)
    {
        m_forms[0] = path;
        m_count = m_forms[0].IsEmpty() ? 0 : 1;
        DWORD got = m_count ? GetShortPathNameW(path, m_forms[1].Buffer(), MAX_PATH) : 0;
        if (got > 0 && got < MAX_PATH && !SameNoCase(m_forms[1].Str(), path))
            m_count = 2;
    }
    int Count() const { return m_count; }
    const wchar_t* Form(int i) const { return m_forms[i].Str(); }

private:
    CWString m_forms[kFormsPerFile];
    int m_count;
};

// Adds the replacements of file by temporary, in every combination of their forms.
int AddReplacements(const CFileForms& file, const CFileForms& temporary, PendingPair* pairs, int at)
{
    for (int t = 0; t < temporary.Count(); ++t)
        for (int f = 0; f < file.Count(); ++f)
            pairs[at++] = {temporary.Form(t), file.Form(f)};
    return at;
}

// The pairs of ours that stand for the deletion of file (temporary null) or its replacement by temporary,
// in every form: their number.
int PairsOf(const wchar_t* file, const wchar_t* temporary, CFileForms& fileForms, CFileForms& temporaryForms,
            PendingPair* pairs)
{
    fileForms.Set(file);
    int count = 0;
    if (temporary == nullptr)
    {
        for (int f = 0; f < fileForms.Count(); ++f)
            pairs[count++] = {fileForms.Form(f), nullptr};
        return count;
    }
    temporaryForms.Set(temporary);
    return AddReplacements(fileForms, temporaryForms, pairs, count);
}

// The size of the value, 0 when it is missing or cannot be read: whether there is anything to look at.
DWORD PendingValueSize()
{
    CScopedKey key;
    DWORD size = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.Receive()) ==
        ERROR_SUCCESS)
        RegQueryValueExW(key.Get(), kPendingValue, nullptr, nullptr, nullptr, &size);
    return size;
}
}  // namespace

BOOL UnMarkFilesForDeletion(const wchar_t* file, const wchar_t* temporary)
{
    LogEvent("Inside UnMarkFilesForDeletion()");
    if (PendingValueSize() == 0)
    {
        LogEvent("  No files are marked for deletion, nothing to unmark.");
        return TRUE;
    }
    CFileForms fileForms;
    CFileForms temporaryForms;
    PendingPair pairs[kPairsPerFile];
    int count = PairsOf(file, nullptr, fileForms, temporaryForms, pairs);
    if (temporary != nullptr)
    {
        temporaryForms.Set(temporary);
        count = AddReplacements(fileForms, temporaryForms, pairs, count);
    }
    return WithdrawPairs(pairs, count, true);
}

BOOL WithdrawReplacements(const CWString* files, int count)
{
    // Most lists hold nothing of ours: the short forms of twenty paths are asked for only when there is a
    // list at all.
    if (PendingValueSize() == 0)
        return TRUE;
    if (count > kInstalledSetFiles)
        count = kInstalledSetFiles;
    CFileForms fileForms[kInstalledSetFiles];
    CFileForms temporaryForms[kInstalledSetFiles];
    PendingPair pairs[kInstalledSetFiles * kFormsPerFile * kFormsPerFile];
    int pairCount = 0;
    CWString temporary(MAX_PATH + 1);
    for (int i = 0; i < count; ++i)
    {
        TemporaryOf(files[i].Str(), temporary);
        pairCount += PairsOf(files[i].Str(), temporary.Str(), fileForms[i], temporaryForms[i], pairs + pairCount);
    }
    return pairCount == 0 || WithdrawPairs(pairs, pairCount, false);
}

BOOL IsPendingPair(const wchar_t* file, const wchar_t* temporary)
{
    if (PendingValueSize() == 0)
        return FALSE;
    CScopedKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.Receive()) !=
        ERROR_SUCCESS)
        return FALSE;
    DWORD size = 0;
    DWORD type = 0;
    LONG rc = ERROR_SUCCESS;
    BYTE* bytes = ReadPendingValue(key.Get(), &size, &type, &rc);
    if (bytes == nullptr)
        return FALSE;
    CFileForms fileForms;
    CFileForms temporaryForms;
    PendingPair pairs[kPairsPerFile];
    int count = PairsOf(file, temporary, fileForms, temporaryForms, pairs);
    BOOL found = FALSE;
    int n = type == REG_MULTI_SZ ? static_cast<int>(size / 2) : 0;
    CPendingPairWalk walk(reinterpret_cast<const wchar_t*>(bytes), n);
    PendingPairView pair;
    while (!found && walk.Next(&pair))
        found = IsOurPendingPair(pair, pairs, count);
    delete[] bytes;
    return found;
}
