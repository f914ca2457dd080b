// TovrandCA.dll: the custom actions with which a product's MSI runs TOVRAND64x86.EXE. Tovrand.wxi
// schedules them; a product team needs nothing else from this file.
//
//   TovrandRun       deferred, without impersonation (the installer writes HKLM, System32 and the service
//                    manager, so it needs the LocalSystem context of the installer service).
//                    CustomActionData: "<copy>[;<copy>...]|<arguments>". Starts the first copy that exists
//                    with the arguments and waits for it. Exit code 0 succeeds; 1, 3010, 1641 and
//                    0x80070BC2 succeed and ask for a restart; anything else fails the action, so that the
//                    package rolls back and msiexec ends with 1603.
//   TovrandRollback  the same run as a rollback action. A rollback cannot fail: its code is only logged.
//   TovrandRestart   immediate, after InstallFinalize: asks for the restart a TovrandRun of this package
//                    found necessary.
//
// Each run writes its command line and its full exit code into the MSI log.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <stdarg.h>
#include <wchar.h>

#include <new>

#include "base/files.h"
#include "base/handle.h"
#include "base/sysdll.h"

namespace
{
// A deferred action can neither set a property nor, on Windows, call MsiSetMode: the request for a
// restart goes to TovrandRestart through a value named after the ProductCode in this volatile key, which
// a restart removes with everything else that waited for it.
const wchar_t kMakerKey[] = L"SOFTWARE\\Norvatek";
const wchar_t kRestartKey[] = L"TovrandSetupRestart";
const REGSAM kView = KEY_WOW64_64KEY;

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

// Runs the first copy of CustomActionData's list that exists and waits for it. Returns FALSE when no
// copy could be started (each reason logged), else TRUE with its exit code.
BOOL RunInstaller(MSIHANDLE install, DWORD* exitCode)
{
    wchar_t* data = GetProperty(install, L"CustomActionData");
    wchar_t* bar = data != nullptr ? wcschr(data, L'|') : nullptr;
    if (bar == nullptr)
    {
        Log(install, L"CustomActionData must be \"<copy>[;<copy>...]|<arguments>\", it is \"%s\".",
            data != nullptr ? data : L"(not readable)");
        delete[] data;
        return FALSE;
    }
    *bar = L'\0';
    const wchar_t* arguments = bar + 1;
    BOOL started = FALSE;
    for (wchar_t* copy = data; copy != nullptr && !started;)
    {
        wchar_t* next = wcschr(copy, L';');
        if (next != nullptr)
            *next++ = L'\0';
        if (*copy == L'\0')
        {
            copy = next;
            continue;
        }
        if (!IsExistingFile(copy))
        {
            Log(install, L"%s is not there (error %lu).", copy, GetLastError());
            copy = next;
            continue;
        }
        const size_t chars = lstrlenW(copy) + lstrlenW(arguments) + 4;
        wchar_t* commandLine = new (std::nothrow) wchar_t[chars];
        if (commandLine == nullptr)
            break;
        _snwprintf(commandLine, chars, L"\"%s\" %s", copy, arguments);
        commandLine[chars - 1] = L'\0';
        Log(install, L"starting %s", commandLine);
        // The path is given as the module name too: nothing is looked up on the search path.
        *exitCode = ERROR_INSTALL_FAILURE;
        DWORD error = RunAndWait(copy, commandLine, INFINITE, exitCode);
        if (error == ERROR_SUCCESS)
        {
            started = TRUE;
            Log(install, L"%s ended with exit code %lu (0x%08lX): %s.", commandLine, *exitCode, *exitCode,
                Describe(OutcomeOf(*exitCode)));
        }
        else
            Log(install, L"cannot start %s (error %lu).", commandLine, error);
        delete[] commandLine;
        copy = next;
    }
    if (started)
    {
        // Where support finds the installer's own log: the TEMP of the account that ran it, which for
        // the installer service's LocalSystem is %SystemRoot%\Temp.
        wchar_t temp[MAX_PATH + 1];
        DWORD n = GetTempPathW(MAX_PATH + 1, temp);
        Log(install, L"the installer's log is %sPELLIMAR.LOG", n > 0 && n <= MAX_PATH ? temp : L"%TEMP%\\");
    }
    else
        Log(install, L"no copy of the installer could be started with %s.", arguments);
    delete[] data;
    return started;
}

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

// Each entry first takes the current and the application directory out of the DLL search of the
// custom-action server that loaded it, as the installer does at its own entry: the server may have been
// started anywhere, and nothing of this DLL is to be found beside a planted copy.
extern "C" UINT __stdcall TovrandRun(MSIHANDLE install)
{
    RestrictDllSearch();
    // A request of an earlier, rolled-back run of this package is not this run's.
    SetRestartRequest(install, false);
    DWORD exitCode = 0;
    if (!RunInstaller(install, &exitCode))
        return ERROR_INSTALL_FAILURE;
    RunOutcome outcome = OutcomeOf(exitCode);
    if (outcome == kRestartNeeded)
    {
        LONG rc = SetRestartRequest(install, true);
        if (rc != ERROR_SUCCESS)
            Log(install, L"the restart request could not be kept for TovrandRestart (error %ld).", rc);
    }
    return outcome == kFailed ? ERROR_INSTALL_FAILURE : ERROR_SUCCESS;
}

extern "C" UINT __stdcall TovrandRollback(MSIHANDLE install)
{
    RestrictDllSearch();
    DWORD exitCode = 0;
    RunInstaller(install, &exitCode);
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall TovrandRestart(MSIHANDLE install)
{
    RestrictDllSearch();
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
