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

}  // namespace

CVersionResource::CVersionResource(const wchar_t* path)
    : m_initialised(FALSE), m_path(CopyText(path)), m_data(nullptr), m_fixed(nullptr)
{
}

CVersionResource::~CVersionResource()
{
    delete[] m_path;
    delete[] m_data;
}

// Not IsExistingFile: a directory, or an entry whose long or short name starts with a dot, has no
// version to read here, and a run from such a file ends with an error instead of reading one.
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
    LogEvent("  GetFileVersionInfoSize(%s) start", m_path);
    DWORD ignored = 0;
    DWORD size = g_getSize != nullptr ? g_getSize(m_path, &ignored) : 0;
    LogEvent("  GetFileVersionInfoSize(%s) end", m_path);
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
    DWORD result = kVersionLoadFailed;
    // A record shorter than VS_FIXEDFILEINFO cannot be read as one.
    if (fixed != nullptr && length < sizeof(VS_FIXEDFILEINFO))
        result = kVersionNoFixedRecord;
    else if (fixed != nullptr)
    {
        m_fixed = static_cast<const VS_FIXEDFILEINFO*>(fixed);
        result = kVersionOk;
    }
    m_initialised = TRUE;
    return result;
}

DWORD CVersionResource::GetFileVersion(DWORD* ms, DWORD* ls) const
{
    if (!m_initialised)
        return kVersionNotInitialised;
    if (m_fixed == nullptr)
        return kVersionNoFixedRecord;
    *ms = m_fixed->dwFileVersionMS;
    *ls = m_fixed->dwFileVersionLS;
    return kVersionOk;
}

ULONGLONG ReadFileVersion(const wchar_t* path, DWORD* code)
{
    CVersionResource reader(path);
    DWORD ms = 0;
    DWORD ls = 0;
    DWORD result = reader.IntializeData();
    if (result == kVersionOk)
        result = reader.GetFileVersion(&ms, &ls);
    if (code != nullptr)
        *code = result;
    return result == kVersionOk ? MakeVersionQuad(ms, ls) : 0;
}

BOOL GetVersions(GlobalInfo* info)
{
    CWString path(kPathChars);
    DWORD code = 0;

    // An installed driver or installer copy that is missing or unreadable is simply version 0.
    info->InstalledDriverVersion = ReadFileVersion(info->Layout.driverImage);

    // Without an installed driver there is nothing to compare the new one with.
    info->NewDriverVersion = 0;
    if (info->InstalledDriverVersion != 0)
    {
        JoinPath(path, info->TempDir, kDriverSysName);
        info->NewDriverVersion = ReadFileVersion(path.Str(), &code);
        if (code != kVersionOk)
        {
            LogEvent("  CVersionResource->IntializeData() returned %08X when checking %s", code, path.Str());
            return FALSE;
        }
    }

    info->OwnVersion = ReadFileVersion(info->ModulePath.Str(), &code);
    if (code != kVersionOk)
    {
        LogEvent("  CVersionResource->IntializeData() returned %08X when checking %s", code,
                 info->ModulePath.Str());
        return FALSE;
    }

    info->InstalledTovrandVersion = info->SharedDir.IsEmpty() ? 0 : ReadFileVersion(info->Layout.installerCopy);
    return TRUE;
}
