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

const int kMaxCatalogueMembers = 4;

struct Catalogue
{
    int seen;    // members of any name
    int count;   // those kept: the first of each wanted name
    CatalogueMember members[kMaxCatalogueMembers];
};

// Walks the DER of a signed catalogue (either CMS form of the content, wrapped or not) and keeps the
// members of the given names (at most kMaxCatalogueMembers). Never reads outside data[0..size); nesting
// is bounded, and the time is bounded by the size. FALSE when it holds no member at all. The signature
// over the content is not checked: the files are compared with the catalogue that is installed, which
// says nothing about whether that catalogue is the one the build signed.
BOOL ParseCatalogue(const BYTE* data, DWORD size, const wchar_t* const* names, int nameCount, Catalogue* out);
const CatalogueMember* FindCatalogueMember(const Catalogue& catalogue, const wchar_t* name);
