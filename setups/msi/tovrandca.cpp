// TovrandCA.dll: the custom actions with which a product's MSI runs TOVRAND64x86.EXE. Tovrand.wxi
// schedules them; a product team needs nothing else from this file.
//
//   TovrandPrepare   immediate, before the deferred ones are scheduled: reads whether the product is
//                    registered with the installer and listed under InstalledApps now, before this run,
//                    and writes the data of the four deferred actions from it. A rollback so takes back
//                    only what this run added or gives back only what it took away: a repair, a re-run or
//                    a major upgrade of a product that was registered before leaves the registration to
//                    the version that made it, and a rolled-back uninstall of a registered product
//                    installs its use again.
//   TovrandRun       deferred, without impersonation (the installer writes HKLM, System32 and the service
//                    manager, so it needs the LocalSystem context of the installer service). Lists the
//                    AppID or drops its listing (in the 64-bit view, whatever the package's bitness), and
//                    runs the product's own copy or, when that is missing or refused, the shared copy
//                    under Common Files. Exit code 0 succeeds; 1, 3010, 1641 and 0x80070BC2 succeed and
//                    ask for a restart; anything else fails the action, so that the package rolls back
//                    and msiexec ends with 1603.
//   TovrandRollback  the undo of TovrandRun's install as a rollback action. A rollback cannot fail: its
//                    code is only logged.
//   TovrandUninstallRollback  the undo of TovrandRun's uninstall: lists the AppID again and installs its
//                    use again when the product was registered before. The uninstall runs a copy of the
//                    installer it checked, kept for this rollback, which the rollback or the commit of a
//                    successful uninstall, TovrandUninstallCommit, deletes.
//   TovrandRestart   immediate, after InstallFinalize: asks for the restart a TovrandRun of this package
//                    found necessary.
//
// A copy is started only when nobody but the administrators and the system may change it (catrust.h),
// and it is started from the handle that was checked being held. Each run writes its command line and
// its full exit code into the MSI log.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <sddl.h>
#include <stdarg.h>
#include <wchar.h>

#include <new>

#include "base/files.h"
#include "base/handle.h"
#include "setups/msi/catrust.h"

namespace
{
// A deferred action can neither set a property nor, on Windows, call MsiSetMode: the request for a
// restart goes to TovrandRestart through a value named after the ProductCode in this volatile key, which
// a restart removes with everything else that waited for it.
const wchar_t kMakerKey[] = L"SOFTWARE\\Norvatek";
const wchar_t kRestartKey[] = L"TovrandSetupRestart";
const REGSAM kView = KEY_WOW64_64KEY;
const wchar_t kInstalledApps[] = L"SOFTWARE\\Norvatek\\InstalledApps";
const wchar_t kRegistrations[] = L"SOFTWARE\\Norvatek\\Pellimar";
const wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const wchar_t kSharedCopy[] = L"Norvatek Shared\\TOVRAND64x86.EXE";

// The installer's own waits end within minutes (5 s for its lock, 5 minutes for the updater's
// registration program, once more for a newer copy it hands over to). One that runs much longer waits
// for what nobody will answer, a box in session 0: msiexec must not wait with it for good.
#ifndef TOVRANDCA_WAIT_MS
#define TOVRANDCA_WAIT_MS (15 * 60 * 1000)
#endif
const DWORD kInstallerWaitMs = TOVRANDCA_WAIT_MS;

enum RunOutcome
{
    kSucceeded,
    kRestartNeeded,
    kFailed,
};

// The one reading of the installer's exit codes. 1 is the installer's own "restart required",
// 0x80070BC2 the same with /HRESULT; 3010 and 1641 are Windows Installer's, which a newer installer that
// served the request may pass through.
RunOutcome OutcomeOf(DWORD exitCode)
{
    switch (exitCode)
    {
    case 0:
        return kSucceeded;
    case 1:
    case ERROR_SUCCESS_REBOOT_REQUIRED:
    case ERROR_SUCCESS_REBOOT_INITIATED:
    case 0x80070BC2:
        return kRestartNeeded;
    default:
        return kFailed;
    }
}

const wchar_t* Describe(RunOutcome outcome)
{
    return outcome == kSucceeded ? L"success" : outcome == kRestartNeeded ? L"success, restart required" : L"failure";
}

class CMsiRecord
{
public:
    explicit CMsiRecord(UINT fields) : m_h(MsiCreateRecord(fields)) {}
    ~CMsiRecord()
    {
        if (m_h != 0)
            MsiCloseHandle(m_h);
    }
    MSIHANDLE Get() const { return m_h; }

private:
    CMsiRecord(const CMsiRecord&) = delete;
    CMsiRecord& operator=(const CMsiRecord&) = delete;
    MSIHANDLE m_h;
};

// One line in the MSI log, "Tovrand: " and printf-style text (%s is a wide string: msvcrt's meaning).
void Log(MSIHANDLE install, const wchar_t* format, ...)
{
    const int kChars = 1024;
    wchar_t text[kChars];
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(text, kChars - 1, format, args);
    va_end(args);
    text[n < 0 ? kChars - 1 : n] = L'\0';
    // The message is a formatted template: "[x]" there is a property reference (Wine formats substituted
    // fields again too), so every bracket goes in as the literal escape "[\[]" or "[\]]".
    const wchar_t kPrefix[] = L"Tovrand: ";
    wchar_t escaped[ARRAYSIZE(kPrefix) + 4 * kChars];
    int at = lstrlenW(kPrefix);
    lstrcpyW(escaped, kPrefix);
    for (const wchar_t* c = text; *c != L'\0'; ++c)
    {
        if (*c == L'[' || *c == L']')
        {
            escaped[at++] = L'[';
            escaped[at++] = L'\\';
            escaped[at++] = *c;
            escaped[at++] = L']';
        }
        else
            escaped[at++] = *c;
    }
    escaped[at] = L'\0';
    CMsiRecord record(0);
    MsiRecordSetStringW(record.Get(), 0, escaped);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record.Get());
}

