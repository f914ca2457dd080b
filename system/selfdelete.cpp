#include "system/selfdelete.h"

#include <sddl.h>
#include <string.h>

#include "base/handle.h"
#include "base/files.h"
#include "base/log.h"
#include "base/registry.h"
#include "base/wstring.h"
#include "context/locations.h"
#include "system/removal.h"
#include "context/layout.h"

const wchar_t kSelfDeleteSwitch[] = L"/SELFDELETE";

namespace
{
const int kModulePathChars = kFullPathChars;   // GetModuleFileNameW with a size of 290
const DWORD kModulePathSize = kFullPathChars - 1;
const int kTempDirChars = kFullPathChars;      // GetTempPathW with a size of 290
const DWORD kTempDirSize = kFullPathChars - 1;
const int kCopyPathChars = 2 * kTempDirSize;
const int kCommandLineChars = 3 * kTempDirSize;
// CreateDirectoryW refuses more than MAX_PATH less room for an 8.3 name.
const int kMaxCreatableDirChars = 248;
// The copy's folder: "tovrand.<pid>.<n>" with n below the bound, SYSTEM and Administrators only, nothing
// inherited from the temporary directory.
const wchar_t kCopyFolderPrefix[] = L"tovrand.";
const int kCopyFolderAttempts = 100;
const wchar_t kCopyFolderAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
const int kDeleteRetries = 16;      // after the first attempt: 17 attempts within about 16 s
const DWORD kRetryDelayMs = 1000;
// Follows the quoted path on the copy's command line: volume and file index of the installer file.
const wchar_t kFileIdSwitch[] = L"/FILEID:";

// The temporary directory without its trailing separator, created when missing.
bool PrepareTempDirectory(CWString& directory, const wchar_t* tempDir)
{
    if (tempDir == nullptr)
    {
        LogEvent("SetUpDelete: GetTempPath() failed\n");
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
        LogEvent("SetUpDelete: Temp Path does not exist, can't be created - failed\n");
        return false;
    }
    if (!CreateDirectoryW(directory.Str(), nullptr))
    {
        LogEvent("SetUpDelete: Create Temp Path does not exist, can't be created - failed\n");
        return false;
    }
    return true;
}

// A folder of the copy's own in the temporary directory: "tovrand.<pid>.<n>", the first n that no file or
// folder holds yet, made with an access list that admits SYSTEM and the administrators only. A run as
// SYSTEM or as an administrator has %SystemRoot%\Temp as its temporary directory, which every user may
// write to: started from there, the copy would load a DLL a user put beside it (systems before Windows 7
// look in the program's folder first), and a user could take every name a copy might get.
bool CreateCopyFolder(CWString& folder, const CWString& directory)
{
    SECURITY_ATTRIBUTES access = {sizeof(access), nullptr, FALSE};
    bool made = false;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kCopyFolderAccess, SDDL_REVISION_1,
                                                             &access.lpSecurityDescriptor, nullptr))
    {
        for (int number = 0; number < kCopyFolderAttempts && !made; ++number)
        {
            folder.Format(L"%s\\%s%lu.%d", directory.Str(), kCopyFolderPrefix, GetCurrentProcessId(), number);
            made = CreateDirectoryW(folder.Str(), &access) != FALSE;
            // A file of that name takes it too (Wine says ERROR_FILE_EXISTS then, Windows ERROR_ALREADY_EXISTS).
            DWORD error = made ? ERROR_SUCCESS : GetLastError();
            if (!made && error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
                break;
        }
        LocalFree(access.lpSecurityDescriptor);
    }
    if (!made)
        LogEvent("SetUpDelete: Create unique file name failed\n");
    return made;
}

