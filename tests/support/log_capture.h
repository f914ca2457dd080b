// Points this test process's TEMP and TMP at a scratch directory for the life of the object, so that
// LogEvent writes a fresh PELLIMAR.LOG the test can read.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "harness.h"

namespace harness
{
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::string> Lines() const { return ReadLog(m_dir.Path()); }
    std::vector<std::string> Messages() const;
    std::wstring LogPath() const { return m_dir.File(L"PELLIMAR.LOG"); }
    const std::wstring& Dir() const { return m_dir.Path(); }
    int Count(const std::string& message) const { return CountLines(Lines(), message); }
    void Clear() { DeleteFileW(LogPath().c_str()); }   // forget what was logged so far

private:
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    ScratchDir m_dir;
    std::wstring m_oldTemp;
    std::wstring m_oldTmp;
};
}  // namespace harness
