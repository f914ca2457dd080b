// File versions: reading a file's Windows version resource, the three-way comparison of version
// quads, and the start-up step that reads the four versions the copy decisions rest on.
#pragma once
#include <windows.h>

class GlobalInfo;

// Result codes of CVersionResource.
const DWORD kVersionOk = 0;
const DWORD kVersionNoFile = 2;               // no entry of that path is a file
const DWORD kVersionCompareNoFixed = 4;       // a compared object has no fixed version record
const DWORD kVersionNoTranslation = 0xFFFC;   // translation already current, or not in the table
const DWORD kVersionNotInitialised = 0xFFFD;
const DWORD kVersionNoFixedRecord = 0xFFFE;
const DWORD kVersionLoadFailed = 0xFFFF;      // no version resource, too short, or unreadable

// Results of CompareVersions (and of the comparing operations below).
const DWORD kVersionsEqual = 0;
const DWORD kFirstVersionHigher = 1;
const DWORD kSecondVersionHigher = 2;

// A version quad major.minor.build.revision as one number: major in the top 16 bits, the fixed
// record's dwFileVersionMS as the high half and dwFileVersionLS as the low half. 0 = absent.
inline ULONGLONG MakeVersionQuad(DWORD ms, DWORD ls)
{
    return (static_cast<ULONGLONG>(ms) << 32) | ls;
}
inline ULONGLONG MakeVersionQuad(WORD major, WORD minor, WORD build, WORD revision)
{
    return MakeVersionQuad(MAKELONG(minor, major), MAKELONG(revision, build));
}
// The four parts of a quad as ints, ready for "%d.%d.%d.%d".
inline void SplitVersionQuad(ULONGLONG quad, int* major, int* minor, int* build, int* revision)
{
    *major = static_cast<WORD>(quad >> 48);
    *minor = static_cast<WORD>(quad >> 32);
    *build = static_cast<WORD>(quad >> 16);
    *revision = static_cast<WORD>(quad);
}

// 0 when equal, 1 when the first quad is higher, 2 when the second is.
DWORD CompareVersions(DWORD ms1, DWORD ls1, DWORD ms2, DWORD ls2);

class CVersionResource
{
public:
    explicit CVersionResource(const wchar_t* path);
    ~CVersionResource();

    // Loads the file's version resource once; a result code.
    DWORD IntializeData();
    BOOL IsInitialised() const { return m_initialised; }

    DWORD GetFileVersion(DWORD* ms, DWORD* ls) const;
    DWORD GetProductVersion(DWORD* ms, DWORD* ls) const;
    // Three-way comparison of this file's version (first) with the given one (second).
    DWORD CompareFileVersion(DWORD ms, DWORD ls) const;
    DWORD CompareWith(const CVersionResource* other) const;
    BOOL IsSameVersion(const CVersionResource* other) const;

    // The language/code-page table (pairs with the language in the low 16 bits); makes its first pair
    // current.
    DWORD GetTranslations(DWORD** table, UINT* count);
    DWORD SelectTranslation(DWORD translation);
    // 1 CompanyName, 2 FileDescription, 3 FileVersion, 4 InternalName, 5 LegalCopyright,
    // 6 OriginalFilename, 7 ProductName, 8 ProductVersion, for the current pair; null when absent.
    const wchar_t* GetVersionString(int index) const;

private:
    CVersionResource(const CVersionResource&) = delete;
    CVersionResource& operator=(const CVersionResource&) = delete;

    BOOL FileExists() const;
    DWORD ReadFixedVersion(BOOL product, DWORD* ms, DWORD* ls) const;

    BOOL m_initialised;
    UINT m_fixedLength;
    UINT m_translationsLength;
    DWORD m_translation;
    wchar_t* m_path;
    BYTE* m_data;
    DWORD* m_translations;
    const VS_FIXEDFILEINFO* m_fixed;
};

// Reads InstalledDriverVersion, NewDriverVersion, OwnVersion and InstalledTovrandVersion. FALSE
// when the new driver or the running installer has no readable version (logged).
BOOL GetVersions(GlobalInfo* info);
