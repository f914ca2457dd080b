// The file half of the machine state: our files with versions and digests, and their temporaries.
#include "check/state.h"

#include <new>

#include "base/handle.h"
#include "check/catalogue.h"
#include "check/digest.h"
#include "context/locations.h"
#include "context/version.h"
#include "usage/usagecount.h"

namespace
{
struct OurFile
{
    const wchar_t* name;
    LayoutFolder folder;
    bool needed;
    bool versioned;
};

// In FileIndex order.
const OurFile kFiles[kFileCount] = {
    {kDriverSysName, FolderDrivers, true, true},      {kDriverInfName, FolderDrivers, true, false},
    {kDriverCatName, FolderDrivers, true, false},     {kManifestKvmName, FolderManifests, true, false},
    {kManifestGrdName, FolderManifests, true, false}, {kManifestSigName, FolderManifests, true, false},
    {kInstallerFileName, FolderShared, true, true},   {kDriverSysName, FolderMaker, true, true},
    {kDriverInfName, FolderMaker, true, false},       {kDriverCatName, FolderMaker, true, false},
    {kRegistrationProgramName, FolderMaker, false, true},
};

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
    // A catalogue held open by another program is not read: a read error, no verdict on the files.
    bool catalogueUnread = s->files[cat].exists && catalogueBytes == nullptr;
    Catalogue* catalogue = new (std::nothrow) Catalogue;
    const wchar_t* names[] = {s->files[sys].name, s->files[inf].name};
    bool parsed = catalogue != nullptr && catalogueBytes != nullptr &&
                  ParseCatalogue(catalogueBytes->Data(), catalogueBytes->Size(), names, 2, catalogue);
    if (catalogue == nullptr && catalogueBytes != nullptr)
    {
        NoteReadError(s, s->files[cat].path, ERROR_NOT_ENOUGH_MEMORY);
        catalogueUnread = true;
    }
    const int checked[] = {sys, inf};
    for (int index : checked)
    {
        FileReading& f = s->files[index];
        if (!f.exists)
            continue;
        const CFileBytes* bytes = cache.Get(index);
        const CatalogueMember* member = parsed ? FindCatalogueMember(*catalogue, f.name) : nullptr;
        if (bytes == nullptr || catalogueUnread)
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

// The manifests come as a set of three: where none is there the machine was installed with
// NOKVMANIFEST and nothing is compared; one that is missing from the set is a finding of its own.
void CheckManifest(MachineState* s, CFileCache& cache, CHasher& hasher)
{
    FileReading& kvm = s->files[kFileKvm];
    FileReading& grd = s->files[kFileGrd];
    FileReading& sys = s->files[kFileSys];
    if (!kvm.exists)
        return;
    const CFileBytes* manifest = cache.Get(kFileKvm);
    const CFileBytes* guard = grd.exists ? cache.Get(kFileGrd) : nullptr;
    Digest expected;
    bool unused = false;
    if (manifest == nullptr || (grd.exists && guard == nullptr))
        kvm.manifest = DigestUnreadable;
    else if (guard == nullptr)
        kvm.manifest = DigestNotApplicable;   // the missing guard is its own finding
    else if (!ReadGuardDigest(guard->Data(), guard->Size(), &expected))
        kvm.manifest = DigestNoSource;
    else
        kvm.manifest = Compare(hasher, manifest, expected, &unused) == DigestMatches ? DigestMatches : DigestMismatch;

    if (!sys.exists)
        return;
    DWORD imageSize = 0;
    Digest found;
    if (manifest == nullptr)
    {
        sys.manifest = DigestUnreadable;
        return;
    }
    if (!ReadManifestImage(manifest->Data(), manifest->Size(), &imageSize, &expected))
    {
        sys.manifest = DigestNoSource;
        return;
    }
    // The size says it without reading the file: a driver too large to read is still a mismatch.
    if (imageSize != sys.size)
    {
        sys.manifest = DigestMismatch;
        return;
    }
    const CFileBytes* driver = cache.Get(kFileSys);
    if (driver == nullptr)
        sys.manifest = DigestUnreadable;
    else if (hasher.Hash(CALG_SHA_256, driver->Data(), driver->Size(), nullptr, 0, &found))
        sys.manifest = SameDigest(found, expected) ? DigestMatches : DigestMismatch;
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
        f.expected = entry.needed && (entry.folder != FolderMaker || !s->vistaOrLater);
        JoinPath(f.path, kStatePathChars, LayoutFolderPath(s->layout, entry.folder), entry.name);
        TemporaryOf(f.path, f.temporary, kStatePathChars);
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExW(f.path, GetFileExInfoStandard, &data))
        {
            f.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            f.directoryLink = f.directory && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            f.exists = !f.directory;
            f.size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        }
        else if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND)
        {
            f.unread = true;
            NoteReadError(s, f.path, GetLastError());
        }
        f.temporaryExists = IsExistingFile(f.temporary) != FALSE;
        if (f.exists && entry.versioned)
            f.version = ReadFileVersion(f.path);
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
    // From Vista on nothing is loaded from the maker's folder: its copies are vouched for by nobody.
    if (!s->vistaOrLater)
        CheckCatalogue(s, *cache, hasher, kFileMakerSys, kFileMakerInf, kFileMakerCat);
    CheckManifest(s, *cache, hasher);
    delete cache;
}
