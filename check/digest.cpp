#include "check/digest.h"

#include <string.h>

#include <new>

#include "base/handle.h"
#include "base/sysdll.h"

namespace
{
// Our files are a few KB; a file this big is not one of them and is not read.
const DWORD kMaxReadBytes = 64u * 1024 * 1024;

int HexValue(BYTE c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c |= 0x20;
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}
}  // namespace

CFileBytes::CFileBytes() : m_data(nullptr), m_size(0)
{
}

CFileBytes::~CFileBytes()
{
    delete[] m_data;
}

DWORD CFileBytes::Read(const wchar_t* path)
{
    delete[] m_data;
    m_data = nullptr;
    m_size = 0;
    // Every sharing mode: an installer replacing the file at the same moment must not be disturbed.
    CScopedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
        return GetLastError();
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.Get(), &size))
        return GetLastError();
    if (size.QuadPart > kMaxReadBytes)
        return ERROR_FILE_TOO_LARGE;
    DWORD bytes = static_cast<DWORD>(size.QuadPart);
    m_data = new (std::nothrow) BYTE[bytes != 0 ? bytes : 1];
    if (m_data == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    DWORD got = 0;
    while (m_size < bytes)
    {
        if (!ReadFile(file.Get(), m_data + m_size, bytes - m_size, &got, nullptr))
            return GetLastError();
        if (got == 0)
            break;   // shrank while being read: what was there is what is hashed
        m_size += got;
    }
    return ERROR_SUCCESS;
}

namespace
{
typedef LONG(WINAPI* BCryptOpenAlgorithmProviderFn)(void**, LPCWSTR, LPCWSTR, ULONG);
typedef LONG(WINAPI* BCryptGetPropertyFn)(void*, LPCWSTR, PUCHAR, ULONG, ULONG*, ULONG);
typedef LONG(WINAPI* BCryptCreateHashFn)(void*, void**, PUCHAR, ULONG, PUCHAR, ULONG, ULONG);
typedef LONG(WINAPI* BCryptHashDataFn)(void*, PUCHAR, ULONG, ULONG);
typedef LONG(WINAPI* BCryptFinishHashFn)(void*, PUCHAR, ULONG, ULONG);
typedef LONG(WINAPI* BCryptDestroyHashFn)(void*);
typedef LONG(WINAPI* BCryptCloseAlgorithmProviderFn)(void*, ULONG);

// Feeds data[0..size) to add, leaving out the (start, length) ranges of skips.
template <typename Add>
BOOL HashRanges(const BYTE* data, DWORD size, const DWORD* skips, int skipCount, Add add)
{
    DWORD pos = 0;
    for (int i = 0; i <= skipCount; ++i)
    {
        DWORD end = i < skipCount ? skips[2 * i] : size;
        if (end > pos && !add(data + pos, end - pos))
            return FALSE;
        if (i < skipCount)
            pos = skips[2 * i] + skips[2 * i + 1];
    }
    return TRUE;
}
}  // namespace

CHasher::CHasher() : m_bcrypt(nullptr), m_provider(0)
{
}

CHasher::~CHasher()
{
    if (m_provider != 0)
        CryptReleaseContext(m_provider, 0);
}

