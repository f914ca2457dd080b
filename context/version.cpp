#include "context/version.h"

#include <new>

#include "base/alloc.h"
#include "base/handle.h"
#include "base/log.h"
#include "base/sysdll.h"
#include "base/wstring.h"
#include "context/globalinfo.h"
#include "context/locations.h"

namespace
{
// version.dll is not in the import table: it is loaded from the system directory on first use, so a
// copy planted beside the installer is never picked up.
typedef DWORD(WINAPI* GetFileVersionInfoSizeFn)(LPCWSTR, LPDWORD);
typedef BOOL(WINAPI* GetFileVersionInfoFn)(LPCWSTR, DWORD, DWORD, LPVOID);
typedef BOOL(WINAPI* VerQueryValueFn)(LPCVOID, LPCWSTR, LPVOID*, PUINT);

bool g_apiLoaded = false;
GetFileVersionInfoSizeFn g_getSize = nullptr;
GetFileVersionInfoFn g_getInfo = nullptr;
VerQueryValueFn g_query = nullptr;

void LoadVersionApi()
{
    if (g_apiLoaded)
        return;
    g_apiLoaded = true;
    HMODULE module = LoadSystemLibrary(L"version.dll");
    if (module == nullptr)
        return;
    g_getSize = reinterpret_cast<GetFileVersionInfoSizeFn>(GetProcAddress(module, "GetFileVersionInfoSizeW"));
    g_getInfo = reinterpret_cast<GetFileVersionInfoFn>(GetProcAddress(module, "GetFileVersionInfoW"));
    g_query = reinterpret_cast<VerQueryValueFn>(GetProcAddress(module, "VerQueryValueW"));
    if (g_getSize == nullptr || g_getInfo == nullptr || g_query == nullptr)
        g_getSize = nullptr;   // all three or none: without the size nothing is ever loaded
}

// VerQueryValueW; null when the sub-block is not there.
const void* QueryValue(const void* data, const wchar_t* subBlock, UINT* length)
{
    *length = 0;
    void* value = nullptr;
    if (data == nullptr || g_query == nullptr || !g_query(data, subBlock, &value, length) || value == nullptr)
    {
        *length = 0;
        return nullptr;
    }
    return value;
}

const wchar_t* StringName(int index)
{
    static const wchar_t* const kNames[] = {L"CompanyName", L"FileDescription", L"FileVersion",
                                            L"InternalName", L"LegalCopyright", L"OriginalFilename",
                                            L"ProductName", L"ProductVersion"};
    if (index < 1 || index > 8)
        return nullptr;
    return kNames[index - 1];
}

wchar_t* CopyPath(const wchar_t* path)
{
    if (path == nullptr)
        return nullptr;
    int length = lstrlenW(path);
    wchar_t* copy = new (std::nothrow) wchar_t[length + 1];
    if (copy != nullptr)
        lstrcpyW(copy, path);
    return copy;
}

// Reads the file version of path with a reader of its own. FALSE only when the reader cannot be
// allocated; otherwise code is IntializeData's result and version the quad (0 unless readable).
BOOL ReadFileVersion(const wchar_t* path, DWORD* code, ULONGLONG* version)
{
    *code = kVersionLoadFailed;
    *version = 0;
    CVersionResource* reader = NewNoThrow<CVersionResource>(path);
    if (reader == nullptr)
    {
        LogEvent(L"  GetVersions: Failed to allocate memory for VersionResource.");
        return FALSE;
    }
    *code = reader->IntializeData();
    DWORD ms = 0;
    DWORD ls = 0;
    if (*code == kVersionOk && reader->GetFileVersion(&ms, &ls) == kVersionOk)
        *version = MakeVersionQuad(ms, ls);
    delete reader;
    return TRUE;
}
}  // namespace

DWORD CompareVersions(DWORD ms1, DWORD ls1, DWORD ms2, DWORD ls2)
{
    // Major, minor, build and revision sit in falling order of significance in the 64-bit quad, so one
    // unsigned comparison orders them field by field.
    ULONGLONG first = MakeVersionQuad(ms1, ls1);
    ULONGLONG second = MakeVersionQuad(ms2, ls2);
    if (first == second)
        return kVersionsEqual;
    return first > second ? kFirstVersionHigher : kSecondVersionHigher;
}

