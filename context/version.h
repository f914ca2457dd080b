// File versions: reading a file's Windows version resource, the three-way comparison of version
// quads, and the start-up step that reads the four versions the copy decisions rest on.
#pragma once
#include <windows.h>

class GlobalInfo;

// Result codes of CVersionResource.
const DWORD kVersionOk = 0;
const DWORD kVersionNoFile = 2;               // no entry of that path is a file
const DWORD kVersionCompareNoFixed = 4;       // a compared object has no fixed version record
const DWORD kVersionNotInitialised = 0xFFFD;
const DWORD kVersionNoFixedRecord = 0xFFFE;
const DWORD kVersionLoadFailed = 0xFFFF;      // no version resource, too short, or unreadable

// Results of CompareVersions (and of CompareFileVersion).
const DWORD kVersionsEqual = 0;
const DWORD kFirstVersionHigher = 1;
const DWORD kSecondVersionHigher = 2;

// A version quad major.minor.build.revision as one number: major in the top 16 bits, the fixed
// record's dwFileVersionMS as the high half and dwFileVersionLS as the low half. 0 = absent.
inline ULONGLONG MakeVersionQuad(DWORD ms, DWORD ls)
{
    return (static_cast<ULONGLONG>(ms) << 32) | ls;
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
    DWORD GetFileVersion(DWORD* ms, DWORD* ls) const;
    // Three-way comparison of this file's version (first) with the given one (second).
    DWORD CompareFileVersion(DWORD ms, DWORD ls) const;

private:
    CVersionResource(const CVersionResource&) = delete;
    CVersionResource& operator=(const CVersionResource&) = delete;

    BOOL FileExists() const;

    BOOL m_initialised;
    wchar_t* m_path;
    BYTE* m_data;
    const VS_FIXEDFILEINFO* m_fixed;
};

// The file version of path as a quad, 0 when it has none that can be read; *code (when given) is why.
ULONGLONG ReadFileVersion(const wchar_t* path, DWORD* code = nullptr);

// Reads InstalledDriverVersion, NewDriverVersion, OwnVersion and InstalledTovrandVersion. FALSE
// when the new driver or the running installer has no readable version (logged).
BOOL GetVersions(GlobalInfo* info);
