// The pending restart operations (PendingFileRenameOperations) that touch our files: deletions, renames
// away and replacements, found among every other program's entries.
#include "check/state.h"

#include "base/files.h"
#include "base/handle.h"
#include "system/pendingrenames.h"
#include "usage/usagecount.h"

namespace
{
// The path a pending entry names, as the installer reads it.
const wchar_t* PathOf(const wchar_t* entry)
{
    return entry + PendingPathSkip(entry, lstrlenW(entry));
}

// Case-insensitive equality of a whole text with one of length chars; the length decides most cases.
bool Same(const wchar_t* text, int length, const wchar_t* other)
{
    return other[0] != L'\0' && SameNoCase(text, length, other, -1);
}

const wchar_t* LastComponent(const wchar_t* path)
{
    const wchar_t* name = path + lstrlenW(path);
    while (name > path && name[-1] != L'\\')
        --name;
    return name;
}

// Which of our files (or of their temporaries) a pending string names, or -1. Our deletions are
// scheduled under short names, replacements under long ones, and other programs may mix both forms.
// Only a string whose last component is one of our names, long or short, costs a path call.
int MatchFile(const MachineState* s, const wchar_t* entry, bool* temporary)
{
    *temporary = false;
    const wchar_t* p = PathOf(entry);
    int length = lstrlenW(p);
    // No path of ours is this long. Another program's string of that length never reaches a path
    // function: some copy each component into a fixed buffer and overrun it.
    if (length >= kStatePathChars)
        return -1;
    for (int i = 0; i < kFileCount; ++i)
    {
        const FileReading& f = s->files[i];
        *temporary = Same(p, length, f.temporary) || Same(p, length, f.shortTemporary);
        if (*temporary || Same(p, length, f.path) || Same(p, length, f.shortPath))
            return i;
    }
    *temporary = false;
    const wchar_t* name = LastComponent(p);
    int nameLength = lstrlenW(name);
    bool ours = false;
    for (int i = 0; i < kFileCount && !ours; ++i)
    {
        const FileReading& f = s->files[i];
        ours = Same(name, nameLength, f.name) || Same(name, nameLength, LastComponent(f.temporary)) ||
               Same(name, nameLength, LastComponent(f.shortPath)) ||
               Same(name, nameLength, LastComponent(f.shortTemporary));
    }
    // Only a drive path can be ours: a relative one would be taken from this program's current directory.
    bool drivePath = p[0] != L'\0' && p[1] == L':' && p[2] == L'\\';
    if (!ours || !drivePath || name - p < 4)
        return -1;
    // The directory in its long form, joined with our long names.
    wchar_t directory[kStatePathChars];
    CopyBounded(directory, static_cast<int>(name - p), p);
    wchar_t longDirectory[kStatePathChars];
    DWORD n = GetLongPathNameW(directory, longDirectory, kStatePathChars);
    if (n == 0 || n >= kStatePathChars)
        return -1;
    for (int i = 0; i < kFileCount; ++i)
    {
        const FileReading& f = s->files[i];
        const wchar_t* temporaryName = LastComponent(f.temporary);
        wchar_t candidate[kStatePathChars];
        bool isFile = Same(name, nameLength, f.name) || Same(name, nameLength, LastComponent(f.shortPath));
        *temporary = !isFile && (Same(name, nameLength, temporaryName) ||
                                 Same(name, nameLength, LastComponent(f.shortTemporary)));
        if ((isFile || *temporary) &&
            JoinPath(candidate, kStatePathChars, longDirectory, *temporary ? temporaryName : f.name) &&
            SameNoCase(candidate, *temporary ? f.temporary : f.path))
            return i;
    }
    *temporary = false;
    return -1;
}

// The 8.3 forms of our files, in which deletions are scheduled, found only when there is a pending list
// to match: under Wine each one lists every directory on the path, System32 among them.
void FindShortForms(MachineState* s)
{
    for (int i = 0; i < kFileCount; ++i)
    {
        FileReading& f = s->files[i];
        DWORD n = f.exists ? GetShortPathNameW(f.path, f.shortPath, kStatePathChars) : 0;
        if (n == 0 || n >= kStatePathChars)
            f.shortPath[0] = L'\0';
        n = f.temporaryExists ? GetShortPathNameW(f.temporary, f.shortTemporary, kStatePathChars) : 0;
        if (n == 0 || n >= kStatePathChars)
            f.shortTemporary[0] = L'\0';
    }
}

// A deletion the install withdraws: the installer's own rule for its pairs, the file under its long or
// short path.
bool IsWithdrawable(const PendingPairView& pair, const FileReading& f)
{
    const PendingPair ours[] = {{f.path, nullptr}, {f.shortPath, nullptr}};
    return IsOurPendingPair(pair, ours, f.shortPath[0] != L'\0' ? 2 : 1);
}

void NotePending(MachineState* s, const PendingPairView& pair)
{
    const wchar_t* source = pair.source;
    const wchar_t* target = pair.target;
    bool sourceTemporary = false;
    bool targetTemporary = false;
    int from = MatchFile(s, source, &sourceTemporary);
    int to = target[0] != L'\0' ? MatchFile(s, target, &targetTemporary) : -1;
    if (from < 0 && to < 0)
    {
        ++s->pendingOtherEntries;
        return;
    }
    if (sourceTemporary && to == from && !targetTemporary)
        s->files[from].temporaryPending = true;
    PendingReading* p = s->pending.Add();
    if (p == nullptr)
    {
        ++s->pendingNotShown;
        return;
    }
    p->source = source;
    p->target = target;
    // A file of ours renamed to any other name is gone from its place as surely as a deleted one.
    bool leaves = from >= 0 && !(sourceTemporary && to == from && !targetTemporary);
    p->file = leaves ? from : to;
    p->kind = !leaves ? PendingReplaces : target[0] == L'\0' ? PendingDeletes : PendingMovesAway;
    p->temporary = leaves ? sourceTemporary : targetTemporary;
    p->withdrawable = p->kind == PendingDeletes && !p->temporary && IsWithdrawable(pair, s->files[from]);
}
}  // namespace