// A property's value in a new[] buffer, or null. The caller deletes it.
wchar_t* GetProperty(MSIHANDLE install, const wchar_t* name)
{
    DWORD chars = 0;
    wchar_t empty[1] = L"";
    if (MsiGetPropertyW(install, name, empty, &chars) != ERROR_MORE_DATA && chars == 0)
        return new (std::nothrow) wchar_t[1]();
    wchar_t* value = new (std::nothrow) wchar_t[++chars];
    if (value != nullptr && MsiGetPropertyW(install, name, value, &chars) != ERROR_SUCCESS)
    {
        delete[] value;
        value = nullptr;
    }
    return value;
}

// The data of a deferred action: four texts, each written as "<number of characters>:<text>", so that
// no path or AppID, whatever characters it holds, can move a field's boundary.
//   arguments  what the installer is run with before the AppID ("/Q", "/U /Q", ...); empty: no run
//   AppID
//   own copy   the product's TOVRAND64x86.EXE
//   listing    "+" list the AppID before the run, "-" drop the listing after a run that succeeded (or, in
//              a rollback, whatever it ended with), "" leave it
enum Field
{
    kArguments,
    kAppId,
    kOwnCopy,
    kListing,
    kFields,
};

wchar_t* EncodeData(const wchar_t* const (&fields)[kFields])
{
    size_t chars = 1;
    for (const wchar_t* field : fields)
        chars += lstrlenW(field) + 12;
    wchar_t* data = new (std::nothrow) wchar_t[chars];
    if (data == nullptr)
        return nullptr;
    size_t at = 0;
    for (const wchar_t* field : fields)
        at += _snwprintf(data + at, chars - at, L"%d:%s", lstrlenW(field), field);
    data[at] = L'\0';
    return data;
}

// Splits data in place into its fields; FALSE when it is not of that form.
BOOL DecodeData(wchar_t* data, wchar_t* (&fields)[kFields])
{
    size_t lengths[kFields];
    wchar_t* at = data;
    for (int i = 0; i < kFields; ++i)
    {
        size_t n = 0;
        wchar_t* digit = at;
        for (; *at >= L'0' && *at <= L'9' && n < 0x10000; ++at)
            n = n * 10 + (*at - L'0');
        if (at == digit || *at != L':' || static_cast<size_t>(lstrlenW(at + 1)) < n)
            return FALSE;
        fields[i] = at + 1;
        lengths[i] = n;
        at += 1 + n;
    }
    if (*at != L'\0')
        return FALSE;
    // Each terminator lands on the first digit of the next field, read already.
    for (int i = 0; i < kFields; ++i)
        fields[i][lengths[i]] = L'\0';
    return TRUE;
}