BOOL CHasher::Init()
{
    // Not in the import table: XP x64 and Server 2003 have no bcrypt.dll.
    m_bcrypt = LoadSystemLibrary(L"bcrypt.dll");
    if (m_bcrypt != nullptr && GetProcAddress(m_bcrypt, "BCryptOpenAlgorithmProvider") != nullptr)
        return TRUE;
    m_bcrypt = nullptr;
    // The AES provider type is the one that knows SHA-256 (XP SP3, Server 2003 SP2 and later); the plain
    // RSA provider still gives SHA-1 where it is missing. CRYPT_VERIFYCONTEXT: no key container is
    // opened, so nothing is created in the user's profile.
    if (CryptAcquireContextW(&m_provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return TRUE;
    return CryptAcquireContextW(&m_provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
}

BOOL CHasher::HashWithBcrypt(ALG_ID alg, const BYTE* data, DWORD size, const DWORD* skips, int skipCount,
                             Digest* out)
{
    auto open = reinterpret_cast<BCryptOpenAlgorithmProviderFn>(GetProcAddress(m_bcrypt, "BCryptOpenAlgorithmProvider"));
    auto property = reinterpret_cast<BCryptGetPropertyFn>(GetProcAddress(m_bcrypt, "BCryptGetProperty"));
    auto create = reinterpret_cast<BCryptCreateHashFn>(GetProcAddress(m_bcrypt, "BCryptCreateHash"));
    auto hashData = reinterpret_cast<BCryptHashDataFn>(GetProcAddress(m_bcrypt, "BCryptHashData"));
    auto finish = reinterpret_cast<BCryptFinishHashFn>(GetProcAddress(m_bcrypt, "BCryptFinishHash"));
    auto destroy = reinterpret_cast<BCryptDestroyHashFn>(GetProcAddress(m_bcrypt, "BCryptDestroyHash"));
    auto close = reinterpret_cast<BCryptCloseAlgorithmProviderFn>(GetProcAddress(m_bcrypt, "BCryptCloseAlgorithmProvider"));
    void* algorithm = nullptr;
    if (open == nullptr || property == nullptr || create == nullptr || hashData == nullptr || finish == nullptr ||
        destroy == nullptr || close == nullptr || open(&algorithm, alg == CALG_SHA1 ? L"SHA1" : L"SHA256", nullptr, 0) != 0)
        return FALSE;
    // Vista wants the hash object's room from the caller.
    ULONG objectSize = 0;
    ULONG got = 0;
    BYTE* object = nullptr;
    void* hash = nullptr;
    DWORD length = alg == CALG_SHA1 ? 20 : 32;
    if (property(algorithm, L"ObjectLength", reinterpret_cast<PUCHAR>(&objectSize), sizeof(objectSize), &got, 0) == 0 &&
        (object = new (std::nothrow) BYTE[objectSize]) != nullptr &&
        create(algorithm, &hash, object, objectSize, nullptr, 0, 0) == 0)
    {
        BOOL ok = HashRanges(data, size, skips, skipCount, [&](const BYTE* p, DWORD n) {
            return hashData(hash, const_cast<PUCHAR>(p), n, 0) == 0;
        });
        if (ok && finish(hash, out->bytes, length, 0) == 0)
        {
            out->alg = alg;
            out->length = length;
        }
        destroy(hash);
    }
    delete[] object;
    close(algorithm, 0);
    return out->alg != 0;
}

BOOL CHasher::Hash(ALG_ID alg, const BYTE* data, DWORD size, const DWORD* skips, int skipCount, Digest* out)
{
    out->alg = 0;
    out->length = 0;
    if (m_bcrypt != nullptr)
        return HashWithBcrypt(alg, data, size, skips, skipCount, out);
    HCRYPTHASH hash = 0;
    if (m_provider == 0 || !CryptCreateHash(m_provider, alg, 0, 0, &hash))
        return FALSE;
    BOOL ok = HashRanges(data, size, skips, skipCount,
                         [hash](const BYTE* p, DWORD n) { return CryptHashData(hash, p, n, 0) != FALSE; });
    DWORD length = kMaxDigestBytes;
    if (ok && CryptGetHashParam(hash, HP_HASHVAL, out->bytes, &length, 0))
    {
        out->alg = alg;
        out->length = length;
    }
    CryptDestroyHash(hash);
    return out->alg != 0;
}

BOOL ImageHashSkips(const BYTE* data, DWORD size, DWORD* skips, int* skipCount)
{
    *skipCount = 0;
    if (size < 0x40 || data[0] != 'M' || data[1] != 'Z')
        return FALSE;
    DWORD pe = ReadU32(data + 0x3C);
    if (pe > size || size - pe < 24 || memcmp(data + pe, "PE\0\0", 4) != 0)
        return FALSE;
    DWORD optional = pe + 24;
    DWORD optionalSize = ReadU16(data + pe + 20);
    if (optionalSize < 2 || size - optional < optionalSize)
        return FALSE;
    DWORD magic = ReadU16(data + optional);
    // PE32 and PE32+ differ in where the data directories start (ImageBase and the stack and heap sizes
    // are 64-bit in the latter).
    DWORD directories = magic == 0x10B ? optional + 96 : magic == 0x20B ? optional + 112 : 0;
    if (directories == 0 || directories > optional + optionalSize)
        return FALSE;
    DWORD security = directories + 4 * 8;   // IMAGE_DIRECTORY_ENTRY_SECURITY
    if (ReadU32(data + directories - 4) <= 4 || security + 8 > optional + optionalSize)
        return FALSE;
    DWORD certOffset = ReadU32(data + security);   // a file offset, unlike the other directories' RVAs
    DWORD certSize = ReadU32(data + security + 4);
    skips[0] = optional + 64;   // CheckSum
    skips[1] = 4;
    skips[2] = security;
    skips[3] = 8;
    *skipCount = 2;
    if (certSize != 0)
    {
        if (certOffset < security + 8 || certOffset > size || certSize > size - certOffset)
            return FALSE;
        skips[4] = certOffset;
        skips[5] = certSize;
        *skipCount = 3;
    }
    return TRUE;
}

BOOL ReadManifestImage(const BYTE* data, DWORD size, DWORD* imageSize, Digest* sha256)
{
    // A 64-byte header ("KVMF", version, header size, ...), then records of type u16, flags u16,
    // length u32 and the data padded to 8 bytes. Record type 1 describes the driver image.
    if (size < 64 || memcmp(data, "KVMF", 4) != 0)
        return FALSE;
    DWORD pos = ReadU16(data + 6);
    while (pos <= size && size - pos >= 8)
    {
        DWORD type = ReadU16(data + pos);
        DWORD length = ReadU32(data + pos + 4);
        if (length > size - pos - 8)
            return FALSE;
        if (type == 1 && length >= 36)
        {
            *imageSize = ReadU32(data + pos + 8);
            sha256->alg = CALG_SHA_256;
            sha256->length = 32;
            memcpy(sha256->bytes, data + pos + 12, 32);
            return TRUE;
        }
        pos += 8 + ((length + 7) & ~7u);
    }
    return FALSE;
}

BOOL ReadGuardDigest(const BYTE* data, DWORD size, Digest* sha1)
{
    for (DWORD line = 0; line < size;)
    {
        static const char kKey[] = "sha1=";
        DWORD k = 0;
        while (k < 5 && line + k < size && (data[line + k] | 0x20) == kKey[k])
            ++k;
        if (k == 5 && size - line - 5 >= 40)
        {
            const BYTE* hex = data + line + 5;
            bool ok = true;
            for (int i = 0; i < 20 && ok; ++i)
            {
                int hi = HexValue(hex[2 * i]);
                int lo = HexValue(hex[2 * i + 1]);
                ok = hi >= 0 && lo >= 0;
                sha1->bytes[i] = static_cast<BYTE>(hi * 16 + lo);
            }
            if (ok)
            {
                sha1->alg = CALG_SHA1;
                sha1->length = 20;
                return TRUE;
            }
        }
        while (line < size && data[line] != '\n')
            ++line;
        ++line;
    }
    return FALSE;
}

bool SameDigest(const Digest& a, const Digest& b)
{
    return a.alg != 0 && a.alg == b.alg && a.length == b.length && memcmp(a.bytes, b.bytes, a.length) == 0;
}
