// What the in-process tests share: the log of this process (and of the programs it starts) in a
// scratch TEMP, and HKLM redirected to a scratch key.
#pragma once
#include <shlwapi.h>

#include "harness.h"
#include "machine.h"

namespace harness
{
class TempLog
{
public:
    TempLog() { Set(m_dir.Path(), m_dir.Path()); }
    ~TempLog() { Set(m_temp, m_tmp); }
    // The messages logged since the last call.
    std::vector<std::string> Take()
    {
        std::vector<std::string> messages;
        for (const std::string& line : ReadLog(m_dir.Path()))
            messages.push_back(MessageOf(line));
        DeleteFileW(m_dir.File(L"PELLIMAR.LOG").c_str());
        return messages;
    }

private:
    static std::wstring Get(const wchar_t* name)
    {
        wchar_t value[MAX_PATH] = L"";
        GetEnvironmentVariableW(name, value, MAX_PATH);
        return value;
    }
    static void Set(const std::wstring& temp, const std::wstring& tmp)
    {
        SetEnvironmentVariableW(L"TEMP", temp.c_str());
        SetEnvironmentVariableW(L"TMP", tmp.c_str());
    }
    std::wstring m_temp = Get(L"TEMP"), m_tmp = Get(L"TMP");
    ScratchDir m_dir;
};

// HKEY_LOCAL_MACHINE of this process redirected to a scratch key below HKCU for the life of the object,
// so that in-process tests of registry code touch nothing real. Non-volatile on purpose: Wine refuses
// non-volatile children below a volatile key (1021).
class ScratchRegistry
{
public:
    ScratchRegistry()
    {
        static LONG counter = 0;
        m_path = L"Software\\TovrandTests\\hklm" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                 std::to_wstring(InterlockedIncrement(&counter));
        RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_root, nullptr);
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_root);
    }
    ~ScratchRegistry()
    {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        RegCloseKey(m_root);
        SHDeleteKeyW(HKEY_CURRENT_USER, m_path.c_str());
    }

private:
    std::wstring m_path;
    HKEY m_root = nullptr;
};
}  // namespace harness