bool KeyExists(const wchar_t* parent, const wchar_t* name)
{
    CScopedKey key;
    wchar_t path[kPathChars];
    return JoinPath(path, kPathChars, parent, name) &&
           RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | kView, key.Receive()) == ERROR_SUCCESS;
}

bool IsListed(const wchar_t* appId)
{
    CScopedKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstalledApps, 0, KEY_QUERY_VALUE | kView, key.Receive()) ==
               ERROR_SUCCESS &&
           RegQueryValueExW(key.Get(), appId, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// The listing goes to the 64-bit view, where the installer reads it, also from a 32-bit package, whose
// own registry values Windows Installer writes to the 32-bit view. Its data is the product's folder.
LONG SetListing(const wchar_t* appId, const wchar_t* ownCopy, bool listed)
{
    CScopedKey key;
    // A removal creates nothing: the last product's uninstall may have taken the maker's key away.
    LONG rc = listed ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, kInstalledApps, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_SET_VALUE | kView, nullptr, key.Receive(), nullptr)
                     : RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstalledApps, 0, KEY_SET_VALUE | kView, key.Receive());
    if (rc != ERROR_SUCCESS || !listed)
        return rc == ERROR_SUCCESS ? RegDeleteValueW(key.Get(), appId) : rc;
    const wchar_t* slash = wcsrchr(ownCopy, L'\\');
    size_t chars = slash != nullptr ? slash - ownCopy + 1 : 0;
    wchar_t folder[kFullPathChars] = L"";
    lstrcpynW(folder, ownCopy, static_cast<int>(chars < kFullPathChars ? chars + 1 : kFullPathChars));
    return RegSetValueExW(key.Get(), appId, 0, REG_SZ, reinterpret_cast<const BYTE*>(folder),
                          (lstrlenW(folder) + 1) * sizeof(wchar_t));
}

// The shared copy under the 64-bit Common Files folder, where the installer keeps it; "" when the folder
// cannot be read.
void GetSharedCopy(wchar_t (&path)[kFullPathChars])
{
    wchar_t common[kPathChars] = L"";
    DWORD bytes = sizeof(common) - sizeof(wchar_t);
    CScopedKey key;
    DWORD type = 0;
    path[0] = L'\0';
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCurrentVersion, 0, KEY_QUERY_VALUE | kView, key.Receive()) != ERROR_SUCCESS ||
        RegQueryValueExW(key.Get(), L"CommonFilesDir", nullptr, &type, reinterpret_cast<BYTE*>(common), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return;
    common[bytes / sizeof(wchar_t)] = L'\0';
    JoinPath(path, kFullPathChars, common, kSharedCopy);
}

// The copy of the installer that an uninstall runs and keeps for its rollback. The last product's
// uninstall deletes the installer it ran and the shared copy: run from the product's folder, it would
// take the product's own copy with it, which a rolled-back uninstall needs, and on Windows a failure
// before the product's files go brings back nothing that the installer deleted itself. The folder, one
// per package in %SystemRoot%\Temp, admits only the system and the administrators; a copy there is run
// only when that still holds (a folder of that name that somebody else made is refused like any other).
bool GetKeptCopy(MSIHANDLE install, wchar_t (&folder)[kFullPathChars], wchar_t (&copy)[kFullPathChars])
{
    wchar_t windows[MAX_PATH + 1];
    UINT n = GetSystemWindowsDirectoryW(windows, MAX_PATH + 1);
    wchar_t* product = GetProperty(install, L"ProductCode");
    bool named = n > 0 && n <= MAX_PATH && product != nullptr && *product != L'\0' &&
                 _snwprintf(folder, kFullPathChars, L"%s\\Temp\\TovrandCA.%s", windows, product) > 0 &&
                 JoinPath(copy, kFullPathChars, folder, L"TOVRAND64x86.EXE");
    delete[] product;
    return named;
}

