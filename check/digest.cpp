#include "check/digest.h"

#include <string.h>

#include <new>

#include "base/handle.h"

namespace
{
// Our files are a few KB; a file this big is not one of them and is not read.
const DWORD kMaxReadBytes = 64u * 1024 * 1024;
// The catalogue nests about ten levels deep (ContentInfo, SignedData, content, trust list, members);
// certificates a little deeper. Nothing of ours lies below this.
const int kMaxDerDepth = 16;

// Object identifiers as their DER bodies.
const BYTE kOidNameValue[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x0C, 0x02, 0x01};     // 1.3.6.1.4.1.311.12.2.1
const BYTE kOidIndirectData[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};  // 1.3.6.1.4.1.311.2.1.4
const BYTE kOidSha1[] = {0x2B, 0x0E, 0x03, 0x02, 0x1A};                                        // 1.3.14.3.2.26
const BYTE kOidSha256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};              // 2.16.840.1.101.3.4.2.1

const BYTE kTagOctets = 0x04;
const BYTE kTagOid = 0x06;
const BYTE kTagSequence = 0x30;
const BYTE kTagSet = 0x31;
const BYTE kTagBmpString = 0x1E;
const BYTE kConstructed = 0x20;

DWORD ReadU16(const BYTE* p)
{
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8);
}

DWORD ReadU32(const BYTE* p)
{
    return ReadU16(p) | (ReadU16(p + 2) << 16);
}

struct DerItem
{
    BYTE tag;
    const BYTE* body;
    DWORD length;   // of the body
    DWORD total;    // header and body
};

// One element at p[0..n). Only single-byte tags and definite lengths of up to four bytes: DER as our
// build tools and the platform's signers write it.
bool ReadDer(const BYTE* p, DWORD n, DerItem* item)
{
    if (n < 2 || (p[0] & 0x1F) == 0x1F)
        return false;
    DWORD head = 2;
    DWORD length = p[1];
    if (length & 0x80)
    {
        DWORD count = length & 0x7F;
        if (count == 0 || count > 4 || n - 2 < count)
            return false;
        length = 0;
        for (DWORD i = 0; i < count; ++i)
            length = (length << 8) | p[2 + i];
        head += count;
    }
    if (length > n - head)
        return false;
    item->tag = p[0];
    item->body = p + head;
    item->length = length;
    item->total = head + length;
    return true;
}

// The index-th element inside parent's body.
bool Child(const DerItem& parent, int index, DerItem* child)
{
    const BYTE* p = parent.body;
    DWORD n = parent.length;
    for (int i = 0;; ++i)
    {
        if (!ReadDer(p, n, child))
            return false;
        if (i == index)
            return true;
        p += child->total;
        n -= child->total;
    }
}

bool IsOid(const DerItem& item, const BYTE* oid, DWORD length)
{
    return item.tag == kTagOid && item.length == length && memcmp(item.body, oid, length) == 0;
}

// SET { SEQUENCE { BMPString "File", INTEGER flags, OCTET STRING name (UTF-16LE, NUL-terminated) } }
bool ReadMemberName(const DerItem& values, wchar_t* name, int capacity)
{
    DerItem value, label, text;
    if (!Child(values, 0, &value) || value.tag != kTagSequence || !Child(value, 0, &label) ||
        !Child(value, 2, &text) || label.tag != kTagBmpString || text.tag != kTagOctets)
        return false;
    static const BYTE kFile[] = {0, 'F', 0, 'i', 0, 'l', 0, 'e'};
    if (label.length != sizeof(kFile) || memcmp(label.body, kFile, sizeof(kFile)) != 0)
        return false;
    int chars = static_cast<int>(text.length / 2);
    int n = 0;
    for (; n < chars && n < capacity - 1; ++n)
    {
        wchar_t ch = static_cast<wchar_t>(ReadU16(text.body + 2 * n));
        if (ch == L'\0')
            break;
        name[n] = ch;
    }
    name[n] = L'\0';
    return n > 0;
}

