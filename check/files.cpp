// The file half of the machine state: our files with versions and digests, their temporaries, and the
// pending restart operations that touch them.
#include "check/state.h"

#include <new>

#include "base/handle.h"
#include "check/catalogue.h"
#include "check/digest.h"
#include "context/locations.h"
#include "context/version.h"
#include "system/pendingrenames.h"
#include "usage/usagecount.h"

namespace
{

enum Folder { InDrivers, InManifests, InShared, InMaker };

struct OurFile
{
    const wchar_t* name;
    Folder folder;
    bool needed;
    bool versioned;
};

// In FileIndex order.
const OurFile kFiles[kFileCount] = {
    {kDriverSysName, InDrivers, true, true},      {kDriverInfName, InDrivers, true, false},
    {kDriverCatName, InDrivers, true, false},     {kManifestKvmName, InManifests, true, false},
    {kManifestGrdName, InManifests, true, false}, {kManifestSigName, InManifests, true, false},
    {kInstallerFileName, InShared, true, true},   {kDriverSysName, InMaker, true, true},
    {kDriverInfName, InMaker, true, false},       {kDriverCatName, InMaker, true, false},
    {L"PLQZREG32.EXE", InMaker, false, true},
};

const wchar_t* FolderOf(const MachineState* s, Folder folder)
{
    switch (folder)
    {
    case InDrivers: return s->driversDir;
    case InManifests: return s->manifestsDir;
    case InShared: return s->sharedDir;
    default: return s->makerDir;
    }
}

ULONGLONG FileVersion(const wchar_t* path)
{
    CVersionResource version(path);
    DWORD ms = 0;
    DWORD ls = 0;
    if (version.IntializeData() != kVersionOk || version.GetFileVersion(&ms, &ls) != kVersionOk)
        return 0;
    return MakeVersionQuad(ms, ls);
}

// Each file's bytes are read at most once, and only when a digest needs them.
class CFileCache
{
public:
    explicit CFileCache(MachineState* s) : m_state(s) {}
    const CFileBytes* Get(int index)
    {
        FileReading& f = m_state->files[index];
        if (!f.exists)
            return nullptr;
        if (!m_tried[index])
        {
            m_tried[index] = true;
            // Held open without sharing by another process, for one: its digest is not known, which
            // is no finding, but the state was not read whole.
            f.readError = m_bytes[index].Read(f.path);
            if (f.readError != ERROR_SUCCESS)
                NoteReadError(m_state, f.path, f.readError);
        }
        return f.readError == ERROR_SUCCESS ? &m_bytes[index] : nullptr;
    }

private:
    MachineState* m_state;
    bool m_tried[kFileCount] = {};
    CFileBytes m_bytes[kFileCount];
};

DigestCheck Compare(CHasher& hasher, const CFileBytes* file, const Digest& expected, bool* image)
{
    Digest found;
    if (!hasher.Hash(expected.alg, file->Data(), file->Size(), nullptr, 0, &found))
        return DigestNotApplicable;   // the system cannot compute this algorithm: not checked
    if (SameDigest(found, expected))
        return DigestMatches;
    // A catalogue lists a PE file by its image digest, which leaves out the CheckSum, the security
    // directory entry and the embedded signature: signing the driver changes its flat digest, not this.
    DWORD skips[6];
    int skipCount = 0;
    if (ImageHashSkips(file->Data(), file->Size(), skips, &skipCount) &&
        hasher.Hash(expected.alg, file->Data(), file->Size(), skips, skipCount, &found) && SameDigest(found, expected))
    {
        *image = true;
        return DigestMatches;
    }
    return DigestMismatch;
}

void CheckCatalogue(MachineState* s, CFileCache& cache, CHasher& hasher, int sys, int inf, int cat)
{
    const CFileBytes* catalogueBytes = cache.Get(cat);
    Catalogue* catalogue = new (std::nothrow) Catalogue;
    bool parsed = catalogue != nullptr && catalogueBytes != nullptr &&
                  ParseCatalogue(catalogueBytes->Data(), catalogueBytes->Size(), catalogue);
    const int checked[] = {sys, inf};
    for (int index : checked)
    {
        FileReading& f = s->files[index];
        if (!f.exists)
            continue;
        const CFileBytes* bytes = cache.Get(index);
        const CatalogueMember* member = parsed ? FindCatalogueMember(*catalogue, f.name) : nullptr;
        if (bytes == nullptr)
            f.catalogue = DigestUnreadable;
        else if (!parsed)
            f.catalogue = DigestNoSource;
        else if (member == nullptr)
            f.catalogue = DigestNotListed;
        else
            f.catalogue = Compare(hasher, bytes, member->digest, &f.imageDigest);
    }
    delete catalogue;
}

void CheckManifest(MachineState* s, CFileCache& cache, CHasher& hasher)
{
    FileReading& kvm = s->files[kFileKvm];
    FileReading& sys = s->files[kFileSys];
    // Installed without the manifests (NOKVMANIFEST): nothing to compare with.
    if (!kvm.exists)
        return;
    const CFileBytes* manifest = cache.Get(kFileKvm);
    const CFileBytes* guard = cache.Get(kFileGrd);
    Digest expected;
    bool unused = false;
    if (manifest == nullptr)
        kvm.manifest = DigestUnreadable;
    else if (guard == nullptr || !ReadGuardDigest(guard->Data(), guard->Size(), &expected))
        kvm.manifest = DigestNoSource;
    else
        kvm.manifest = Compare(hasher, manifest, expected, &unused) == DigestMatches ? DigestMatches : DigestMismatch;

    if (!sys.exists)
        return;
    const CFileBytes* driver = cache.Get(kFileSys);
    DWORD imageSize = 0;
    Digest found;
    if (driver == nullptr)
        sys.manifest = DigestUnreadable;
    else if (manifest == nullptr || !ReadManifestImage(manifest->Data(), manifest->Size(), &imageSize, &expected))
        sys.manifest = DigestNoSource;
    else if (imageSize != driver->Size())
        sys.manifest = DigestMismatch;
    else if (hasher.Hash(CALG_SHA_256, driver->Data(), driver->Size(), nullptr, 0, &found))
        sys.manifest = SameDigest(found, expected) ? DigestMatches : DigestMismatch;
}

// The path a pending entry names: without the "!" that marks a replacing target and the "\??\" of the
// native form. Our deletions are scheduled under short names, replacements under long ones.
int MatchFile(const MachineState* s, const wchar_t* entry, bool* temporary)
{
    const wchar_t* p = entry;
    if (*p == L'!')
        ++p;
    if (p[0] == L'\\' && p[1] == L'?' && p[2] == L'?' && p[3] == L'\\')
        p += 4;
    wchar_t candidates[3][kStatePathChars];
    int count = 0;
    CopyText(candidates[count++], kStatePathChars, p);
    DWORD n = GetLongPathNameW(p, candidates[count], kStatePathChars);
    if (n > 0 && n < kStatePathChars)
        ++count;
    // A file that is gone has no long name, but its directory still does.
    wchar_t directory[kStatePathChars];
    CopyText(directory, kStatePathChars, p);
    wchar_t* slash = directory + lstrlenW(directory);
    while (slash > directory && *slash != L'\\')
        --slash;
    if (*slash == L'\\')
    {
        *slash = L'\0';
        wchar_t longDirectory[kStatePathChars];
        n = GetLongPathNameW(directory, longDirectory, kStatePathChars);
        if (n > 0 && n < kStatePathChars && JoinPath(candidates[count], kStatePathChars, longDirectory, slash + 1))
            ++count;
    }
    for (int c = 0; c < count; ++c)
    {
        for (int i = 0; i < kFileCount; ++i)
        {
            *temporary = lstrcmpiW(candidates[c], s->files[i].temporary) == 0;
            if (*temporary || lstrcmpiW(candidates[c], s->files[i].path) == 0)
                return i;
        }
    }
    *temporary = false;
    return -1;
}

void NotePending(MachineState* s, const wchar_t* source, const wchar_t* target)
{
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
    if (s->pendingCount == kMaxPendingOfOurs)
    {
        ++s->pendingNotShown;
        return;
    }
    PendingReading& p = s->pending[s->pendingCount++];
    CopyText(p.source, kStatePathChars, source);
    CopyText(p.target, kStatePathChars, target);
    p.file = to >= 0 ? to : from;
    p.temporary = to < 0 && sourceTemporary;
}
}  // namespace