// Takes back what a failed set-up left: the copy, or whatever lies under its name now, and its folder,
// now or at the next restart (the file first: the platform removes only an empty folder).
void RemoveCopy(const CWString& copyPath, const CWString& folder, bool logMarked)
{
    if (!DeleteFileW(copyPath.Str()) && IsExistingFile(copyPath.Str()))
    {
        MarkFileForDeletionOnReboot(copyPath.Str());
        if (logMarked)
            LogEvent("SetUpDelete: Temp file delete failed. Marked for delete.\n");
    }
    if (!RemoveDirectoryW(folder.Str()))
        MarkFileForDeletionOnReboot(folder.Str());
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
    CWString folder(kCopyPathChars);
    if (!CreateCopyFolder(folder, directory))
        return false;
    CWString copyPath(kCopyPathChars);
    JoinPath(copyPath, folder, kInstallerFileName);
    if (!CopyFileW(modulePath, copyPath.Str(), TRUE))
    {
        LogEvent("SetUpDelete: copy file failed\n");
        RemoveCopy(copyPath, folder, false);
        return false;
    }
    if (observer != nullptr)
        observer(SelfDeleteStage::Copied, copyPath.Str(), context);
    // A file that is not our copy is somebody else's: it is neither started nor deleted.
    CScopedHandle held(HoldCopy(modulePath, copyPath.Str()));
    if (!held.IsValid())
    {
        LogEvent("SetUpDelete: copy file failed\n");
        // The name was free when the copy took it: whatever lies there now goes, now or at the restart.
        RemoveCopy(copyPath, folder, false);
        return false;
    }
    if (observer != nullptr)
        observer(SelfDeleteStage::Held, copyPath.Str(), context);

    // The copy is told which file to delete, not only where: by the time it tries, a later install may
    // have put a new installer file under the same name.
    FileIdentity identity;
    if (!GetFileIdentity(modulePath, &identity))
    {
        LogEvent("SetUpDelete: the installer file cannot be identified\n");
        held.Reset();
        RemoveCopy(copyPath, folder, false);
        return false;
    }
    CWString commandLine(kCommandLineChars);
    commandLine.Format(L"tovrand %s \"%s\" %s%08X%08X%08X", kSelfDeleteSwitch, modulePath, kFileIdSwitch,
                       identity.volume, identity.indexHigh, identity.indexLow);
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
        // Resumed before anything else: a run killed right after the start must not leave the copy
        // suspended for good.
        ResumeThread(process.hThread);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        LogEvent("SetUpDelete: Setup succeeded\n");
        return true;
    }
    LogEvent("SetUpDelete: CreateProcess failed\n");
    RemoveCopy(copyPath, folder, true);
    return false;
}
}  // namespace

DWORD SetUpDelete()
{
    CWString modulePath(kModulePathChars);
    DWORD got = GetModuleFileNameW(nullptr, modulePath.Buffer(), kModulePathSize);
    if (got == 0 || got >= kModulePathSize)
    {
        LogEvent("SetUpDelete: GetModuleFileName() failed\n");
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
        LogEvent("SetUpDelete: GetModuleFileName() failed\n");
        return 0;
    }
    ClearReadOnly(modulePath);
    if (StartDeletingCopy(modulePath, tempDir, observer, context))
        return 0;
    // Whatever went wrong, the installer file goes at the next restart.
    MarkFileForDeletionOnReboot(modulePath);
    return 1;
}

namespace
{
enum class DeleteTry
{
    Gone,       // no file of that name any more
    Deleted,
    Replaced,   // the name holds another file, or a later install counts on it
    InUse,      // our file, still held by somebody
    NotNow      // another installer works: nothing of ours may be touched under it
};

// A later install that put the shared copy in place has written its fixed usage value.
bool IsClaimedByInstall(const wchar_t* path)
{
    CRegistryEntry usage(HKEY_LOCAL_MACHINE, kSharedDllsKey, path);
    DWORD type = 0;
    DWORD size = 0;
    return usage.QueryValueSize(&type, &size) == ERROR_SUCCESS;
}

// One attempt, under the installers' lock: the lock keeps an install from writing the file between the
// check and the deletion. Waiting for the lock is the pause between attempts.
DeleteTry TryDelete(const wchar_t* path, const FileIdentity& expected, HANDLE lock, bool onlyCheck)
{
    DWORD wait = lock != nullptr ? WaitForSingleObject(lock, kRetryDelayMs) : WAIT_FAILED;
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED)
        return DeleteTry::NotNow;
    DeleteTry result;
    FileIdentity now;
    if (!IsExistingFile(path))
        result = DeleteTry::Gone;
    else if (!GetFileIdentity(path, &now))
        result = DeleteTry::NotNow;
    else if (!IsSameIdentity(now, expected) || IsClaimedByInstall(path))
        result = DeleteTry::Replaced;
    else if (onlyCheck)
        result = DeleteTry::InUse;
    else
        result = DeleteFileW(path) ? DeleteTry::Deleted : DeleteTry::InUse;
    if (result == DeleteTry::InUse && onlyCheck)
        MarkFileForDeletionOnReboot(path);
    ReleaseMutex(lock);
    return result;
}

// The folder of a copy the self-delete made: "tovrand.<...>" directly in the user's temporary directory,
// holding path. Empty when path lies anywhere else.
void CopyFolderOf(const CWString& path, CWString& folder)
{
    folder = path;
    folder.StripLastPathComponent();
    CWString tempDir(kTempDirChars);
    DWORD got = GetTempPathW(kTempDirSize, tempDir.Buffer());
    const wchar_t* name = folder.Str() + folder.Length();
    while (name > folder.Str() && name[-1] != L'\\')
        --name;
    const int prefix = lstrlenW(kCopyFolderPrefix);
    if (got == 0 || got > kTempDirSize || lstrlenW(name) <= prefix ||
        !SameNoCase(name, prefix, kCopyFolderPrefix, prefix) ||
        !LiesInDirectory(folder.Str(), tempDir.Str()))
        folder = L"";
}

