#include "harness.h"

#include <aclapi.h>
#include <sddl.h>
#include <tlhelp32.h>

namespace harness
{
std::wstring BinDir()
{
    wchar_t path[MAX_PATH];
    std::wstring p(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return p.substr(0, p.find_last_of(L'\\'));
}

// TOVRAND_TEST_BUILD names another build of the installer beside the tests ("release": the signed
// build with the 32-bit registration program, as shipped); without it the test build runs.
std::wstring InstallerPath()
{
    wchar_t build[64] = L"";
    DWORD n = GetEnvironmentVariableW(L"TOVRAND_TEST_BUILD", build, 64);
    return BinDir() + (n > 0 && n < 64 ? L"\\" + std::wstring(build) : L"") + L"\\TOVRAND64x86.EXE";
}

bool IsWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out.push_back(c > 0xFF ? '?' : static_cast<char>(c));
    return out;
}

std::wstring Widen(const std::string& text)
{
    std::wstring out;
    for (char c : text)
        out.push_back(static_cast<unsigned char>(c));
    return out;
}

ScratchDir::ScratchDir()
{
    wchar_t temp[MAX_PATH], name[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static LONG counter = 0;
    do
        wsprintfW(name, L"%stvt%lu_%ld", temp, GetCurrentProcessId(), InterlockedIncrement(&counter));
    while (!CreateDirectoryW(name, nullptr) && GetLastError() == ERROR_ALREADY_EXISTS);
    m_path = name;
}

ScratchDir::~ScratchDir()
{
    RemoveTree(m_path);
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    char buffer[65536];
    DWORD got = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD done = 0;
    bool ok = file != INVALID_HANDLE_VALUE &&
              WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) && done == bytes.size();
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return ok;
}

void RemoveTree(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return void(DeleteFileW(path.c_str()));
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &fd);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &fd))
        if (lstrcmpW(fd.cFileName, L".") != 0 && lstrcmpW(fd.cFileName, L"..") != 0)
            RemoveTree(path + L"\\" + fd.cFileName);
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
    RemoveDirectoryW(path.c_str());
}

bool FileExists(const std::wstring& path)
{
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool LetEverybodyChange(const std::wstring& path)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    std::wstring file = path;
    bool done = ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1301bf;;;WD)",
                                                                     SDDL_REVISION_1, &sd, nullptr) &&
                GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) &&
                SetNamedSecurityInfoW(&file[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                                      nullptr) == ERROR_SUCCESS;
    LocalFree(sd);
    return done;
}

bool DirExists(const std::wstring& path)
{
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring ShortPath(const std::wstring& path)
{
    wchar_t buffer[MAX_PATH];
    DWORD n = GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(buffer, n) : std::wstring();
}

HANDLE Start(const std::wstring& commandLine, const std::wstring& tempDir, const std::wstring& cwd, DWORD flags,
             HANDLE output)
{
    // This process's environment with TEMP and TMP replaced.
    std::vector<wchar_t> env;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* p = strings; *p != L'\0'; p += lstrlenW(p) + 1)
        if (tempDir.empty() || (_wcsnicmp(p, L"TEMP=", 5) != 0 && _wcsnicmp(p, L"TMP=", 4) != 0))
            env.insert(env.end(), p, p + lstrlenW(p) + 1);
    FreeEnvironmentStringsW(strings);
    for (std::wstring entry : {L"TEMP=" + tempDir, L"TMP=" + tempDir})
        if (!tempDir.empty())
            env.insert(env.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    env.push_back(L'\0');
    std::vector<wchar_t> cmd(commandLine.c_str(), commandLine.c_str() + commandLine.size() + 1);
    STARTUPINFOW si = {sizeof(si)};
    if (output != nullptr)
        si.dwFlags = STARTF_USESTDHANDLES, si.hStdOutput = si.hStdError = output;
    PROCESS_INFORMATION pi = {};
    auto start = [&] {
        return CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, output != nullptr,
                              CREATE_UNICODE_ENVIRONMENT | flags, env.data(), cwd.empty() ? nullptr : cwd.c_str(),
                              &si, &pi);
    };
    // Wine now and then fails a start with ERROR_INTERNAL_ERROR (its new process never came up): start it again.
    BOOL started = start();
    for (int tries = 1; !started && GetLastError() == ERROR_INTERNAL_ERROR && tries < 3; ++tries)
        Sleep(500), started = start();
    if (!started)
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

Process Wait(HANDLE process, DWORD timeoutMs)
{
    Process result;
    if (process == nullptr)
    {
        result.startError = GetLastError();
        return result;
    }
    result.pid = GetProcessId(process);
    result.finished = WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
    if (!result.finished)
        TerminateProcess(process, 0xDEAD), WaitForSingleObject(process, 5000);
    GetExitCodeProcess(process, &result.exitCode);
    CloseHandle(process);
    return result;
}

std::vector<std::string> ReadLog(const std::wstring& tempDir, bool headers)
{
    std::string bytes = ReadFileBytes(tempDir + L"\\PELLIMAR.LOG");
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < bytes.size(); start = end == std::string::npos ? bytes.size() : end + 2)
    {
        end = bytes.find("\r\n", start);
        std::string line = bytes.substr(start, end == std::string::npos ? end : end - start);
        // The message is what follows "[date time][PID:n] ".
        size_t at = line.compare(0, 1, "[") == 0 ? line.find("] ") : std::string::npos;
        lines.push_back(headers || at == std::string::npos ? line : line.substr(at + 2));
    }
    return lines;
}

