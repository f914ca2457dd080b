#include "base/registry.h"

#include <new>

#include "base/alloc.h"
#include "base/sysdll.h"

namespace
{
// A 64-bit process sees the native view anyway; the flag keeps it so should this code ever be built
// for 32 bits.
const REGSAM kNativeView = KEY_WOW64_64KEY;
}  // namespace

int registry_seam::FailRecursiveDeletes = 0;

CRegistryEntry::CRegistryEntry(HKEY root, const wchar_t* subKey, const wchar_t* valueName)
    : m_root(root), m_key(nullptr), m_open(0), m_subKey(CopyText(subKey)), m_valueName(CopyText(valueName)),
      m_nameLost(valueName != nullptr && m_valueName == nullptr), m_useError(ERROR_INVALID_HANDLE)
{
}

CRegistryEntry::~CRegistryEntry()
{
    Close();
    delete[] m_subKey;
    delete[] m_valueName;
}

void CRegistryEntry::Reset(HKEY root, const wchar_t* subKey, const wchar_t* valueName)
{
    Close();
    delete[] m_subKey;
    delete[] m_valueName;
    m_root = root;
    m_subKey = CopyText(subKey);
    m_valueName = CopyText(valueName);
    m_nameLost = valueName != nullptr && m_valueName == nullptr;
}

void CRegistryEntry::Close()
{
    if (m_open && m_key != nullptr)
        RegCloseKey(m_key);
    m_key = nullptr;
    m_open = 0;
}

LONG CRegistryEntry::Open(REGSAM access)
{
    Close();
    if (m_root == nullptr || m_subKey == nullptr)
        return ERROR_INVALID_DATA;
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExW(m_root, m_subKey, 0, access | kNativeView, &key);
    if (rc == ERROR_SUCCESS)
    {
        m_key = key;
        m_open = 1;
    }
    return rc;
}

LONG CRegistryEntry::Create(REGSAM access)
{
    Close();
    if (m_root == nullptr || m_subKey == nullptr)
        return ERROR_INVALID_DATA;
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(m_root, m_subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access | kNativeView,
                              nullptr, &key, nullptr);
    if (rc == ERROR_SUCCESS)
    {
        m_key = key;
        m_open = 1;
    }
    return rc;
}

bool CRegistryEntry::BeginUse(TempOpen how)
{
    m_useError = ERROR_INVALID_HANDLE;
    if (m_open)
        return false;
    m_key = nullptr;
    if (m_root == nullptr || m_subKey == nullptr)
        return false;
    HKEY key = nullptr;
    LONG rc;
    if (how == TempOpen::CreateWrite)
        rc = RegCreateKeyExW(m_root, m_subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE | kNativeView,
                             nullptr, &key, nullptr);
    else
        rc = RegOpenKeyExW(m_root, m_subKey, 0, (how == TempOpen::Write ? KEY_WRITE : KEY_READ) | kNativeView,
                           &key);
    if (rc != ERROR_SUCCESS)
    {
        // The caller reports why the key could not be opened, not that there was no key.
        m_useError = rc;
        return false;
    }
    m_key = key;
    return true;
}

void CRegistryEntry::EndUse(bool openedHere)
{
    if (openedHere)
    {
        RegCloseKey(m_key);
        m_key = nullptr;
        m_open = 0;
    }
}

LONG CRegistryEntry::QueryValue(DWORD* type, void* data, DWORD* size)
{
    // Without its name the entry would read the key's default value instead.
    if (m_nameLost)
        return ERROR_NOT_ENOUGH_MEMORY;
    bool opened = BeginUse(TempOpen::Read);
    LONG rc = m_key != nullptr
                  ? RegQueryValueExW(m_key, m_valueName, nullptr, type, static_cast<BYTE*>(data), size)
                  : m_useError;
    EndUse(opened);
    return rc;
}

LONG CRegistryEntry::QueryValueSize(DWORD* type, DWORD* size)
{
    if (type == nullptr || size == nullptr)
        return ERROR_INVALID_DATA;
    *size = 0;
    return QueryValue(type, nullptr, size);
}

LONG CRegistryEntry::SetValue(DWORD type, const void* data, DWORD size)
{
    if (data == nullptr)
        return ERROR_INVALID_DATA;
    if (m_nameLost)
        return ERROR_NOT_ENOUGH_MEMORY;
    bool opened = BeginUse(TempOpen::CreateWrite);
    LONG rc = m_key != nullptr ? RegSetValueExW(m_key, m_valueName, 0, type, static_cast<const BYTE*>(data), size)
                               : m_useError;
    EndUse(opened);
    return rc;
}

LONG CRegistryEntry::DeleteValue()
{
    if (m_nameLost)
        return ERROR_NOT_ENOUGH_MEMORY;
    bool opened = BeginUse(TempOpen::Write);
    LONG rc = m_key != nullptr ? RegDeleteValueW(m_key, m_valueName) : m_useError;
    EndUse(opened);
    return rc;
}

int CRegistryEntry::QueryInfoCount(bool subKeys)
{
    bool opened = BeginUse(TempOpen::Read);
    int result = -1;
    if (m_key != nullptr)
    {
        wchar_t className[264];
        DWORD classChars = 264;
        DWORD keys = 0;
        DWORD values = 0;
        if (RegQueryInfoKeyW(m_key, className, &classChars, nullptr, &keys, nullptr, nullptr, &values, nullptr,
                             nullptr, nullptr, nullptr) == ERROR_SUCCESS)
            result = static_cast<int>(subKeys ? keys : values);
    }
    EndUse(opened);
    return result;
}

int CRegistryEntry::GetSubKeyCount()
{
    return QueryInfoCount(true);
}

BOOL CRegistryEntry::DeleteKey(BOOL recursive)
{
    Close();
    if (m_root == nullptr || m_subKey == nullptr)
        return FALSE;
    if (recursive)
    {
        // shlwapi is loaded for this only: under Wine it loads user32, which a program without windows
        // (the state check) would otherwise pay for at every start.
        typedef LONG(WINAPI * SHDeleteKeyFn)(HKEY, LPCWSTR);
        HMODULE shlwapi = LoadSystemLibrary(L"shlwapi.dll");
        SHDeleteKeyFn deleteTree =
            shlwapi != nullptr ? reinterpret_cast<SHDeleteKeyFn>(GetProcAddress(shlwapi, "SHDeleteKeyW")) : nullptr;
        LONG rc = registry_seam::FailRecursiveDeletes > 0 ? (--registry_seam::FailRecursiveDeletes, ERROR_ACCESS_DENIED)
                  : deleteTree != nullptr                 ? deleteTree(m_root, m_subKey)
                                                          : ERROR_PROC_NOT_FOUND;
        if (rc != ERROR_SUCCESS)
        {
            SetLastError(static_cast<DWORD>(rc));
            return FALSE;
        }
        return TRUE;
    }
    return RegDeleteKeyW(m_root, m_subKey) == ERROR_SUCCESS;
}
