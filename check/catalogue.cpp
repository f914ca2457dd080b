#include "check/catalogue.h"

#include <string.h>

#include "base/wstring.h"

namespace
{
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

// The elements of a body, each read once as the walk moves on: a set with many members costs its size,
// never its size squared.
struct DerCursor
{
    const BYTE* p;
    DWORD n;
};

DerCursor Inside(const DerItem& item)
{
    return {item.body, item.length};
}

bool Next(DerCursor* cursor, DerItem* item)
{
    if (cursor->n == 0 || !ReadDer(cursor->p, cursor->n, item))
        return false;
    cursor->p += item->total;
    cursor->n -= item->total;
    return true;
}

bool IsOid(const DerItem& item, const BYTE* oid, DWORD length)
{
    return item.tag == kTagOid && item.length == length && memcmp(item.body, oid, length) == 0;
}

// SET { SEQUENCE { BMPString "File", INTEGER flags, OCTET STRING name (UTF-16LE, NUL-terminated) } }
bool ReadMemberName(const DerItem& values, wchar_t* name, int capacity)
{
    DerItem value, label, flags, text;
    DerCursor set = Inside(values);
    if (!Next(&set, &value) || value.tag != kTagSequence)
        return false;
    DerCursor fields = Inside(value);
    if (!Next(&fields, &label) || !Next(&fields, &flags) || !Next(&fields, &text) || label.tag != kTagBmpString ||
        text.tag != kTagOctets)
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
    DerItem value, kind, info, algorithm, oid, octets;
    DerCursor set = Inside(values);
    if (!Next(&set, &value))
        return false;
    DerCursor fields = Inside(value);
    if (!Next(&fields, &kind) || !Next(&fields, &info))
        return false;
    DerCursor pair = Inside(info);
    if (!Next(&pair, &algorithm) || !Next(&pair, &octets) || octets.tag != kTagOctets)
        return false;
    DerCursor identifier = Inside(algorithm);
    if (!Next(&identifier, &oid))
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
    DerCursor fields = Inside(item);
    if (!Next(&fields, &tag) || !Next(&fields, &attributes) || Next(&fields, &extra) || tag.tag != kTagOctets ||
        attributes.tag != kTagSet)
        return false;
    bool named = false;
    bool digested = false;
    DerItem attribute, oid, values;
    for (DerCursor set = Inside(attributes); Next(&set, &attribute);)
    {
        DerCursor parts = Inside(attribute);
        if (attribute.tag != kTagSequence || !Next(&parts, &oid) || !Next(&parts, &values) || values.tag != kTagSet)
            continue;
        if (IsOid(oid, kOidNameValue, sizeof(kOidNameValue)))
            named = ReadMemberName(values, member->name, 64) || named;
        else if (IsOid(oid, kOidIndirectData, sizeof(kOidIndirectData)))
            digested = ReadMemberDigest(values, &member->digest) || digested;
    }
    return named && digested;
}

// Every member of the catalogue is looked at (it may list many files), but only those of the wanted
// names are kept.
struct Walk
{
    const wchar_t* const* names;
    int nameCount;
    Catalogue* out;
};

void Keep(const Walk& walk, const CatalogueMember& member)
{
    ++walk.out->seen;
    for (int i = 0; i < walk.nameCount; ++i)
    {
        if (SameNoCase(walk.names[i], member.name) && FindCatalogueMember(*walk.out, member.name) == nullptr &&
            walk.out->count < kMaxCatalogueMembers)
            walk.out->members[walk.out->count++] = member;
    }
}

void WalkDer(DerCursor cursor, int depth, const Walk& walk)
{
    DerItem item;
    while (Next(&cursor, &item))
    {
        CatalogueMember member = {};
        if (item.tag == kTagSequence && ReadMember(item, &member))
            Keep(walk, member);
        else if (depth < kMaxDerDepth &&
                 ((item.tag & kConstructed) || (item.tag == kTagOctets && item.length > 0 && item.body[0] == kTagSequence)))
            // CMS wraps the signed content in an OCTET STRING, the platform's catalogues do not: both
            // are looked into. An OCTET STRING that is no DER simply ends its own walk.
            WalkDer(Inside(item), depth + 1, walk);
    }
}
}  // namespace

BOOL ParseCatalogue(const BYTE* data, DWORD size, const wchar_t* const* names, int nameCount, Catalogue* out)
{
    out->count = 0;
    out->seen = 0;
    WalkDer({data, size}, 0, {names, nameCount, out});
    return out->seen > 0;
}

const CatalogueMember* FindCatalogueMember(const Catalogue& catalogue, const wchar_t* name)
{
    for (int i = 0; i < catalogue.count; ++i)
    {
        if (SameNoCase(catalogue.members[i].name, name))
            return &catalogue.members[i];
    }
    return nullptr;
}
