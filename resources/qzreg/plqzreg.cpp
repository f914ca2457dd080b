// PLQZREG32.EXE: registers the Pellimar driver with the Quazel updater service, or unregisters it.
//
// Options (the whole command line is options: the installer starts this program with its path as the
// application name and passes no program name as the first word; a word that is no option, such as a
// program name when it is started by hand, is ignored):
//   /QZREG          register                      /QZUNREG        unregister
//   /64X86          the driver is the x64 build   /CONSUMER       consumer edition
//   /USEQZMANIFEST  use the updater's manifest    /LOG            append a line to %TEMP%\PLQZREG.LOG
//                   (to PLQZREG-<pid>.LOG beside it when that file is a link or a user's own)
//
// What it was asked is kept under HKLM\SOFTWARE\Norvatek\QuazelRegistration (64-bit view):
// "LastCommandLine" (REG_SZ, the command line exactly as received), "Registered" (REG_DWORD, 1 after
// /QZREG, 0 after /QZUNREG) and "RunCount" (REG_DWORD, one more each run). The exit code is always 0:
// the installer does not read it. A "HoldMs" value (REG_DWORD) there makes it wait that long before it
// ends, as an updater service that does not answer would.
#include <windows.h>

#include "base/ownlog.h"

namespace
{
const wchar_t kKeyPath[] = L"SOFTWARE\\Norvatek\\QuazelRegistration";
const wchar_t kLogName[] = L"PLQZREG.LOG";

struct Options
{
    bool x64 = false;
    bool consumer = false;
    bool useManifest = false;
    bool log = false;
    // Where both /QZREG and /QZUNREG are given, the later one decides.
    int lastAction = 0;  // 0 none, 1 register, 2 unregister
};

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

void ApplyWord(const wchar_t* word, int length, Options& options)
{
    struct Switch
    {
        const wchar_t* name;
        bool Options::*flag;
        int action;
    };
    static const Switch kSwitches[] = {
        {L"/QZREG", nullptr, 1},
        {L"/QZUNREG", nullptr, 2},
        {L"/64X86", &Options::x64, 0},
        {L"/CONSUMER", &Options::consumer, 0},
        {L"/USEQZMANIFEST", &Options::useManifest, 0},
        {L"/LOG", &Options::log, 0},
    };
    for (const Switch& s : kSwitches)
    {
        // Options are matched without regard to case, as Windows programs do.
        if (lstrlenW(s.name) == length &&
            CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, word, length, s.name, length) == CSTR_EQUAL)
        {
            if (s.flag)
                options.*(s.flag) = true;
            if (s.action)
                options.lastAction = s.action;
            return;
        }
    }
}

Options ParseOptions(const wchar_t* commandLine)
{
    Options options;
    const wchar_t* p = commandLine;
    while (*p)
    {
        while (IsBlank(*p))
            ++p;
        const wchar_t* start = p;
        // A quoted word (a program path with blanks, when started by hand) is one word, whatever it holds.
        bool quoted = false;
        while (*p && (quoted || !IsBlank(*p)))
        {
            if (*p == L'"')
                quoted = !quoted;
            ++p;
        }
        if (p > start)
            ApplyWord(start, static_cast<int>(p - start), options);
    }
    return options;
}

void RecordRun(const wchar_t* commandLine, const Options& options)
{
    // KEY_WOW64_64KEY: the 32-bit build must write where 64-bit readers look, not into WOW6432Node.
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    const DWORD bytes = static_cast<DWORD>((lstrlenW(commandLine) + 1) * sizeof(wchar_t));
    RegSetValueExW(key, L"LastCommandLine", 0, REG_SZ, reinterpret_cast<const BYTE*>(commandLine), bytes);
    if (options.lastAction)
    {
        const DWORD registered = options.lastAction == 1 ? 1 : 0;
        RegSetValueExW(key, L"Registered", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&registered),
                       sizeof(registered));
    }
    DWORD count = 0;
    DWORD type = 0;
    DWORD size = sizeof(count);
    if (RegQueryValueExW(key, L"RunCount", nullptr, &type, reinterpret_cast<BYTE*>(&count), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(count))
        count = 0;
    ++count;
    RegSetValueExW(key, L"RunCount", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof(count));
    RegCloseKey(key);
}