// Users may create folders in %SystemRoot%\Temp: one of that name that is a link is removed as a link,
// and nothing is deleted through it.
void DropKeptCopy(MSIHANDLE install)
{
    wchar_t folder[kFullPathChars], copy[kFullPathChars];
    if (!GetKeptCopy(install, folder, copy))
        return;
    DWORD attributes = GetFileAttributesW(folder);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        DeleteFileW(copy);
    RemoveDirectoryW(folder);
}

// Copies the checked copy, while it is held against writing, into a new folder of its own.
bool KeepCopy(MSIHANDLE install, const wchar_t* checked, wchar_t (&copy)[kFullPathChars])
{
    wchar_t folder[kFullPathChars];
    if (!GetKeptCopy(install, folder, copy))
        return false;
    DropKeptCopy(install);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1,
                                                             &descriptor, nullptr))
        attributes.lpSecurityDescriptor = descriptor;
    bool kept = descriptor != nullptr && CreateDirectoryW(folder, &attributes) && CopyFileW(checked, copy, TRUE);
    if (kept)
        Log(install, L"%s is kept as %s, which runs the uninstall and, if it is rolled back, its undo.", checked, copy);
    else
        Log(install, L"%s cannot be kept in %s for a rollback of this uninstall (error %lu).", checked, folder,
            GetLastError());
    LocalFree(descriptor);
    return kept;
}

enum CopyRun
{
    kNotThere,   // missing, refused or not startable: the next copy is tried
    kRan,
    kStillRunning,
};

// Starts the copy at path, if it is there and trusted, from the handles with which it was checked, and
// waits for it a bounded time. With keep, the checked copy is kept for a rollback, and the kept one runs.
CopyRun RunCopy(MSIHANDLE install, const wchar_t* path, const wchar_t* arguments, bool keep, DWORD* exitCode)
{
    CScopedHandle file(OpenCopyForStart(path));
    if (!file.IsValid())
    {
        Log(install, L"%s is not there (error %lu).", path, GetLastError());
        return kNotThere;
    }
    CScopedHandle folder(OpenFolderOf(path));
    CopyTrust trust = TrustOfCopy(path, file.Get(), folder.IsValid() ? folder.Get() : INVALID_HANDLE_VALUE);
    if (trust == kUntrusted)
    {
        Log(install,
            L"%s is refused: others than the administrators and the system may change it or its folder, and it "
            L"carries no valid signature of TovrandCA.dll's signer.",
            path);
        return kNotThere;
    }
    wchar_t kept[kFullPathChars];
    if (keep && KeepCopy(install, path, kept))
    {
        file.Reset();
        folder.Reset();
        return RunCopy(install, kept, arguments, false, exitCode);
    }
    const size_t chars = lstrlenW(path) + lstrlenW(arguments) + 4;
    wchar_t* commandLine = new (std::nothrow) wchar_t[chars];
    if (commandLine == nullptr)
        return kNotThere;
    _snwprintf(commandLine, chars, L"\"%s\" %s", path, arguments);
    commandLine[chars - 1] = L'\0';
    Log(install, L"starting %s (%s)", commandLine,
        trust == kTrustedByAccess ? L"only administrators and the system may change it"
                                  : L"signed by TovrandCA.dll's signer");
    // The path is given as the module name too: nothing is looked up on the search path. The handles
    // go once the process exists: its image is mapped, and the file can no longer be changed.
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(path, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                                  &startup, &process);
    DWORD error = GetLastError();
    file.Reset();
    folder.Reset();
    CopyRun result = kNotThere;
    if (!started)
        Log(install, L"cannot start %s (error %lu).", commandLine, error);
    else
    {
        CScopedHandle thread(process.hThread);
        CScopedHandle running(process.hProcess);
        if (WaitForSingleObject(running.Get(), kInstallerWaitMs) != WAIT_OBJECT_0)
        {
            Log(install, L"%s has not ended within %lu seconds; it is left running and the action fails.",
                commandLine, kInstallerWaitMs / 1000);
            result = kStillRunning;
        }
        else
        {
            *exitCode = ERROR_INSTALL_FAILURE;
            GetExitCodeProcess(running.Get(), exitCode);
            Log(install, L"%s ended with exit code %lu (0x%08lX): %s.", commandLine, *exitCode, *exitCode,
                Describe(OutcomeOf(*exitCode)));
            result = kRan;
        }
    }
    delete[] commandLine;
    return result;
}

