// Redirects HKEY_LOCAL_MACHINE of this test process to a scratch key below HKCU for the life of the
// object, so that in-process tests of registry code touch nothing real. MoveFileExW ignores the
// redirection (it writes the real Session Manager key).
#pragma once
#include <windows.h>

#include <string>

namespace harness
{
class ScratchRegistry
{
public:
    ScratchRegistry();
    ~ScratchRegistry();
    HKEY Root() const { return m_root; }

private:
    std::wstring m_path;
    HKEY m_root = nullptr;
};

// Small registry helpers on the (possibly redirected) HKLM.
bool SetString(HKEY root, const std::wstring& key, const wchar_t* value, const std::wstring& data,
               DWORD type = REG_SZ);
bool SetDword(HKEY root, const std::wstring& key, const wchar_t* value, DWORD data);
bool SetBinary(HKEY root, const std::wstring& key, const wchar_t* value, const void* data, DWORD size,
               DWORD type);
bool KeyExists(HKEY root, const std::wstring& key);
bool ValueExists(HKEY root, const std::wstring& key, const wchar_t* value);
// Reads a value: its type and raw bytes; false when missing.
bool GetValue(HKEY root, const std::wstring& key, const wchar_t* value, DWORD* type, std::string* bytes);
std::wstring GetString(HKEY root, const std::wstring& key, const wchar_t* value);
DWORD GetDword(HKEY root, const std::wstring& key, const wchar_t* value, DWORD fallback = 0xFFFFFFFF);
void DeleteTree(HKEY root, const std::wstring& key);
void DeleteValue(HKEY root, const std::wstring& key, const wchar_t* value);
}  // namespace harness
