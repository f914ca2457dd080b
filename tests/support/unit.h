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
    TempLog()
    {
        for (Saved& v : m_saved)
            GetEnvironmentVariableW(v.name, v.value, MAX_PATH), SetEnvironmentVariableW(v.name, m_dir.Path().c_str());
    }
    ~TempLog()
    {
        for (const Saved& v : m_saved)
            SetEnvironmentVariableW(v.name, v.value);
    }
    // The messages (or whole lines) logged since the last call.
    std::vector<std::string> Take(bool headers = false)
    {
        std::vector<std::string> messages = ReadLog(m_dir.Path(), headers);
        DeleteFileW(m_dir.File(L"PELLIMAR.LOG").c_str());
        return messages;
    }

private:
    struct Saved { const wchar_t* name; wchar_t value[MAX_PATH]; } m_saved[2] = {{L"TEMP", L""}, {L"TMP", L""}};
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
    std::wstring m_path = L"Software\\TovrandTests\\hklm" + std::to_wstring(GetCurrentProcessId());
    HKEY m_root = nullptr;
};
// 64 KiB followed by one inaccessible page (4 KiB on x64): data put right before the page is read or
// written past at the cost of the program, which ExitWithFaultCode ends at once with the fault's code
// (Wine would otherwise start a debugger and wait).
struct Guarded
{
    BYTE* base = static_cast<BYTE*>(VirtualAlloc(nullptr, 65536 + 4096, MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    bool ok = base != nullptr && VirtualProtect(base + 65536, 4096, PAGE_NOACCESS, &old);
    ~Guarded() { VirtualFree(base, 0, MEM_RELEASE); }
    wchar_t* End(size_t chars) { return reinterpret_cast<wchar_t*>(base + 65536) - chars; }
    BYTE* EndBytes(size_t bytes) { return base + 65536 - bytes; }
};
inline LONG WINAPI ExitWithFaultCode(EXCEPTION_POINTERS* info)
{
    TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}
}  // namespace harness