// Runs the product's own copy or else the shared copy with "<arguments> <AppID>" (an uninstall a kept
// copy of it), and a rollback of an uninstall then the copy that uninstall kept. FALSE when none ran to
// its end (each reason logged), else TRUE with its exit code.
enum KeptCopyUse
{
    kNoKeptCopy,
    kKeepCopy,
    kRunKeptCopy,
};
BOOL RunInstaller(MSIHANDLE install, wchar_t* const (&fields)[kFields], KeptCopyUse kept, DWORD* exitCode)
{
    const size_t chars = lstrlenW(fields[kArguments]) + lstrlenW(fields[kAppId]) + 2;
    wchar_t* arguments = new (std::nothrow) wchar_t[chars];
    if (arguments == nullptr)
        return FALSE;
    _snwprintf(arguments, chars, L"%s %s", fields[kArguments], fields[kAppId]);
    arguments[chars - 1] = L'\0';
    wchar_t shared[kFullPathChars];
    GetSharedCopy(shared);
    wchar_t keptFolder[kFullPathChars], keptCopy[kFullPathChars];
    CopyRun run = RunCopy(install, fields[kOwnCopy], arguments, kept == kKeepCopy, exitCode);
    if (run == kNotThere && shared[0] != L'\0')
        run = RunCopy(install, shared, arguments, kept == kKeepCopy, exitCode);
    if (run == kNotThere && kept == kRunKeptCopy && GetKeptCopy(install, keptFolder, keptCopy))
        run = RunCopy(install, keptCopy, arguments, false, exitCode);
    if (run == kRan)
    {
        // Where support finds the installer's own log: the TEMP of the account that ran it, which for
        // the installer service's LocalSystem is %SystemRoot%\Temp.
        wchar_t temp[MAX_PATH + 1];
        DWORD n = GetTempPathW(MAX_PATH + 1, temp);
        Log(install, L"the installer's log is %sPELLIMAR.LOG", n > 0 && n <= MAX_PATH ? temp : L"%TEMP%\\");
    }
    else if (run == kNotThere)
        Log(install, L"no copy of the installer could be started with %s.", arguments);
    delete[] arguments;
    return run == kRan;
}

// The deferred action's data, split; null (logged) when it cannot be read.
wchar_t* ReadData(MSIHANDLE install, wchar_t* (&fields)[kFields])
{
    wchar_t* data = GetProperty(install, L"CustomActionData");
    if (data == nullptr || !DecodeData(data, fields))
    {
        Log(install, L"CustomActionData is not what TovrandPrepare writes: \"%s\".", data != nullptr ? data : L"");
        delete[] data;
        return nullptr;
    }
    return data;
}

// Takes the current directory out of the DLL search of the custom-action server while an action runs,
// and gives the server back what it had: other products' actions run in the same process. (Every DLL
// this one loads at run time is loaded from the system directory by its full path anyway.)
class CDllSearchScope
{
public:
    CDllSearchScope()
    {
        DWORD n = GetDllDirectoryW(MAX_PATH, m_saved);
        m_had = n > 0 && n < MAX_PATH;
        SetDllDirectoryW(L"");
    }
    ~CDllSearchScope() { SetDllDirectoryW(m_had ? m_saved : nullptr); }

private:
    CDllSearchScope(const CDllSearchScope&) = delete;
    CDllSearchScope& operator=(const CDllSearchScope&) = delete;
    wchar_t m_saved[MAX_PATH];
    bool m_had;
};

