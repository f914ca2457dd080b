#include "control/entry.h"

#include <commctrl.h>

#include "base/buildversion.h"
#include "base/files.h"
#include "base/handle.h"
#include "base/log.h"
#include "base/registry.h"
#include "base/sysdll.h"
#include "context/globalinfo.h"
#include "context/locations.h"
#include "context/version.h"
#include "control/copystep.h"
#include "control/sequencer.h"
#include "system/payload.h"
#include "system/removal.h"
#include "system/selfdelete.h"
#include "resources/resource.h"

HINSTANCE ModuleInstance = nullptr;
HWND MainWindow = nullptr;
HANDLE RunningMutex = nullptr;
HANDLE RunningImage = nullptr;

namespace
{
const DWORD kCannotStart = 99;
}  // namespace

BOOL ReadInstalledTovrandPath(CWString& path)
{
    // A value that is empty, of another type or too long would make a relative or cut path, and the
    // file found there would be started with administrator rights: such a value is no value.
    CRegistryEntry entry(HKEY_LOCAL_MACHINE, kCurrentVersionKey, kCommonFilesValue);
    CWString commonFiles(kPathChars);
    if (ReadFolderValue(&entry, kDeepestBelowCommonFiles, commonFiles) != ERROR_SUCCESS)
        return FALSE;
    InstallLayout layout;
    ComputeLayout(nullptr, commonFiles.Str(), nullptr, &layout);
    path = layout.installerCopy;
    return TRUE;
}

BOOL IsInstalledTovrandNewer(CWString& path, int capacity)
{
    CWString candidate(kPathChars);
    if (!ReadInstalledTovrandPath(candidate) || !IsExistingFile(candidate.Str()))
        return FALSE;
    ULONGLONG installed = ReadFileVersion(candidate.Str());
    if (installed == 0)
        return FALSE;
    ULONGLONG own = kBuildVersion;
    LogEvent("Installed:%d.%d.%d.%d  This: %d.%d.%d.%d", VersionPart(installed, 0), VersionPart(installed, 1),
             VersionPart(installed, 2), VersionPart(installed, 3), VersionPart(own, 0), VersionPart(own, 1),
             VersionPart(own, 2), VersionPart(own, 3));
    if (installed <= own)
        return FALSE;
    if (candidate.Length() >= capacity)
        return FALSE;   // cannot be handed over whole: serve the request here
    path = candidate.Str();
    return TRUE;
}

DWORD LaunchAndWaitWithReturn(const wchar_t* application, const wchar_t* commandLine)
{
    LogEvent("LaunchAndWaitWithReturn( %s, %s );", application != nullptr ? application : L"(null)",
             commandLine != nullptr ? commandLine : L"(null)");
    DWORD exitCode = kCannotStart;
    if (RunAndWait(application, commandLine != nullptr ? commandLine : L"", INFINITE, &exitCode) != ERROR_SUCCESS)
        exitCode = kCannotStart;
    return exitCode;
}

DWORD RunNewerTovrand(const wchar_t* path, const wchar_t* commandLine)
{
    CWString built(lstrlenW(path) + lstrlenW(commandLine) + 8);
    built = L"\"";
    built.Append(path);
    built.Append(L"\" ");
    built.Append(commandLine);
    LogEvent("CommandLine from lpCmdLine       : %s", commandLine);
    LogEvent("Full built CmdLine passed over   : %s", built.Str());
    DWORD result = LaunchAndWaitWithReturn(nullptr, built.Str());
    LogEvent("Newer Tovrand returned %d.  Returning the same.", static_cast<int>(result));
    return result;
}

BOOL AcquireRunningMutex()
{
    LogEvent("Acquiring %s mutex...", kRunningMutexName);
    RunningMutex = CreateMutexW(nullptr, FALSE, kRunningMutexName);
    if (RunningMutex == nullptr)
    {
        LogEvent("  Failed to CreateMutex.  GetLastError: 0x%x", GetLastError());
        return FALSE;
    }
    DWORD wait = WaitForSingleObject(RunningMutex, kRunningMutexWaitMs);
    switch (wait)
    {
    case WAIT_OBJECT_0:
        LogEvent("  Successfully acquired mutex.");
        break;
    case WAIT_ABANDONED:
        LogEvent("  The other instance of tovrand exited without releasing the mutex.  It's ours now.");
        break;
    case WAIT_TIMEOUT:
        LogEvent("  The other instance of tovrand still has the mutex, something must be wrong with it, "
                 "continuing anyway.");
        break;
    case WAIT_FAILED:
        LogEvent("  Failed to WaitForSingleObject() on tovrand running mutex.");
        break;
    default:
        LogEvent("  Unexpected return from WaitForSingleObject() while waiting on tovrand running mutex.");
        break;
    }
    return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

namespace
{
// The NT headers of a PE image that starts at bytes (count of them readable), or null.
const IMAGE_NT_HEADERS* NtHeaders(const BYTE* bytes, DWORD count)
{
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes);
    if (count < sizeof(IMAGE_DOS_HEADER) || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0 ||
        static_cast<DWORD>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS) > count)
        return nullptr;
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(bytes + dos->e_lfanew);
    return nt->Signature == IMAGE_NT_SIGNATURE ? nt : nullptr;
}
}  // namespace

