#include "log_capture.h"

namespace harness
{
namespace
{
// GetTempPathW, which the log uses, looks at TMP first, then TEMP.
const wchar_t* const kVariables[2] = {L"TMP", L"TEMP"};
}

LogCapture::LogCapture() : m_had{false, false}
{
    for (int i = 0; i < 2; ++i)
    {
        m_saved[i].resize(32768);
        DWORD n = GetEnvironmentVariableW(kVariables[i], &m_saved[i][0], 32768);
        m_had[i] = n > 0 && n < 32768;
        m_saved[i].resize(m_had[i] ? n : 0);
        SetEnvironmentVariableW(kVariables[i], m_dir.Path().c_str());
    }
}

LogCapture::~LogCapture()
{
    for (int i = 0; i < 2; ++i)
        SetEnvironmentVariableW(kVariables[i], m_had[i] ? m_saved[i].c_str() : nullptr);
}

std::vector<std::string> LogCapture::Messages() const
{
    std::vector<std::string> messages;
    for (const std::string& line : ReadLog(m_dir.Path()))
        messages.push_back(MessageOf(line));
    return messages;
}

void LogCapture::Clear()
{
    DeleteFileW(m_dir.File(L"PELLIMAR.LOG").c_str());
}
}  // namespace harness
