// Sends this test process's log (PELLIMAR.LOG in the user's temporary directory) to a scratch
// directory of its own for the life of the object, and reads it back as messages.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "harness.h"

class LogCapture
{
public:
    LogCapture() : m_savedTmp(Read(L"TMP")), m_savedTemp(Read(L"TEMP"))
    {
        // GetTempPathW looks at TMP first, then TEMP.
        SetEnvironmentVariableW(L"TMP", m_dir.Path().c_str());
        SetEnvironmentVariableW(L"TEMP", m_dir.Path().c_str());
    }
    ~LogCapture()
    {
        SetEnvironmentVariableW(L"TMP", m_savedTmp.empty() ? nullptr : m_savedTmp.c_str());
        SetEnvironmentVariableW(L"TEMP", m_savedTemp.empty() ? nullptr : m_savedTemp.c_str());
    }

    // The messages of the log lines, without their date and process headers.
    std::vector<std::string> Messages() const
    {
        std::vector<std::string> messages;
        for (const std::string& line : harness::ReadLog(m_dir.Path()))
            messages.push_back(harness::MessageOf(line));
        return messages;
    }
    int Count(const std::string& message) const { return harness::CountLines(harness::ReadLog(m_dir.Path()), message); }
    void Clear() { DeleteFileW(m_dir.File(L"PELLIMAR.LOG").c_str()); }

private:
    static std::wstring Read(const wchar_t* name)
    {
        wchar_t value[MAX_PATH * 2] = L"";
        DWORD n = GetEnvironmentVariableW(name, value, MAX_PATH * 2);
        return n > 0 && n < MAX_PATH * 2 ? std::wstring(value, n) : std::wstring();
    }

    harness::ScratchDir m_dir;
    std::wstring m_savedTmp;
    std::wstring m_savedTemp;
};