// SET { SEQUENCE { SEQUENCE { OID kind, ... }, SEQUENCE { SEQUENCE { OID algorithm, NULL }, OCTET STRING } } }
// The kind (flat file or PE image) is not looked at: the caller compares both digests of the file.
bool ReadMemberDigest(const DerItem& values, Digest* digest)
{
    DerItem value, info, algorithm, oid, octets;
    if (!Child(values, 0, &value) || !Child(value, 1, &info) || !Child(info, 0, &algorithm) ||
        !Child(info, 1, &octets) || !Child(algorithm, 0, &oid) || octets.tag != kTagOctets)
        return false;
    if (IsOid(oid, kOidSha1, sizeof(kOidSha1)) && octets.length == 20)
        digest->alg = CALG_SHA1;
    else if (IsOid(oid, kOidSha256, sizeof(kOidSha256)) && octets.length == 32)
        digest->alg = CALG_SHA_256;
    else
        return false;
    digest->length = octets.length;
    memcpy(digest->bytes, octets.body, octets.length);
    return true;
}

// SEQUENCE { OCTET STRING tag, SET { attribute... } }, each attribute SEQUENCE { OID, SET { value } }.
bool ReadMember(const DerItem& item, CatalogueMember* member)
{
    DerItem tag, attributes, extra;
    if (!Child(item, 0, &tag) || !Child(item, 1, &attributes) || Child(item, 2, &extra) || tag.tag != kTagOctets ||
        attributes.tag != kTagSet)
        return false;
    bool named = false;
    bool digested = false;
    DerItem attribute, oid, values;
    for (int i = 0; Child(attributes, i, &attribute); ++i)
    {
        if (attribute.tag != kTagSequence || !Child(attribute, 0, &oid) || !Child(attribute, 1, &values) ||
            values.tag != kTagSet)
            continue;
        if (IsOid(oid, kOidNameValue, sizeof(kOidNameValue)))
            named = ReadMemberName(values, member->name, 64) || named;
        else if (IsOid(oid, kOidIndirectData, sizeof(kOidIndirectData)))
            digested = ReadMemberDigest(values, &member->digest) || digested;
    }
    return named && digested;
}

void WalkDer(const BYTE* p, DWORD n, int depth, Catalogue* out)
{
    DerItem item;
    while (n > 0 && ReadDer(p, n, &item))
    {
        CatalogueMember member = {};
        if (item.tag == kTagSequence && out->count < kMaxCatalogueMembers && ReadMember(item, &member))
            out->members[out->count++] = member;
        else if (depth < kMaxDerDepth &&
                 ((item.tag & kConstructed) || (item.tag == kTagOctets && item.length > 0 && item.body[0] == kTagSequence)))
            // CMS wraps the signed content in an OCTET STRING, the platform's catalogues do not: both
            // are looked into. An OCTET STRING that is no DER simply ends its own walk.
            WalkDer(item.body, item.length, depth + 1, out);
        p += item.total;
        n -= item.total;
    }
}

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

CHasher::CHasher() : m_provider(0)
{
}

CHasher::~CHasher()
{
    if (m_provider != 0)
        CryptReleaseContext(m_provider, 0);
}

BOOL CHasher::Init()
{
    // The AES provider type is the one that knows SHA-256 (XP SP3, Server 2003 SP2 and later); the plain
    // RSA provider still gives SHA-1 where it is missing. CRYPT_VERIFYCONTEXT: no key container is
    // opened, so nothing is created in the user's profile.
    if (CryptAcquireContextW(&m_provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return TRUE;
    return CryptAcquireContextW(&m_provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
}

BOOL CHasher::Hash(ALG_ID alg, const BYTE* data, DWORD size, const DWORD* skips, int skipCount, Digest* out)
{
    out->alg = 0;
    out->length = 0;
    HCRYPTHASH hash = 0;
    if (m_provider == 0 || !CryptCreateHash(m_provider, alg, 0, 0, &hash))
        return FALSE;
    BOOL ok = TRUE;
    DWORD pos = 0;
    for (int i = 0; i <= skipCount && ok; ++i)
    {
        DWORD end = i < skipCount ? skips[2 * i] : size;
        if (end > pos)
            ok = CryptHashData(hash, data + pos, end - pos, 0);
        if (i < skipCount)
            pos = skips[2 * i] + skips[2 * i + 1];
    }
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

BOOL ParseCatalogue(const BYTE* data, DWORD size, Catalogue* out)
{
    out->count = 0;
    WalkDer(data, size, 0, out);
    return out->count > 0;
}

const CatalogueMember* FindCatalogueMember(const Catalogue& catalogue, const wchar_t* name)
{
    for (int i = 0; i < catalogue.count; ++i)
    {
        if (lstrcmpiW(catalogue.members[i].name, name) == 0)
            return &catalogue.members[i];
    }
    return nullptr;
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
