// Test helpers around deletion at the next restart: the platform's pending-rename list as it really
// is (read past any HKLM redirection), a guard that puts it back as it was, short names, a process
// that holds a file open, and a redirection of this process's temporary directory (and so its log).
#pragma once
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace harness
{
// The pairs (source, target) of PendingFileRenameOperations in the real Session Manager key, which is
// where MoveFileExW writes even while ScratchRegistry redirects HKLM.
std::vector<std::pair<std::wstring, std::wstring>> PendingRenames();
// The same list as its strings, in order, empty targets included (the closing NUL is not one).
std::vector<std::wstring> PendingRenameStrings();
// True when the list holds a deletion (empty target) of "\??\" followed by path.
bool IsScheduledForDeletion(const std::wstring& path);
// Index of that deletion among the pairs, or -1.
int ScheduledDeletionIndex(const std::wstring& path);

// The list is shared with the whole test machine, and a wineserver restart carries it out: every test
// that schedules something saves the value first and puts it back afterwards.
class PendingRenamesGuard
{
public:
    PendingRenamesGuard();
    ~PendingRenamesGuard();

private:
    bool m_existed = false;
    DWORD m_type = 0;
    std::string m_bytes;
};

// GetShortPathNameW's answer, empty when it fails.
std::wstring ShortPath(const std::wstring& path);

// Points TMP and TEMP of this process at dir (so that LogEvent writes dir\PELLIMAR.LOG) and restores
// them when it goes.
class TempRedirect
{
public:
    explicit TempRedirect(const std::wstring& dir);
    ~TempRedirect();

private:
    std::wstring m_tmp;
    std::wstring m_temp;
    bool m_hadTmp = false;
    bool m_hadTemp = false;
};

// Another process (holdfile.exe) holding path open for reading with the given share mode (0: not even
// reading is shared), for holdMs milliseconds or, with 0, until this object goes.
class FileHolder
{
public:
    explicit FileHolder(const std::wstring& path, DWORD holdMs = 0, DWORD shareMode = 0);
    ~FileHolder();
    bool Ready() const { return m_ready; }
    // Waits until the holder has let go by itself (only with a hold time).
    bool WaitReleased(DWORD timeoutMs);

private:
    HANDLE m_process = nullptr;
    bool m_ready = false;
};
}  // namespace harness
