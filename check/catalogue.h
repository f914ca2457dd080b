// The installed catalogue (PELLIMAR64x86.CAT): PKCS#7 signed data whose content is a trust list with one
// member per file, each naming the file and giving its digest. Only those two things are read.
#pragma once
#include <windows.h>

#include "check/digest.h"

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