// The restart requests' key, opened or created. It is created volatile below a key made non-volatile
// first: the keys made on the way to a volatile key are volatile too, and the installer could then
// create none of its own keys below SOFTWARE\Norvatek (ERROR_CHILD_MUST_BE_VOLATILE).
LONG OpenRestartKey(bool create, REGSAM access, CScopedKey* key)
{
    CScopedKey maker;
    LONG rc = create ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMakerKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_CREATE_SUB_KEY | kView, nullptr, maker.Receive(), nullptr)
                     : RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMakerKey, 0, KEY_ENUMERATE_SUB_KEYS | kView, maker.Receive());
    if (rc != ERROR_SUCCESS)
        return rc;
    return create ? RegCreateKeyExW(maker.Get(), kRestartKey, 0, nullptr, REG_OPTION_VOLATILE, access | kView, nullptr,
                                    key->Receive(), nullptr)
                  : RegOpenKeyExW(maker.Get(), kRestartKey, 0, access | kView, key->Receive());
}

// Keeps or drops this package's restart request.
LONG SetRestartRequest(MSIHANDLE install, bool needed)
{
    wchar_t* product = GetProperty(install, L"ProductCode");
    if (product == nullptr)
        return ERROR_OUTOFMEMORY;
    CScopedKey key;
    LONG rc = OpenRestartKey(needed, KEY_SET_VALUE, &key);
    if (rc == ERROR_SUCCESS)
        rc = needed ? RegSetValueExW(key.Get(), product, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"1"), 4)
                    : RegDeleteValueW(key.Get(), product);
    delete[] product;
    return rc == ERROR_FILE_NOT_FOUND && !needed ? ERROR_SUCCESS : rc;
}
}  // namespace


extern "C" UINT __stdcall TovrandPrepare(MSIHANDLE install)
{
    CDllSearchScope search;
    // Tovrand.wxi's properties: the AppID, and the name of the directory that holds the product's copy.
    wchar_t* appId = GetProperty(install, L"TovrandAppId");
    wchar_t* dirProperty = GetProperty(install, L"TovrandDir");
    wchar_t* dir = dirProperty != nullptr ? GetProperty(install, dirProperty) : nullptr;
    wchar_t ownCopy[kFullPathChars] = L"";
    UINT rc = ERROR_INSTALL_FAILURE;
    if (appId == nullptr || dir == nullptr || *appId == L'\0' || *dir == L'\0' ||
        !JoinPath(ownCopy, kFullPathChars, dir, L"TOVRAND64x86.EXE"))
        Log(install, L"TovrandAppId (\"%s\") and the folder TovrandDir names (\"%s\") must be set.",
            appId != nullptr ? appId : L"", dir != nullptr ? dir : L"");
    else
    {
        const bool registered = KeyExists(kRegistrations, appId), listed = IsListed(appId);
        Log(install, L"%s is %sregistered with the installer and %slisted under InstalledApps before this run.", appId,
            registered ? L"" : L"not ", listed ? L"" : L"not ");
        const wchar_t* const install_[kFields] = {L"/Q", appId, ownCopy, L"+"};
        const wchar_t* const rollback[kFields] = {registered ? L"" : L"/U /Q /NOREGAPPID", appId, ownCopy,
                                                  listed ? L"" : L"-"};
        const wchar_t* const uninstall[kFields] = {L"/U /Q", appId, ownCopy, L"-"};
        // The uninstall took away only what was there: the use of a registered product, the listing.
        const wchar_t* const giveBack[kFields] = {registered ? L"/Q" : L"", appId, ownCopy, listed ? L"+" : L""};
        const struct
        {
            const wchar_t* action;
            const wchar_t* const (&fields)[kFields];
        } data[] = {{L"TovrandInstall", install_},
                    {L"TovrandInstallRollback", rollback},
                    {L"TovrandUninstall", uninstall},
                    {L"TovrandUninstallRollback", giveBack}};
        rc = ERROR_SUCCESS;
        for (const auto& d : data)
        {
            wchar_t* text = EncodeData(d.fields);
            if (text == nullptr || MsiSetPropertyW(install, d.action, text) != ERROR_SUCCESS)
                rc = ERROR_INSTALL_FAILURE;
            delete[] text;
        }
    }
    delete[] appId;
    delete[] dirProperty;
    delete[] dir;
    return rc;
}