namespace
{
// Answers every "Pellimar Installer" box on a thread of its own and keeps the first one's text (the
// static control 0xFFFF of a message box). A box is found while it is still being built: it is taken
// once it is shown, when its text is set.
struct BoxAnswerer
{
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::wstring text;
    int count = 0;
    HANDLE thread = CreateThread(nullptr, 0, Loop, this, 0, nullptr);
    ~BoxAnswerer()
    {
        SetEvent(stop);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread), CloseHandle(stop);
    }
    static DWORD WINAPI Loop(void* param)
    {
        BoxAnswerer* self = static_cast<BoxAnswerer*>(param);
        for (HWND answered = nullptr; WaitForSingleObject(self->stop, 50) == WAIT_TIMEOUT;)
        {
            HWND box = FindWindowW(L"#32770", L"Pellimar Installer");
            if (box == nullptr || box == answered || !IsWindowVisible(box))
                continue;
            wchar_t text[1024] = L"";
            GetWindowTextW(GetDlgItem(box, 0xFFFF), text, 1024);
            if (self->count++ == 0)
                self->text = text;
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            answered = box;
        }
        return 0;
    }
};
}  // namespace

InstallerRun RunInstaller(const std::wstring& exe, const std::wstring& args, const std::wstring& tempDir,
                          const std::wstring& cwd, bool waitForCopies)
{
    ScratchDir scratch;
    const std::wstring& temp = tempDir.empty() ? scratch.Path() : tempDir;
    InstallerRun run;
    {
        BoxAnswerer answerer;
        run.process = Wait(Start(L"\"" + exe + L"\" " + args, temp, cwd));
        if (waitForCopies)
            WaitForInstallers(40000);
        run.box = answerer.text;
        run.boxes = answerer.count;
    }
    run.lines = ReadLog(temp);
    run.log = ReadLog(temp, false);
    return run;
}

void WaitForInstallers(DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 100, Sleep(100))
    {
        bool running = false;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        {
            const wchar_t* slash = wcsrchr(entry.szExeFile, L'\\');
            const wchar_t* name = slash != nullptr ? slash + 1 : entry.szExeFile;
            // The installer, its self-delete copies (tovrand0.exe .. tovrand9.exe) and the registration
            // program it may leave running, not the tests.
            running = running || lstrcmpiW(name, L"TOVRAND64x86.EXE") == 0 || lstrcmpiW(name, L"PLQZREG32.EXE") == 0 ||
                      (lstrlenW(name) == 12 && _wcsnicmp(name, L"tovrand", 7) == 0 && iswdigit(name[7]));
        }
        CloseHandle(snapshot);
        if (!running)
            return;
    }
}

Holder::Holder(const std::wstring& what)
{
    static LONG counter = 0;
    wchar_t name[64];
    wsprintfW(name, L"TovrandTestHolder%lu_%ld", GetCurrentProcessId(), InterlockedIncrement(&counter));
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, name);
    m_process = Start(L"\"" + BinDir() + L"\\holder.exe\" " + name + L" " + what, L"");
    HANDLE both[2] = {ready, m_process};
    m_ready = m_process != nullptr && WaitForMultipleObjects(2, both, FALSE, 15000) == WAIT_OBJECT_0;
    CloseHandle(ready);
}

void Holder::Release()
{
    if (m_process != nullptr)
        TerminateProcess(m_process, 9), WaitForSingleObject(m_process, 10000), CloseHandle(m_process);
    m_process = nullptr;
}

bool Restart()
{
    return IsWine() && Wait(Start(L"wineboot.exe -r", L"")).finished;
}
}  // namespace harness