BOOL HoldRunningImage()
{
    wchar_t path[kFullPathChars];
    DWORD got = GetModuleFileNameW(nullptr, path, kFullPathChars - 1);
    // Read sharing only: while the run lasts nobody can write, rename or delete the file, so the path names
    // the image that runs for as long as this handle is open, and copying from the path is copying it.
    CScopedHandle file(got > 0 && got < static_cast<DWORD>(kFullPathChars - 1)
                           ? CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr)
                           : INVALID_HANDLE_VALUE);
    BYTE header[4096];
    DWORD read = 0;
    const IMAGE_NT_HEADERS* onDisk =
        file.IsValid() && ReadFile(file.Get(), header, sizeof(header), &read, nullptr) ? NtHeaders(header, read)
                                                                                       : nullptr;
    // The loaded image keeps its headers as the file had them when it was started.
    const IMAGE_NT_HEADERS* running =
        NtHeaders(reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr)), sizeof(header));
    if (onDisk == nullptr || running == nullptr ||
        onDisk->FileHeader.TimeDateStamp != running->FileHeader.TimeDateStamp ||
        onDisk->OptionalHeader.SizeOfImage != running->OptionalHeader.SizeOfImage ||
        onDisk->OptionalHeader.CheckSum != running->OptionalHeader.CheckSum)
    {
        LogEvent("  Error - The installer file cannot be held as the program that runs (%d).",
                 static_cast<int>(file.IsValid() ? ERROR_FILE_CORRUPT : GetLastError()));
        return FALSE;
    }
    RunningImage = file.Release();
    return TRUE;
}

BOOL RegisterMainWindowClass(HINSTANCE instance)
{
    WNDCLASSW wc = {};
    wc.style = 0;
    wc.lpfnWndProc = MainWndProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = DLGWINDOWEXTRA;   // the dialog manager keeps its state there
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_MAIN));
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = kMainWindowClass;
    return RegisterClassW(&wc) != 0;
}

namespace
{
// The start-up's last part, for an install or update: the payload written out, the installed driver
// looked for, the versions read. Without the maker's directory nothing is written: the run ends at its
// first step then, and only asks whether there is a driver to update.
BOOL PreparePayload(GlobalInfo* info)
{
    if (info->Uninstall)
        return TRUE;
    if (info->MakerDir.IsEmpty())
    {
        CheckForExistingDriver(info);
        return TRUE;
    }
    // Unlike a refused command line, this request was valid and is left undone: the caller has to learn
    // that from the exit code. What was written before a failure goes again.
    if (!ExtractFiles(info))
    {
        LogEvent("ExtractFiles() failed");
        RemoveExtractedFiles(info);
        info->Outcome.Fail(ERROR_CANNOT_MAKE);
        return FALSE;
    }
    CheckForExistingDriver(info);
    if (!GetVersions(info))
    {
        LogEvent("GetVersions() failed");
        RemoveExtractedFiles(info);
        info->Outcome.Fail(ERROR_CANNOT_MAKE);
        return FALSE;
    }
    ApplyPendingRenames(info);
    return TRUE;
}
}  // namespace

BOOL CreateMainWindow(GlobalInfo* info, HINSTANCE instance, const wchar_t* commandLine)
{
    ModuleInstance = instance;
    if (!info->Init(commandLine, instance) || !PreparePayload(info))
    {
        LogEvent("Tovrand GlobalInfo::Init() failed");
        return FALSE;
    }
    // The progress bar's window class lives in the common controls, taken from the system directory.
    HMODULE controls = LoadSystemLibrary(L"comctl32.dll");
    typedef BOOL(WINAPI * InitControlsFn)(const INITCOMMONCONTROLSEX*);
    InitControlsFn initControls =
        controls != nullptr ? reinterpret_cast<InitControlsFn>(GetProcAddress(controls, "InitCommonControlsEx"))
                            : nullptr;
    if (initControls != nullptr)
    {
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_PROGRESS_CLASS};
        initControls(&icc);
    }
    // The dialog's class routes every message, WM_CREATE included, to MainWndProc: the sequence
    // starts inside this call.
    HWND dialog = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, nullptr, 0);
    if (dialog == nullptr)
    {
        LogEvent("Unable to create main window 0x%08X", GetLastError());
        info->Outcome.Fail(ERROR_INSTALL_FAILURE);
        return FALSE;
    }
    CWString::InitClass(dialog, instance, kTextChars, IDS_NOMEMORY, IDS_CAPTION);
    MainWindow = dialog;
    bool hidden = info->Quiet || info->Uninstall;
    ShowWindow(dialog, hidden ? SW_HIDE : SW_SHOWNORMAL);
    UpdateWindow(dialog);
    return TRUE;
}

void RemoveRunningInstaller(GlobalInfo* info)
{
    // Without the lock another run may be at work: the copy could not make sure that the file it deletes is
    // still the one this run leaves, and would leave it alone while the run reported success.
    if (info->OtherRunActive)
        LogEvent("  The lock was not held, the installer file is left to the restart.");
    if (!info->DelOnReboot && !info->OtherRunActive)
    {
        if (SetUpDelete() == 1)
            info->Outcome.RestartRequired();
        return;
    }
    CWString self(kFullPathChars);
    DWORD n = GetModuleFileNameW(nullptr, self.Buffer(), kFullPathChars - 1);
    if (n > 0 && n < static_cast<DWORD>(kFullPathChars - 1))
    {
        MarkFileForDeletionOnReboot(self.Str());
        info->Outcome.RestartRequired();
    }
}