extern "C" UINT __stdcall TovrandRun(MSIHANDLE install)
{
    CDllSearchScope search;
    // A request of an earlier, rolled-back run of this package is not this run's.
    SetRestartRequest(install, false);
    wchar_t* fields[kFields];
    wchar_t* data = ReadData(install, fields);
    if (data == nullptr)
        return ERROR_INSTALL_FAILURE;
    const wchar_t* appId = fields[kAppId];
    LONG listing = fields[kListing][0] == L'+' ? SetListing(appId, fields[kOwnCopy], true) : ERROR_SUCCESS;
    DWORD exitCode = 0;
    RunOutcome outcome = kFailed;
    if (listing != ERROR_SUCCESS)
        Log(install, L"%s cannot be listed under InstalledApps (error %ld).", appId, listing);
    else if (RunInstaller(install, fields, fields[kListing][0] == L'-' ? kKeepCopy : kNoKeptCopy, &exitCode))
        outcome = OutcomeOf(exitCode);
    if (outcome == kRestartNeeded)
    {
        LONG rc = SetRestartRequest(install, true);
        if (rc != ERROR_SUCCESS)
            Log(install, L"the restart request could not be kept for TovrandRestart (error %ld).", rc);
    }
    // An uninstall that failed keeps the listing: running it again finishes the job.
    if (outcome != kFailed && fields[kListing][0] == L'-' && (listing = SetListing(appId, L"", false)) != ERROR_SUCCESS &&
        listing != ERROR_FILE_NOT_FOUND)
        Log(install, L"%s's listing under InstalledApps cannot be removed (error %ld).", appId, listing);
    delete[] data;
    return outcome == kFailed ? ERROR_INSTALL_FAILURE : ERROR_SUCCESS;
}

namespace
{
// A rollback action: runs the installer when the data asks for it, or says why not, and puts the
// listing back as it was before the run. A rollback cannot fail: its code is only logged.
UINT Undo(MSIHANDLE install, KeptCopyUse kept, const wchar_t* nothingToUndo)
{
    CDllSearchScope search;
    wchar_t* fields[kFields];
    wchar_t* data = ReadData(install, fields);
    if (data == nullptr)
        return ERROR_SUCCESS;
    const wchar_t* appId = fields[kAppId];
    // A rolled-back uninstall: Windows Installer puts the product's files and values back, the listing
    // is the actions' own, and it is back before the installer reads it.
    LONG rc = fields[kListing][0] == L'+' ? SetListing(appId, fields[kOwnCopy], true) : ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS)
        Log(install, L"%s cannot be listed under InstalledApps again (error %ld).", appId, rc);
    DWORD exitCode = 0;
    if (fields[kArguments][0] != L'\0')
        RunInstaller(install, fields, kept, &exitCode);
    else
        Log(install, nothingToUndo, appId);
    if (kept == kRunKeptCopy)
        DropKeptCopy(install);
    if (fields[kListing][0] == L'-')
        SetListing(appId, L"", false);
    delete[] data;
    return ERROR_SUCCESS;
}
}  // namespace

extern "C" UINT __stdcall TovrandRollback(MSIHANDLE install)
{
    return Undo(install, kNoKeptCopy, L"%s was registered before this run: its registration stays.");
}

extern "C" UINT __stdcall TovrandUninstallRollback(MSIHANDLE install)
{
    return Undo(install, kRunKeptCopy, L"%s was not registered before this run: there is no use to give back.");
}

// The commit of a successful uninstall: the copy kept for its rollback goes.
extern "C" UINT __stdcall TovrandUninstallCommit(MSIHANDLE install)
{
    CDllSearchScope search;
    DropKeptCopy(install);
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall TovrandRestart(MSIHANDLE install)
{
    CDllSearchScope search;
    wchar_t* product = GetProperty(install, L"ProductCode");
    CScopedKey key;
    bool asked = product != nullptr && OpenRestartKey(false, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS &&
                 RegQueryValueExW(key.Get(), product, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    delete[] product;
    if (!asked)
        return ERROR_SUCCESS;
    // Read by the user's context, dropped by the next TovrandRun of the package or by the restart itself.
    SetRestartRequest(install, false);
    UINT rc = MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
    Log(install, L"the installer asked for a restart; MsiSetMode(MSIRUNMODE_REBOOTATEND) returned %u.", rc);
    return ERROR_SUCCESS;
}
