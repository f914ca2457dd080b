// The pending restart operations (PendingFileRenameOperations and PendingFileRenameOperations2, both
// carried out at the restart) that touch our files: deletions, renames away and replacements, found
// among every other program's entries.
#include "check/state.h"

#include "base/files.h"
#include "base/handle.h"
#include "system/pendingrenames.h"
#include "usage/usagecount.h"

const wchar_t* const kPendingValues[kPendingLists] = {kPendingValue, L"PendingFileRenameOperations2"};

namespace
{
// The names under which the restart finds a path of the DOS devices: "\??\" as MoveFileEx writes it,
// and two names of the same object directory.
const wchar_t* const kDosPrefixes[] = {L"\\??\\", L"\\DosDevices\\", L"\\GLOBAL??\\"};

// The DOS path an NT path names, past its prefix; null for any other NT path (a device's own name,
// "\SystemRoot\..."), which the check does not resolve.
const wchar_t* DosPathOf(const wchar_t* path)
{
    for (const wchar_t* prefix : kDosPrefixes)
    {
        int n = lstrlenW(prefix);
        if (SameNoCase(path, n, prefix, n))
            return path + n;
    }
    return nullptr;
}

// Whether text (of length chars) is other, a path or name of ours that may be empty.
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

// A directory as the file system knows it, whatever path reaches it: a symbolic link or a junction
// leads to the same volume and file index as the directory's own path.
struct Identity
{
    bool known;
    DWORD volume;
    DWORD high;
    DWORD low;
    bool operator==(const Identity& o) const
    {
        return known && o.known && volume == o.volume && high == o.high && low == o.low;
    }
};

// The identity of the directory at path, opened through "\\?\" so that the path is taken as it stands,
// as the restart takes it; *error is the open's code when it fails.
Identity IdentityOf(const wchar_t* path, int length, DWORD* error)
{
    Identity id = {};
    wchar_t full[kStatePathChars + 8] = L"\\\\?\\";
    CopyBounded(full + 4, length + 1 < kStatePathChars ? length + 1 : kStatePathChars, path);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    CScopedHandle directory(
        CreateFileW(full, FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    id.known = directory.IsValid() && GetFileInformationByHandle(directory.Get(), &info);
    *error = id.known ? ERROR_SUCCESS : GetLastError();
    if (id.known)
        id = {true, info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return id;
}

// The folders of our files, identified only when a pending string needs them.
class CFolders
{
public:
    explicit CFolders(const MachineState* s) : m_state(s) {}
    const Identity& Of(int file)
    {
        if (!m_read[file])
        {
            const FileReading& f = m_state->files[file];
            DWORD error = 0;
            m_read[file] = true;
            m_ids[file] = IdentityOf(f.path, static_cast<int>(LastComponent(f.path) - f.path), &error);
        }
        return m_ids[file];
    }

private:
    const MachineState* m_state;
    bool m_read[kFileCount] = {};
    Identity m_ids[kFileCount] = {};
};

struct EntryMatch
{
    int file;          // FileIndex, or -1
    bool temporary;    // the file's temporary
    bool unresolved;   // named as one of ours, at a path the check cannot follow as the restart will
};

// Which of our files (or of their temporaries) a pending string reaches at the restart. Our deletions
// are scheduled under short names, replacements under long ones; other programs mix both forms or reach
// our folders through another path (a symbolic link, a junction, another prefix). A string whose last
// component is one of our names, long or 8.3, is ours when its folder is the folder of that file: the
// same directory, not the same spelling. Only such a string costs a call to the file system.
EntryMatch MatchFile(const MachineState* s, CFolders& folders, const wchar_t* entry)
{
    const wchar_t* nt = entry[0] == L'!' ? entry + 1 : entry;   // a target that may be replaced
    const wchar_t* dos = DosPathOf(nt);
    const wchar_t* p = dos != nullptr ? dos : nt;
    int length = lstrlenW(p);
    // No path of ours is this long. Another program's string of that length never reaches a path
    // function: some copy each component into a fixed buffer and overrun it.
    if (length >= kStatePathChars)
        return {-1, false, false};
    for (int i = 0; i < kFileCount && dos != nullptr; ++i)
    {
        const FileReading& f = s->files[i];
        bool temporary = Same(p, length, f.temporary) || Same(p, length, f.shortTemporary);
        if (temporary || Same(p, length, f.path) || Same(p, length, f.shortPath))
            return {i, temporary, false};
    }
    const wchar_t* name = LastComponent(p);
    int nameLength = lstrlenW(name);
    int named = -1;
    for (int i = 0; i < kFileCount && named < 0; ++i)
    {
        const FileReading& f = s->files[i];
        if (Same(name, nameLength, f.name) || Same(name, nameLength, LastComponent(f.temporary)) ||
            Same(name, nameLength, LastComponent(f.shortPath)) ||
            Same(name, nameLength, LastComponent(f.shortTemporary)))
            named = i;
    }
    // The restart opens NT paths only: it reaches nothing relative to nothing, nor a network share, which
    // it does not have yet.
    bool reachable = dos != nullptr ? name - p >= 3 && !SameNoCase(p, 4, L"UNC\\", 4) : p[0] == L'\\';
    if (named < 0 || !reachable)
        return {-1, false, false};
    DWORD error = 0;
    // The folder's root keeps its backslash ("C:\"); any other folder is named without one.
    int folderLength = static_cast<int>(name - p) - (name - p > 3 ? 1 : 0);
    Identity folder = dos != nullptr ? IdentityOf(p, folderLength, &error) : Identity{};
    if (dos == nullptr || (!folder.known && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND &&
                           error != ERROR_INVALID_NAME && error != ERROR_BAD_PATHNAME))
        return {named, false, true};
    for (int i = 0; i < kFileCount && folder.known; ++i)
    {
        const FileReading& f = s->files[i];
        bool isFile = Same(name, nameLength, f.name) || Same(name, nameLength, LastComponent(f.shortPath));
        bool temporary = !isFile && (Same(name, nameLength, LastComponent(f.temporary)) ||
                                     Same(name, nameLength, LastComponent(f.shortTemporary)));
        if ((isFile || temporary) && folders.Of(i) == folder)
            return {i, temporary, false};
    }
    return {-1, false, false};
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

void NotePending(MachineState* s, CFolders& folders, int list, const PendingPairView& pair)
{
    EntryMatch from = MatchFile(s, folders, pair.source);
    EntryMatch to = pair.target[0] != L'\0' ? MatchFile(s, folders, pair.target) : EntryMatch{-1, false, false};
    if (from.file < 0 && to.file < 0)
    {
        ++s->pendingOtherEntries;
        return;
    }
    // Our own replacement: a file's temporary renamed onto that file.
    bool replacement = from.temporary && to.file == from.file && !to.temporary && !from.unresolved && !to.unresolved;
    if (replacement)
        s->files[from.file].temporaryPending = true;
    PendingReading* p = s->pending.Add();
    if (p == nullptr)
    {
        ++s->pendingNotShown;
        return;
    }
    p->source = pair.source;
    p->target = pair.target;
    p->list = list;
    // A file of ours renamed to any other name is gone from its place as surely as a deleted one.
    bool leaves = from.file >= 0 && !replacement;
    const EntryMatch& which = leaves ? from : to;
    p->file = which.file;
    p->kind = replacement ? PendingReplaces : !leaves ? PendingOverwrites
                                            : pair.target[0] == L'\0' ? PendingDeletes : PendingMovesAway;
    p->temporary = which.temporary;
    p->unresolved = which.unresolved;
    p->withdrawable = list == 0 && p->kind == PendingDeletes && !p->temporary && !p->unresolved &&
                      IsWithdrawable(pair, s->files[from.file]);
}

// One list's characters, kept terminated for the life of the state (the pending records point into it);
// -1 when it is missing, could not be read (a read error) or is no string list (damaged).
int ReadList(MachineState* s, HKEY key, int list)
{
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = RegQueryValueExW(key, kPendingValues[list], nullptr, &type, nullptr, &size);
    wchar_t* value = rc == ERROR_SUCCESS ? new (std::nothrow) wchar_t[size / sizeof(wchar_t) + 1] : nullptr;
    if (rc == ERROR_SUCCESS)
        rc = value == nullptr ? ERROR_NOT_ENOUGH_MEMORY
                              : RegQueryValueExW(key, kPendingValues[list], nullptr, &type,
                                                 reinterpret_cast<BYTE*>(value), &size);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
    {
        NoteReadError(s, kPendingValues[list], static_cast<DWORD>(rc));
        s->pendingUnread = true;
    }
    s->pendingListDamaged = s->pendingListDamaged || (rc == ERROR_SUCCESS && type != REG_MULTI_SZ);
    if (rc != ERROR_SUCCESS || type != REG_MULTI_SZ)
    {
        delete[] value;
        return -1;
    }
    int n = static_cast<int>(size / sizeof(wchar_t));
    value[n] = L'\0';
    s->pendingValues[list] = value;
    return n;
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
    int lengths[kPendingLists];
    for (int list = 0; list < kPendingLists; ++list)
        lengths[list] = ReadList(s, key.Get(), list);
    if (lengths[0] < 0 && lengths[1] < 0)
        return;
    FindShortForms(s);
    CFolders folders(s);
    for (int list = 0; list < kPendingLists; ++list)
    {
        // Pairs of strings up to an empty string where the next pair would start, as the platform reads it.
        CPendingPairWalk walk(s->pendingValues[list], lengths[list]);
        PendingPairView pair;
        while (lengths[list] >= 0 && walk.Next(&pair))
        {
            if (walk.Cut())
            {
                s->pendingListDamaged = true;   // a string, or a source without target, runs into the end
                break;
            }
            NotePending(s, folders, list, pair);
        }
    }
}
