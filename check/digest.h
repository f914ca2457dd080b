// Digests of the installed files and the places that vouch for them: the catalogue's member digests
// (PKCS#7 signed trust list), the protection manifest's image record and the guard file's SHA-1 of the
// manifest. Hashing goes through the CryptoAPI of advapi32, which every supported Windows has.
#pragma once
#include <windows.h>
#include <wincrypt.h>

const DWORD kMaxDigestBytes = 32;   // SHA-256

struct Digest
{
    ALG_ID alg;   // CALG_SHA1 or CALG_SHA_256; 0 = none
    DWORD length;
    BYTE bytes[kMaxDigestBytes];
};

// One file's bytes, read whole. Files of ours are a few KB; anything past kMaxReadBytes is refused.
class CFileBytes
{
public:
    CFileBytes();
    ~CFileBytes();
    // 0, or the Win32 error of opening or reading (ERROR_FILE_TOO_LARGE past the limit).
    DWORD Read(const wchar_t* path);
    const BYTE* Data() const { return m_data; }
    DWORD Size() const { return m_size; }

private:
    CFileBytes(const CFileBytes&) = delete;
    CFileBytes& operator=(const CFileBytes&) = delete;
    BYTE* m_data;
    DWORD m_size;
};

// A CryptoAPI context for hashing only (no key container is opened or created).
class CHasher
{
public:
    CHasher();
    ~CHasher();
    BOOL Init();
    // The digest of data[0..size) with one range (start, length) left out wherever a pair says so: the
    // flat digest with skipCount 0, the PE image digest with the ranges of ImageHashSkips.
    BOOL Hash(ALG_ID alg, const BYTE* data, DWORD size, const DWORD* skips, int skipCount, Digest* out);

private:
    CHasher(const CHasher&) = delete;
    CHasher& operator=(const CHasher&) = delete;
    HCRYPTPROV m_provider;
};

// The (start, length) pairs a PE image digest leaves out, in file order: the CheckSum field, the security
// directory entry and the certificate table (when there is one). FALSE when the headers do not describe a
// PE image that fits in the data. skips holds 6 numbers.
BOOL ImageHashSkips(const BYTE* data, DWORD size, DWORD* skips, int* skipCount);

// One member of the catalogue: the file name of its "File" attribute and its digest.
struct CatalogueMember
{
    wchar_t name[64];
    Digest digest;
};

const int kMaxCatalogueMembers = 16;

struct Catalogue
{
    int count;
    CatalogueMember members[kMaxCatalogueMembers];
};

// Walks the DER of a signed catalogue (either CMS form of the content, wrapped or not) and collects its
// members. Never reads outside data[0..size); nesting is bounded. FALSE when it holds no member.
BOOL ParseCatalogue(const BYTE* data, DWORD size, Catalogue* out);
const CatalogueMember* FindCatalogueMember(const Catalogue& catalogue, const wchar_t* name);

// The driver image record of a protection manifest: the image's size and SHA-256.
BOOL ReadManifestImage(const BYTE* data, DWORD size, DWORD* imageSize, Digest* sha256);
// The "SHA1=" line of the guard file, as a digest.
BOOL ReadGuardDigest(const BYTE* data, DWORD size, Digest* sha1);

bool SameDigest(const Digest& a, const Digest& b);
