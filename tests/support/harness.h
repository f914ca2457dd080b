// Windows-side test harness: runs programs with full 32-bit exit codes, answers message boxes,
// reads the installer's log and gives each test a scratch directory. Works the same on Windows and
// under Wine.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace harness
{
std::wstring BinDir();                      // where the tests and the installer are built
std::wstring InstallerPath();               // BinDir()\TOVRAND64x86.EXE
bool IsWine();

// A fresh empty directory below the user's temporary directory, removed with its content at the end.
class ScratchDir
{
public:
    ScratchDir();
    ~ScratchDir();
    const std::wstring& Path() const { return m_path; }
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

struct Process
{
    DWORD pid = 0;
    DWORD exitCode = 0;
    bool finished = false;
};

// Starts commandLine (the program's quoted path first) with TEMP and TMP pointing at tempDir, so
// that the installer's log lands there, and waits up to timeoutMs. The exit code is the full 32-bit
// value, which the Linux side of Wine cannot see.
Process Run(const std::wstring& commandLine, const std::wstring& tempDir, DWORD timeoutMs = 120000);
// The same without waiting; Wait() collects it.
HANDLE Start(const std::wstring& commandLine, const std::wstring& tempDir, DWORD* pid = nullptr,
             DWORD creationFlags = 0);
Process Wait(HANDLE process, DWORD timeoutMs = 120000);

// Runs the installer with args in a scratch log directory.
Process RunInstaller(const std::wstring& args, const std::wstring& tempDir, DWORD timeoutMs = 120000);

// The log's lines without their CR LF, and the raw bytes.
std::vector<std::string> ReadLog(const std::wstring& tempDir);
std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// Message part of a log line (after "] "), or the whole line when it has no header.
std::string MessageOf(const std::string& line);
// Index of the first line whose message equals text (from 'from' on), or -1.
int FindLine(const std::vector<std::string>& lines, const std::string& message, int from = 0);
int CountLines(const std::vector<std::string>& lines, const std::string& message);
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

// Watches for a top-level window with the given caption on a thread of its own, reads its static
// text (control 0xFFFF, as message boxes have it) and answers it with OK.
class MessageBoxAnswerer
{
public:
    explicit MessageBoxAnswerer(const std::wstring& caption);
    ~MessageBoxAnswerer();
    // Text of the first box answered; empty when none was seen.
    std::wstring Text();
    int Count();

private:
    static DWORD WINAPI Thread(void* self);
    std::wstring m_caption;
    std::wstring m_text;
    int m_count = 0;
    CRITICAL_SECTION m_lock;
    HANDLE m_stop;
    HANDLE m_thread;
};

// Deletes a file or a whole directory tree; clears read-only attributes on the way.
void RemoveTree(const std::wstring& path);
bool FileExists(const std::wstring& path);
bool DirExists(const std::wstring& path);
}  // namespace harness
