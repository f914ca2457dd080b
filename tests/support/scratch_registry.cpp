#include "scratch_registry.h"

#include <shlwapi.h>

namespace harness
{
ScratchRegistry::ScratchRegistry()
{
    static LONG counter = 0;
    wchar_t name[128];
    wsprintfW(name, L"Software\\TovrandTests\\hklm%lu_%ld", GetCurrentProcessId(), InterlockedIncrement(&counter));
    m_path = name;
    // Non-volatile on purpose: Wine refuses non-volatile children below a volatile key (1021).
    RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_root, nullptr);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_root);
}

ScratchRegistry::~ScratchRegistry()
{
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegCloseKey(m_root);
    SHDeleteKeyW(HKEY_CURRENT_USER, m_path.c_str());
}

bool SetBinary(HKEY root, const std::wstring& key, const wchar_t* value, const void* data, DWORD size, DWORD type)
{
    HKEY k;
    if (RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, &k, nullptr) != 0)
        return false;
    LONG rc = RegSetValueExW(k, value, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(k);
    return rc == 0;
}

bool SetString(HKEY root, const std::wstring& key, const wchar_t* value, const std::wstring& data, DWORD type)
{
    return SetBinary(root, key, value, data.c_str(), static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)), type);
}

bool SetDword(HKEY root, const std::wstring& key, const wchar_t* value, DWORD data)
{
    return SetBinary(root, key, value, &data, sizeof(data), REG_DWORD);
}

bool KeyExists(HKEY root, const std::wstring& key)
{
    HKEY k;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &k) != 0)
        return false;
    RegCloseKey(k);
    return true;
}

bool GetValue(HKEY root, const std::wstring& key, const wchar_t* value, DWORD* type, std::string* bytes)
{
    HKEY k;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &k) != 0)
        return false;
    DWORD size = 0;
    DWORD t = 0;
    LONG rc = RegQueryValueExW(k, value, nullptr, &t, nullptr, &size);
    if (rc == 0)
    {
        std::string data(size, '\0');
        rc = RegQueryValueExW(k, value, nullptr, &t, reinterpret_cast<BYTE*>(&data[0]), &size);
        data.resize(size);
        if (bytes != nullptr)
            *bytes = data;
        if (type != nullptr)
            *type = t;
    }
    RegCloseKey(k);
    return rc == 0;
}

bool ValueExists(HKEY root, const std::wstring& key, const wchar_t* value)
{
    return GetValue(root, key, value, nullptr, nullptr);
}

std::wstring GetString(HKEY root, const std::wstring& key, const wchar_t* value)
{
    std::string bytes;
    if (!GetValue(root, key, value, nullptr, &bytes))
        return L"";
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0')
        text.pop_back();
    return text;
}

DWORD GetDword(HKEY root, const std::wstring& key, const wchar_t* value, DWORD fallback)
{
    std::string bytes;
    DWORD type = 0;
    if (!GetValue(root, key, value, &type, &bytes) || type != REG_DWORD || bytes.size() != 4)
        return fallback;
    return *reinterpret_cast<const DWORD*>(bytes.data());
}

void DeleteTree(HKEY root, const std::wstring& key)
{
    SHDeleteKeyW(root, key.c_str());
}

void DeleteValue(HKEY root, const std::wstring& key, const wchar_t* value)
{
    HKEY k;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_WRITE | KEY_WOW64_64KEY, &k) != 0)
        return;
    RegDeleteValueW(k, value);
    RegCloseKey(k);
}
}  // namespace harness