void ReadPendingOperations(MachineState* s)
{
    CScopedKey key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_READ | KEY_WOW64_64KEY, key.Receive());
    if (rc != ERROR_SUCCESS)
    {
        NoteReadError(s, kSessionManagerKey, static_cast<DWORD>(rc));
        s->pendingUnread = true;
        return;
    }
    DWORD type = 0;
    DWORD size = 0;
    BYTE* buffer = ReadPendingValue(key.Get(), &size, &type, &rc);
    if (rc == ERROR_FILE_NOT_FOUND)
        return;
    if (buffer == nullptr || type != REG_MULTI_SZ)
    {
        if (buffer == nullptr)
        {
            NoteReadError(s, kPendingValue, static_cast<DWORD>(rc));
            s->pendingUnread = true;
        }
        s->pendingListDamaged = buffer != nullptr;
        delete[] buffer;
        return;
    }
    // Kept, terminated, for the life of the state: the pending records point into it.
    int n = static_cast<int>(size / sizeof(wchar_t));
    s->pendingValue = new (std::nothrow) wchar_t[n + 1];
    if (s->pendingValue == nullptr)
    {
        NoteReadError(s, kPendingValue, ERROR_NOT_ENOUGH_MEMORY);
        s->pendingUnread = true;
        delete[] buffer;
        return;
    }
    CopyMemory(s->pendingValue, buffer, n * sizeof(wchar_t));
    s->pendingValue[n] = L'\0';
    delete[] buffer;
    // Pairs of strings up to an empty string where the next pair would start, as the platform reads it.
    FindShortForms(s);
    CPendingPairWalk walk(s->pendingValue, n);
    PendingPairView pair;
    while (walk.Next(&pair))
    {
        if (walk.Cut())
        {
            s->pendingListDamaged = true;   // a string, or a source without target, runs into the end
            break;
        }
        NotePending(s, pair);
    }
}