DWORD HoldMs()
{
    HKEY key = nullptr;
    DWORD hold = 0;
    DWORD type = 0;
    DWORD size = sizeof(hold);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return 0;
    if (RegQueryValueExW(key, L"HoldMs", nullptr, &type, reinterpret_cast<BYTE*>(&hold), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        hold = 0;
    RegCloseKey(key);
    return hold;
}

void AppendLog(const wchar_t* commandLine, const Options& options)
{
    wchar_t path[MAX_PATH + 16];
    const DWORD length = GetTempPathW(MAX_PATH, path);
    if (length == 0 || length >= MAX_PATH || length + lstrlenW(kLogName) >= ARRAYSIZE(path))
        return;
    lstrcatW(path, kLogName);

    SYSTEMTIME now;
    GetLocalTime(&now);
    const wchar_t* action = options.lastAction == 1 ? L"register" : options.lastAction == 2 ? L"unregister" : L"none";
    // wsprintfW has Windows' meaning of %s (a wide string) and no floating point; it stops at 1024
    // characters, so the command line is given separately.
    wchar_t head[160];
    wsprintfW(head, L"%04u-%02u-%02u %02u:%02u:%02u [%lu] PLQZREG%s action=%s%s%s%s command line: ", now.wYear,
              now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, GetCurrentProcessId(),
              sizeof(void*) == 8 ? L" (x64 build)" : L"", action, options.x64 ? L" 64X86" : L"",
              options.consumer ? L" CONSUMER" : L"", options.useManifest ? L" USEQZMANIFEST" : L"");

    // One WriteFile per line with append access: lines of processes that run at once do not interleave.
    const int headLength = lstrlenW(head);
    const int lineLength = headLength + lstrlenW(commandLine) + 2;
    wchar_t* line = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, (lineLength + 1) * sizeof(wchar_t)));
    if (!line)
        return;
    lstrcpyW(line, head);
    lstrcatW(line, commandLine);
    lstrcatW(line, L"\r\n");
    const int utf8Length = WideCharToMultiByte(CP_UTF8, 0, line, lineLength, nullptr, 0, nullptr, nullptr);
    char* utf8 = utf8Length > 0 ? static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, utf8Length)) : nullptr;
    if (utf8 && WideCharToMultiByte(CP_UTF8, 0, line, lineLength, utf8, utf8Length, nullptr, nullptr) == utf8Length)
    {
        // A name prepared as a link, or a file a user made for a privileged run, gets none of its lines.
        bool refused = false;
        HANDLE file = own_log::OpenForAppend(path, FILE_SHARE_READ | FILE_SHARE_WRITE, false, &refused);
        if (refused)
        {
            path[length] = L'\0';
            file = own_log::CreateOwnLog(path, L"PLQZREG");
        }
        if (file != INVALID_HANDLE_VALUE)
        {
            DWORD written = 0;
            WriteFile(file, utf8, static_cast<DWORD>(utf8Length), &written, nullptr);
            CloseHandle(file);
        }
    }
    if (utf8)
        HeapFree(GetProcessHeap(), 0, utf8);
    HeapFree(GetProcessHeap(), 0, line);
}
}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // GetCommandLineW, not the argument the runtime hands over: the runtime strips what it takes for the
    // program name, and the installer's command line has none, so its first option would be lost.
    const wchar_t* commandLine = GetCommandLineW();
    const Options options = ParseOptions(commandLine);
    RecordRun(commandLine, options);
    if (options.log)
        AppendLog(commandLine, options);
    Sleep(HoldMs());
    return 0;
}