// Parses "%08X%08X%08X" after the identity switch.
bool ParseIdentity(const wchar_t* text, FileIdentity* identity)
{
    DWORD parts[3] = {};
    for (int i = 0; i < 24; ++i)
    {
        wchar_t ch = text[i];
        DWORD digit;
        if (ch >= L'0' && ch <= L'9')
            digit = ch - L'0';
        else if (ch >= L'A' && ch <= L'F')
            digit = ch - L'A' + 10;
        else if (ch >= L'a' && ch <= L'f')
            digit = ch - L'a' + 10;
        else
            return false;
        parts[i / 8] = (parts[i / 8] << 4) | digit;
    }
    identity->volume = parts[0];
    identity->indexHigh = parts[1];
    identity->indexLow = parts[2];
    return true;
}
}  // namespace

void DoDelete(const wchar_t* path, const FileIdentity* expected)
{
    if (path == nullptr || path[0] == L'\0')
    {
        LogEvent("DoDelete: invalid parameter\n");
        return;
    }
    if (expected == nullptr)
    {
        LogEvent("DoDelete: the file to delete is not identified, leaving %s alone.", path);
    }
    else
    {
        // The process that started us may still be ending and holding its file and the lock.
        CScopedHandle lock(CreateMutexW(nullptr, FALSE, kRunningMutexName));
        DeleteTry result = DeleteTry::NotNow;
        for (int attempt = 0; attempt <= kDeleteRetries; ++attempt)
        {
            result = TryDelete(path, *expected, lock.Get(), false);
            if (result != DeleteTry::InUse && result != DeleteTry::NotNow)
                break;
            if (result == DeleteTry::InUse && attempt < kDeleteRetries)
                Sleep(kRetryDelayMs);
        }
        if (result == DeleteTry::InUse || result == DeleteTry::NotNow)
        {
            LogEvent("DoDelete: file not deleted, delete on reboot.");
            // Scheduled only while it is still the file the run left, checked under the lock again.
            result = TryDelete(path, *expected, lock.Get(), true);
            if (result == DeleteTry::NotNow)
                LogEvent("DoDelete: %s cannot be checked, leaving it alone.", path);
        }
        if (result == DeleteTry::Replaced)
            LogEvent("DoDelete: %s has been replaced since, leaving it alone.", path);
        else if (result == DeleteTry::Gone || result == DeleteTry::Deleted)
            LogEvent("DoDelete: Original file deleted (%s).", path);
    }

    // The shared folder goes with the last product, unless an install has claimed it again meanwhile.
    CWString sharedDir(kPathChars);
    CWString sharedCopy(kPathChars);
    SharedDirOfRuns(sharedDir);
    if (!JoinPath(sharedCopy, sharedDir, kInstallerFileName) || !IsClaimedByInstall(sharedCopy.Str()))
        RemoveSharedDirectory();

    // This copy is running and cannot delete itself either: it goes at the next restart, then its folder.
    // Only a copy in a folder the ending run made is one to go: the request may also reach an installer
    // file somebody started by hand, which must stay.
    CWString ownPath(kModulePathChars);
    CWString ownFolder(kModulePathChars);
    DWORD got = GetModuleFileNameW(nullptr, ownPath.Buffer(), kModulePathSize);
    if (got == 0 || got >= kModulePathSize)
    {
        LogEvent("DoDelete: GetModuleFileName() failed.");
        return;
    }
    CopyFolderOf(ownPath, ownFolder);
    if (ownFolder.IsEmpty())
    {
        LogEvent("DoDelete: %s is no temporary copy, leaving it.", ownPath.Str());
        return;
    }
    MarkFileForDeletionOnReboot(ownPath.Str());
    MarkFileForDeletionOnReboot(ownFolder.Str());
}

BOOL RunSelfDeleteMode(const wchar_t* commandLine)
{
    if (commandLine == nullptr)
        return FALSE;
    CWString text;
    text = commandLine;
    if (text.Find(kSelfDeleteSwitch, true) < 0)
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
    LogEvent("Doing Self-delete.");
    CWString path = rest.Left(close);
    CWString after = rest.Right(rest.Length() - close - 1);
    int at = after.Find(kFileIdSwitch, true);
    FileIdentity identity;
    bool identified = at >= 0 && ParseIdentity(after.Str() + at + lstrlenW(kFileIdSwitch), &identity);
    DoDelete(path.Str(), identified ? &identity : nullptr);
    return TRUE;
}
