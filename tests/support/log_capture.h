// Points TEMP and TMP of this process at a fresh scratch directory for the life of the object, so that
// the installer's log written by in-process code lands there and can be read back line by line.
#pragma once
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
    const std::wstring& Dir() const { return m_dir.Path(); }
    // The message part of every line written so far.
    std::vector<std::string> Messages() const;
    void Clear();

private:
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    ScratchDir m_dir;
    std::wstring m_saved[2];
    bool m_had[2];
};
}  // namespace harness
