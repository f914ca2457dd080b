#include "log_capture.h"

#include <windows.h>

namespace harness
{
namespace
{
std::wstring GetVar(const wchar_t* name)
{
    wchar_t value[MAX_PATH * 2];
    DWORD n = GetEnvironmentVariableW(name, value, MAX_PATH * 2);
    return n > 0 && n < MAX_PATH * 2 ? std::wstring(value, n) : std::wstring();
}
}  // namespace

LogCapture::LogCapture() : m_oldTemp(GetVar(L"TEMP")), m_oldTmp(GetVar(L"TMP"))
{
    SetEnvironmentVariableW(L"TEMP", m_dir.Path().c_str());
    SetEnvironmentVariableW(L"TMP", m_dir.Path().c_str());
}

LogCapture::~LogCapture()
{
    SetEnvironmentVariableW(L"TEMP", m_oldTemp.empty() ? nullptr : m_oldTemp.c_str());
    SetEnvironmentVariableW(L"TMP", m_oldTmp.empty() ? nullptr : m_oldTmp.c_str());
}

std::vector<std::string> LogCapture::Messages() const
{
    std::vector<std::string> messages;
    for (const std::string& line : Lines())
        messages.push_back(MessageOf(line));
    return messages;
}
}  // namespace harness