void ReadFiles(MachineState* s)
{
    for (int i = 0; i < kFileCount; ++i)
    {
        FileReading& f = s->files[i];
        const OurFile& entry = kFiles[i];
        f.name = entry.name;
        f.needed = entry.needed;
        f.expected = entry.needed && (entry.folder != InMaker || !s->vistaOrLater);
        JoinPath(f.path, kStatePathChars, FolderOf(s, entry.folder), entry.name);
        // ...\PELLIMAR64x86.SYS is replaced at the restart from ...\PELLIMAR64x86.SY1.
        CopyText(f.temporary, kStatePathChars, f.path);
        int length = lstrlenW(f.temporary);
        if (length > 0)
            f.temporary[length - 1] = L'1';
        WIN32_FILE_ATTRIBUTE_DATA data;
        f.exists = GetFileAttributesExW(f.path, GetFileExInfoStandard, &data) &&
                   !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
        if (f.exists)
            f.size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        f.temporaryExists = IsExistingFile(f.temporary) != FALSE;
        if (f.exists && entry.versioned)
            f.version = FileVersion(f.path);
    }

    CHasher hasher;
    if (!hasher.Init())
    {
        NoteReadError(s, L"CryptoAPI (no hashing provider)", GetLastError());
        return;
    }
    CFileCache* cache = new (std::nothrow) CFileCache(s);
    if (cache == nullptr)
    {
        NoteReadError(s, L"file digests (no memory)", ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    CheckCatalogue(s, *cache, hasher, kFileSys, kFileInf, kFileCat);
    CheckCatalogue(s, *cache, hasher, kFileMakerSys, kFileMakerInf, kFileMakerCat);
    CheckManifest(s, *cache, hasher);
    delete cache;
}

void ReadPendingOperations(MachineState* s)
{
    CScopedKey key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_READ | KEY_WOW64_64KEY, key.Receive());
    if (rc != ERROR_SUCCESS)
    {
        NoteReadError(s, kSessionManagerKey, static_cast<DWORD>(rc));
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
            NoteReadError(s, kPendingValue, static_cast<DWORD>(rc));
        s->pendingListDamaged = buffer != nullptr;
        delete[] buffer;
        return;
    }
    const wchar_t* chars = reinterpret_cast<const wchar_t*>(buffer);
    int n = static_cast<int>(size / sizeof(wchar_t));
    int pos = 0;
    // Pairs of strings up to an empty string where the next pair would start, as the platform reads it.
    while (pos < n && chars[pos] != L'\0')
    {
        const wchar_t* source = chars + pos;
        while (pos < n && chars[pos] != L'\0')
            ++pos;
        const wchar_t* target = chars + ++pos;
        while (pos < n && chars[pos] != L'\0')
            ++pos;
        if (pos >= n)
        {
            s->pendingListDamaged = true;   // a string, or a source without target, runs into the end
            break;
        }
        ++pos;
        NotePending(s, source, target);
    }
    delete[] buffer;
}