CVersionResource::CVersionResource(const wchar_t* path)
    : m_initialised(FALSE), m_fixedLength(0), m_translationsLength(0), m_translation(0), m_path(CopyPath(path)),
      m_data(nullptr), m_translations(nullptr), m_fixed(nullptr)
{
}

CVersionResource::~CVersionResource()
{
    delete[] m_path;
    delete[] m_data;
}

BOOL CVersionResource::FileExists() const
{
    if (m_path == nullptr || m_path[0] == L'\0')
        return FALSE;
    WIN32_FIND_DATAW data;
    CScopedFind find(FindFirstFileW(m_path, &data));
    if (!find.IsValid())
        return FALSE;
    do
    {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && data.cFileName[0] != L'.' &&
            data.cAlternateFileName[0] != L'.')
            return TRUE;
    } while (FindNextFileW(find.Get(), &data));
    return FALSE;
}

DWORD CVersionResource::IntializeData()
{
    if (m_initialised)
    {
        if (m_data == nullptr)
            return kVersionLoadFailed;
        return m_fixed != nullptr ? kVersionOk : kVersionNoFixedRecord;
    }
    if (m_path == nullptr)
        return kVersionLoadFailed;
    if (!FileExists())
        return kVersionNoFile;

    LoadVersionApi();
    LogEvent(L"  GetFileVersionInfoSize(%s) start", m_path);
    DWORD ignored = 0;
    DWORD size = g_getSize != nullptr ? g_getSize(m_path, &ignored) : 0;
    LogEvent(L"  GetFileVersionInfoSize(%s) end", m_path);
    if (size < sizeof(VS_FIXEDFILEINFO))
        return kVersionLoadFailed;

    // A little room beyond the reported size, zeroed, so that nothing read from a short or changed
    // resource can run past what was filled in.
    DWORD bufferSize = size + 10;
    BYTE* data = new (std::nothrow) BYTE[bufferSize];
    if (data == nullptr)
        return kVersionLoadFailed;
    ZeroMemory(data, bufferSize);
    // The file can change between the two calls; a buffer that was never filled is not parsed.
    if (!g_getInfo(m_path, 0, bufferSize, data))
    {
        delete[] data;
        return kVersionLoadFailed;
    }
    m_data = data;

    UINT length = 0;
    const void* fixed = QueryValue(m_data, L"\\", &length);
    DWORD result;
    if (fixed == nullptr)
    {
        result = kVersionLoadFailed;
        length = 0;
    }
    else if (length < sizeof(VS_FIXEDFILEINFO))
    {
        // A record shorter than VS_FIXEDFILEINFO cannot be read as one.
        result = kVersionNoFixedRecord;
        length = 0;
    }
    else
    {
        m_fixed = static_cast<const VS_FIXEDFILEINFO*>(fixed);
        result = kVersionOk;
    }
    m_fixedLength = length;
    m_initialised = TRUE;
    return result;
}

DWORD CVersionResource::ReadFixedVersion(BOOL product, DWORD* ms, DWORD* ls) const
{
    if (!m_initialised)
        return kVersionNotInitialised;
    if (m_fixed == nullptr)
        return kVersionNoFixedRecord;
    if (ms != nullptr)
        *ms = product ? m_fixed->dwProductVersionMS : m_fixed->dwFileVersionMS;
    if (ls != nullptr)
        *ls = product ? m_fixed->dwProductVersionLS : m_fixed->dwFileVersionLS;
    return kVersionOk;
}

DWORD CVersionResource::GetFileVersion(DWORD* ms, DWORD* ls) const
{
    return ReadFixedVersion(FALSE, ms, ls);
}

DWORD CVersionResource::GetProductVersion(DWORD* ms, DWORD* ls) const
{
    return ReadFixedVersion(TRUE, ms, ls);
}

DWORD CVersionResource::CompareFileVersion(DWORD ms, DWORD ls) const
{
    if (!m_initialised)
        return kVersionNotInitialised;
    if (m_fixed == nullptr)
        return kVersionCompareNoFixed;
    return CompareVersions(m_fixed->dwFileVersionMS, m_fixed->dwFileVersionLS, ms, ls);
}

