#include "system/selfdelete.h"

#include <string.h>

#include "base/handle.h"
#include "base/log.h"
#include "base/wstring.h"
#include "system/removal.h"

namespace
{
const int kModulePathChars = 291;   // GetModuleFileNameW with a size of 290
const DWORD kModulePathSize = 290;
const int kTempDirChars = 291;      // GetTempPathW with a size of 290
const DWORD kTempDirSize = 290;
const int kCopyPathChars = 580;
const int kCommandLineChars = 870;
// CreateDirectoryW refuses more than MAX_PATH less room for an 8.3 name.
const int kMaxCreatableDirChars = 248;
const int kNumberedNames = 10;      // tovrand0.exe ... tovrand9.exe after the first name
const int kDeleteRetries = 16;      // after the first attempt: 17 attempts within about 16 s
const DWORD kRetryDelayMs = 1000;
const wchar_t kCopyName[] = L"TOVRAND64x86.EXE";

bool IsExistingFile(const wchar_t* path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsExistingDirectory(const wchar_t* path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The copy deletes the installer file later; a read-only file would refuse it.
void ClearReadOnly(const wchar_t* path)
{
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY))
        return;
    attributes &= ~FILE_ATTRIBUTE_READONLY;
    // No attribute left must be said as "normal": 0 would mean "leave them as they are".
    SetFileAttributesW(path, attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
}

// The temporary directory without its trailing separator, created when missing.
bool PrepareTempDirectory(CWString& directory, const wchar_t* tempDir)
{
    if (tempDir == nullptr)
    {
        LogEvent(L"SetUpDelete: GetTempPath() failed\n");
        return false;
    }
    directory = tempDir;
    wchar_t* last = directory.LastChar();
    if (last != nullptr && (*last == L'\\' || *last == L'/'))
        *last = L'\0';
    if (IsExistingDirectory(directory.Str()))
        return true;
    if (directory.Length() > kMaxCreatableDirChars)
    {
        LogEvent(L"SetUpDelete: Temp Path does not exist, can't be created - failed\n");
        return false;
    }
    if (!CreateDirectoryW(directory.Str(), nullptr))
    {
        LogEvent(L"SetUpDelete: Create Temp Path does not exist, can't be created - failed\n");
        return false;
    }
    return true;
}

// The first of the eleven names that no file holds. A directory does not count as taken; the copy
// onto it fails later.
bool ChooseCopyName(CWString& copyPath, const CWString& directory)
{
    copyPath = directory;
    copyPath.AppendPathComponent(kCopyName);
    for (int number = 0; IsExistingFile(copyPath.Str()); ++number)
    {
        if (number == kNumberedNames)
        {
            LogEvent(L"SetUpDelete: Create unique file name failed\n");
            return false;
        }
        copyPath.Format(L"%s\\tovrand%d.exe", directory.Str(), number);
    }
    return true;
}

bool SameContents(HANDLE first, HANDLE second)
{
    char a[8192];
    char b[8192];
    for (;;)
    {
        DWORD gotA = 0;
        DWORD gotB = 0;
        if (!ReadFile(first, a, sizeof(a), &gotA, nullptr) || !ReadFile(second, b, sizeof(b), &gotB, nullptr))
            return false;
        if (gotA != gotB || memcmp(a, b, gotA) != 0)
            return false;
        if (gotA == 0)
            return true;
    }
}

// The copy lies in a directory that the user can write to, and it is started with this process's
// rights. From here until it has been started it is held open with read sharing only, which the start
// needs and which keeps everybody else from writing, renaming or deleting it. In the moment between
// the copy and this open somebody could still have swapped it, so what is held is checked against the
// installer file before it is trusted. Null when it cannot be held or is not our copy.
HANDLE HoldCopy(const wchar_t* modulePath, const wchar_t* copyPath)
{
    CScopedHandle copy(CreateFileW(copyPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!copy.IsValid())
        return nullptr;
    CScopedHandle original(CreateFileW(modulePath, GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!original.IsValid() || !SameContents(original.Get(), copy.Get()))
        return nullptr;
    return copy.Release();
}

// Copies the installer file into the temporary directory and starts the copy in self-delete mode.
bool StartDeletingCopy(const wchar_t* modulePath, const wchar_t* tempDir, SelfDeleteObserver observer,
                       void* context)
{
    CWString directory(kTempDirChars);
    if (!PrepareTempDirectory(directory, tempDir))
        return false;
    CWString copyPath(kCopyPathChars);
    if (!ChooseCopyName(copyPath, directory))
        return false;
    if (!CopyFileW(modulePath, copyPath.Str(), TRUE))
    {
        LogEvent(L"SetUpDelete: copy file failed\n");
        return false;
    }
    if (observer != nullptr)
        observer(SelfDeleteStage::Copied, copyPath.Str(), context);
    // A file that is not our copy is somebody else's: it is neither started nor deleted.
    CScopedHandle held(HoldCopy(modulePath, copyPath.Str()));
    if (!held.IsValid())
    {
        LogEvent(L"SetUpDelete: copy file failed\n");
        return false;
    }
    if (observer != nullptr)
        observer(SelfDeleteStage::Held, copyPath.Str(), context);

    CWString commandLine(kCommandLineChars);
    commandLine.Format(L"tovrand /SELFDELETE \"%s\"", modulePath);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(copyPath.Str(), commandLine.Buffer(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                                  nullptr, nullptr, &startup, &process);
    // The process has its image now; the copy must be released before it can delete itself, and
    // before this process can delete it after a failed start.
    held.Reset();
    if (started)
    {
        LogEvent(L"SetUpDelete: Setup succeeded\n");
        CloseHandle(process.hProcess);
        ResumeThread(process.hThread);
        CloseHandle(process.hThread);
        return true;
    }
    LogEvent(L"SetUpDelete: CreateProcess failed\n");
    if (!DeleteFileW(copyPath.Str()))
    {
        MarkFileForDeletionOnReboot(copyPath.Str());
        LogEvent(L"SetUpDelete: Temp file delete failed. Marked for delete.\n");
    }
    return false;
}
}  // namespace

DWORD SetUpDelete()
{
    CWString modulePath(kModulePathChars);
    DWORD got = GetModuleFileNameW(nullptr, modulePath.Buffer(), kModulePathSize);
    if (got == 0 || got >= kModulePathSize)
    {
        LogEvent(L"SetUpDelete: GetModuleFileName() failed\n");
        return 0;
    }
    CWString tempDir(kTempDirChars);
    got = GetTempPathW(kTempDirSize, tempDir.Buffer());
    bool haveTempDir = got != 0 && got <= kTempDirSize;
    return SetUpDeleteWith(modulePath.Str(), haveTempDir ? tempDir.Str() : nullptr, nullptr, nullptr);
}

DWORD SetUpDeleteWith(const wchar_t* modulePath, const wchar_t* tempDir, SelfDeleteObserver observer,
                      void* context)
{
    if (modulePath == nullptr || modulePath[0] == L'\0')
    {
        LogEvent(L"SetUpDelete: GetModuleFileName() failed\n");
        return 0;
    }
    ClearReadOnly(modulePath);
    if (StartDeletingCopy(modulePath, tempDir, observer, context))
        return 0;
    // Whatever went wrong, the installer file goes at the next restart.
    MarkFileForDeletionOnReboot(modulePath);
    return 1;
}

void DoDelete(const wchar_t* path)
{
    if (path == nullptr || path[0] == L'\0')
    {
        LogEvent(L"DoDelete: invalid parameter\n");
        return;
    }
    // The process that started us may still be ending and holding its file.
    DeleteFileW(path);
    for (int attempt = 0; attempt < kDeleteRetries && IsExistingFile(path); ++attempt)
    {
        Sleep(kRetryDelayMs);
        DeleteFileW(path);
    }
    if (IsExistingFile(path))
    {
        LogEvent(L"DoDelete: file not deleted, delete on reboot.");
        MarkFileForDeletionOnReboot(path);
    }
    else
    {
        LogEvent(L"DoDelete: Original file deleted (%s).", path);
    }

    RemoveSharedDirectory();

    // This copy is running and cannot delete itself either: it goes at the next restart.
    CWString ownPath(kModulePathChars);
    DWORD got = GetModuleFileNameW(nullptr, ownPath.Buffer(), kModulePathSize);
    if (got == 0 || got >= kModulePathSize)
        LogEvent(L"DoDelete: GetModuleFileName() failed.");
    else
        MarkFileForDeletionOnReboot(ownPath.Str());
}

BOOL RunSelfDeleteMode(const wchar_t* commandLine)
{
    if (commandLine == nullptr)
        return FALSE;
    CWString text;
    text = commandLine;
    if (text.Find(L"/SELFDELETE", true) < 0)
        return FALSE;
    // The path is the text between the first two double quotes of the whole line, wherever the switch
    // stands. Without a pair there is nothing to delete, and the mode still ends the run.
    int open = text.FindChar(L'"');
    if (open < 0)
        return TRUE;
    CWString rest = text.Right(text.Length() - open - 1);
    int close = rest.FindChar(L'"');
    if (close < 0)
        return TRUE;
    LogEvent(L"Doing Self-delete.");
    CWString path = rest.Left(close);
    DoDelete(path.Str());
    return TRUE;
}
