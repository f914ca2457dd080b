// Windows-side test harness: runs programs with full 32-bit exit codes and their own TEMP, answers
// the installer's message boxes, reads its log, holds files, services and the lock from a helper
// process, and restarts the machine. Works the same on Windows and under Wine.
#pragma once
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace harness
{
std::wstring BinDir();          // where the tests and the installer are built
std::wstring InstallerPath();   // BinDir()\TOVRAND64x86.EXE
bool IsWine();
std::string Narrow(const std::wstring& text);   // beyond U+00FF: '?'
std::wstring Widen(const std::string& text);

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

std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
void RemoveTree(const std::wstring& path);   // read-only attributes cleared on the way
bool FileExists(const std::wstring& path);
bool DirExists(const std::wstring& path);
// Gives everybody the right to change the file (under Wine the one such access list it keeps: o+w).
bool LetEverybodyChange(const std::wstring& path);
std::wstring ShortPath(const std::wstring& path);   // empty when it fails

struct Process
{
    DWORD pid = 0, exitCode = 0xFFFFFFFF;   // not started; 0xDEAD: killed after the time-out
    DWORD startError = 0;   // why it could not be started
    bool finished = false;
};
// Starts commandLine with TEMP and TMP at tempDir (unchanged when empty) in directory cwd (this
// process's when empty), with the given creation flags, and its standard output and error going to
// output (an inheritable handle) when one is given.
HANDLE Start(const std::wstring& commandLine, const std::wstring& tempDir, const std::wstring& cwd = L"",
             DWORD flags = 0, HANDLE output = nullptr);
Process Wait(HANDLE process, DWORD timeoutMs = 120000);   // kills it after the time-out

// The lines of tempDir\PELLIMAR.LOG, or their messages without the "[date time][PID:n] " header.
std::vector<std::string> ReadLog(const std::wstring& tempDir, bool headers = true);

// One installer run: exit code, log, the closing box.
struct InstallerRun
{
    Process process;
    std::vector<std::string> lines;   // whole log lines, header included
    std::vector<std::string> log;     // their messages
    std::wstring box;                 // text of the first "Pellimar Installer" box
    int boxes = 0;
    bool Has(const std::string& message) const { return std::find(log.begin(), log.end(), message) != log.end(); }
};
// Runs the installer at exe with args, TEMP at tempDir (a scratch directory when empty), answering
// its boxes, and waits for every installer process to end (a self-delete copy logs into the same
// file).
InstallerRun RunInstaller(const std::wstring& exe, const std::wstring& args, const std::wstring& tempDir = L"",
                          const std::wstring& cwd = L"", bool waitForCopies = true);
// Waits until no installer process (TOVRAND64x86.EXE, a tovrand<digit>.exe copy, PLQZREG32.EXE) runs.
void WaitForInstallers(DWORD timeoutMs);

// A helper process (holder.exe) that holds something until it is released: "file PATH [SHARE]" opens
// the file for reading with that share mode (0 by default), "service" opens the Pellimar service,
// "marked" opens and deletes it (it stays marked for deletion), "mutex" owns Global\Pellimar_running.
class Holder
{
public:
    explicit Holder(const std::wstring& what);
    ~Holder() { Release(); }
    bool Ready() const { return m_ready; }
    void Release();   // kills the helper: a mutex it owned is left abandoned

private:
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    HANDLE m_process = nullptr;
    bool m_ready = false;
};

// Restarts the machine: under Wine, wineboot -r carries out PendingFileRenameOperations as a boot
// would.
bool Restart();
}  // namespace harness
