// Digests of the installed files and two of the places that vouch for them: the protection manifest's
// image record and the guard file's SHA-1 of the manifest (the catalogue is check/catalogue.h). Hashing
// goes through the CryptoAPI of advapi32, which every supported Windows has.
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

// Hashing: bcrypt where the system has it (Vista on), the CryptoAPI before (its provider loads crypt32,
// which under Wine loads user32: a cost at every start that bcrypt does not have). No key container is
// opened or created.
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
    BOOL HashWithBcrypt(ALG_ID alg, const BYTE* data, DWORD size, const DWORD* skips, int skipCount, Digest* out);

    HMODULE m_bcrypt;
    HCRYPTPROV m_provider;
};

// The (start, length) pairs a PE image digest leaves out, in file order: the CheckSum field, the security
// directory entry and the certificate table (when there is one). FALSE when the headers do not describe a
// PE image that fits in the data. skips holds 6 numbers.
BOOL ImageHashSkips(const BYTE* data, DWORD size, DWORD* skips, int* skipCount);

// The driver image record of a protection manifest: the image's size and SHA-256.
BOOL ReadManifestImage(const BYTE* data, DWORD size, DWORD* imageSize, Digest* sha256);
// The "SHA1=" line of the guard file, as a digest.
BOOL ReadGuardDigest(const BYTE* data, DWORD size, Digest* sha1);

bool SameDigest(const Digest& a, const Digest& b);

// Little-endian fields of file formats, read byte by byte (no alignment assumed).
inline DWORD ReadU16(const BYTE* p)
{
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8);
}
inline DWORD ReadU32(const BYTE* p)
{
    return ReadU16(p) | (ReadU16(p + 2) << 16);
}
