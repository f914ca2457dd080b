// File versions: reading a file's Windows version resource as a version quad, and the start-up step
// that reads the four versions the copy decisions rest on.
#pragma once
#include <windows.h>

class GlobalInfo;

// Result codes of CVersionResource.
const DWORD kVersionOk = 0;
const DWORD kVersionNoFile = 2;               // no entry of that path is a file
const DWORD kVersionNotInitialised = 0xFFFD;
const DWORD kVersionNoFixedRecord = 0xFFFE;
const DWORD kVersionLoadFailed = 0xFFFF;      // no version resource, too short, or unreadable

// A version quad major.minor.build.revision as one number: major in the top 16 bits, the fixed
// record's dwFileVersionMS as the high half and dwFileVersionLS as the low half. 0 = absent. Major,
// minor, build and revision sit in falling order of significance, so one unsigned comparison of two
// quads orders them field by field.
inline ULONGLONG MakeVersionQuad(DWORD ms, DWORD ls)
{
    return (static_cast<ULONGLONG>(ms) << 32) | ls;
}

class CVersionResource
{
public:
    explicit CVersionResource(const wchar_t* path);
    ~CVersionResource();

    // Loads the file's version resource once; a result code.
    DWORD IntializeData();
    DWORD GetFileVersion(DWORD* ms, DWORD* ls) const;

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