DWORD CVersionResource::CompareWith(const CVersionResource* other) const
{
    if (other == nullptr || !m_initialised || !other->m_initialised)
        return kVersionNotInitialised;
    if (m_fixed == nullptr || other->m_fixed == nullptr)
        return kVersionCompareNoFixed;
    return CompareVersions(m_fixed->dwFileVersionMS, m_fixed->dwFileVersionLS, other->m_fixed->dwFileVersionMS,
                           other->m_fixed->dwFileVersionLS);
}

BOOL CVersionResource::IsSameVersion(const CVersionResource* other) const
{
    return CompareWith(other) == kVersionsEqual;
}

DWORD CVersionResource::GetTranslations(DWORD** table, UINT* count)
{
    if (table != nullptr)
        *table = nullptr;
    if (count != nullptr)
        *count = 0;
    if (!m_initialised)
        return kVersionNotInitialised;
    UINT length = 0;
    const void* found = QueryValue(m_data, L"\\VarFileInfo\\Translation", &length);
    if (found == nullptr)
        return kVersionLoadFailed;
    m_translations = static_cast<DWORD*>(const_cast<void*>(found));
    m_translationsLength = length;
    if (length >= sizeof(DWORD))
        m_translation = m_translations[0];
    if (table != nullptr)
        *table = m_translations;
    if (count != nullptr)
        *count = length / sizeof(DWORD);
    return kVersionOk;
}

DWORD CVersionResource::SelectTranslation(DWORD translation)
{
    if (translation == m_translation)
        return kVersionNoTranslation;
    if (!m_initialised)
        return kVersionNotInitialised;
    if (m_translations == nullptr)
        return kVersionNoTranslation;
    for (UINT i = 0; i < m_translationsLength / sizeof(DWORD); ++i)
    {
        if (m_translations[i] == translation)
        {
            m_translation = translation;
            return kVersionOk;
        }
    }
    return kVersionNoTranslation;
}

const wchar_t* CVersionResource::GetVersionString(int index) const
{
    const wchar_t* name = StringName(index);
    // An unknown index would name the string table itself, which is no string.
    if (!m_initialised || m_data == nullptr || m_translation == 0 || name == nullptr)
        return nullptr;
    CWString subBlock(64);
    subBlock.Format(L"\\StringFileInfo\\%04X%04X\\%s", LOWORD(m_translation), HIWORD(m_translation), name);
    UINT length = 0;
    const void* value = QueryValue(m_data, subBlock.Str(), &length);
    return length != 0 ? static_cast<const wchar_t*>(value) : nullptr;
}

BOOL GetVersions(GlobalInfo* info)
{
    CWString path(kPathChars);
    DWORD code = 0;
    ULONGLONG version = 0;

    // An installed driver or installer copy that is missing or unreadable is simply version 0.
    JoinPath(path, info->DriversDir, kDriverSysName);
    if (!ReadFileVersion(path.Str(), &code, &version))
        return FALSE;
    info->InstalledDriverVersion = version;

    // Without an installed driver there is nothing to compare the new one with.
    info->NewDriverVersion = 0;
    if (info->InstalledDriverVersion != 0)
    {
        JoinPath(path, info->TempDir, kDriverSysName);
        if (!ReadFileVersion(path.Str(), &code, &version))
            return FALSE;
        if (code != kVersionOk)
        {
            LogEvent(L"  CVersionResource->IntializeData() returned %08X when checking %s", code, path.Str());
            return FALSE;
        }
        info->NewDriverVersion = version;
    }

    if (!ReadFileVersion(info->ModulePath.Str(), &code, &version))
        return FALSE;
    if (code != kVersionOk)
    {
        LogEvent(L"  CVersionResource->IntializeData() returned %08X when checking %s", code,
                 info->ModulePath.Str());
        return FALSE;
    }
    info->OwnVersion = version;

    if (info->SharedDir.IsEmpty())
        DetermineSharedDir(info, TRUE);
    JoinPath(path, info->SharedDir, kInstallerFileName);
    if (!ReadFileVersion(path.Str(), &code, &version))
        return FALSE;
    info->InstalledTovrandVersion = version;
    return TRUE;
}
