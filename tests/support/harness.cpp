#include "harness.h"

#include <stdio.h>

namespace harness
{
std::wstring BinDir()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    return p.substr(0, p.find_last_of(L'\\'));
}

std::wstring InstallerPath()
{
    return BinDir() + L"\\TOVRAND64x86.EXE";
}

bool IsWine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

ScratchDir::ScratchDir()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static LONG counter = 0;
    wchar_t name[MAX_PATH];
    for (;;)
    {
        wsprintfW(name, L"%stvt%lu_%ld", temp, GetCurrentProcessId(), InterlockedIncrement(&counter));
        if (CreateDirectoryW(name, nullptr))
            break;
    }
    m_path = name;
}

ScratchDir::~ScratchDir()
{
    RemoveTree(m_path);
}

namespace
{
// A copy of this process's environment with TEMP and TMP replaced.
std::vector<wchar_t> EnvironmentWithTemp(const std::wstring& tempDir)
{
    std::vector<wchar_t> block;
    wchar_t* env = GetEnvironmentStringsW();
    for (const wchar_t* p = env; *p != L'\0'; p += lstrlenW(p) + 1)
    {
        if (!tempDir.empty() && (_wcsnicmp(p, L"TEMP=", 5) == 0 || _wcsnicmp(p, L"TMP=", 4) == 0))
            continue;
        block.insert(block.end(), p, p + lstrlenW(p) + 1);
    }
    FreeEnvironmentStringsW(env);
    if (!tempDir.empty())
    {
        for (const wchar_t* name : {L"TEMP=", L"TMP="})
        {
            std::wstring entry = std::wstring(name) + tempDir;
            block.insert(block.end(), entry.begin(), entry.end());
            block.push_back(L'\0');
        }
    }
    block.push_back(L'\0');
    return block;
}
}  // namespace

HANDLE Start(const std::wstring& commandLine, const std::wstring& tempDir, DWORD* pid, DWORD creationFlags)
{
    std::vector<wchar_t> env = EnvironmentWithTemp(tempDir);
    std::vector<wchar_t> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back(L'\0');
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT | creationFlags,
                        env.data(), nullptr, &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    if (pid != nullptr)
        *pid = pi.dwProcessId;
    return pi.hProcess;
}

Process Wait(HANDLE process, DWORD timeoutMs)
{
    Process result;
    if (process == nullptr)
        return result;
    result.pid = GetProcessId(process);
    if (WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0)
    {
        result.finished = true;
        GetExitCodeProcess(process, &result.exitCode);
    }
    else
    {
        TerminateProcess(process, 0xDEAD);
        WaitForSingleObject(process, 5000);
    }
    CloseHandle(process);
    return result;
}

Process Run(const std::wstring& commandLine, const std::wstring& tempDir, DWORD timeoutMs)
{
    return Wait(Start(commandLine, tempDir), timeoutMs);
}

Process RunInstaller(const std::wstring& args, const std::wstring& tempDir, DWORD timeoutMs)
{
    return Run(L"\"" + InstallerPath() + L"\" " + args, tempDir, timeoutMs);
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD done = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
    CloseHandle(file);
    return ok && done == bytes.size();
}

std::vector<std::string> ReadLog(const std::wstring& tempDir)
{
    std::string bytes = ReadFileBytes(tempDir + L"\\PELLIMAR.LOG");
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size())
    {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos)
        {
            lines.push_back(bytes.substr(start));
            break;
        }
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::string MessageOf(const std::string& line)
{
    size_t at = line.find("] ");
    if (line.compare(0, 1, "[") != 0 || at == std::string::npos)
        return line;
    return line.substr(at + 2);
}

int FindLine(const std::vector<std::string>& lines, const std::string& message, int from)
{
    for (size_t i = from < 0 ? 0 : from; i < lines.size(); ++i)
    {
        if (MessageOf(lines[i]) == message)
            return static_cast<int>(i);
    }
    return -1;
}

int CountLines(const std::vector<std::string>& lines, const std::string& message)
{
    int n = 0;
    for (const std::string& line : lines)
        n += MessageOf(line) == message ? 1 : 0;
    return n;
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

MessageBoxAnswerer::MessageBoxAnswerer(const std::wstring& caption) : m_caption(caption)
{
    InitializeCriticalSection(&m_lock);
    m_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_thread = CreateThread(nullptr, 0, Thread, this, 0, nullptr);
}

MessageBoxAnswerer::~MessageBoxAnswerer()
{
    SetEvent(m_stop);
    WaitForSingleObject(m_thread, INFINITE);
    CloseHandle(m_thread);
    CloseHandle(m_stop);
    DeleteCriticalSection(&m_lock);
}

std::wstring MessageBoxAnswerer::Text()
{
    EnterCriticalSection(&m_lock);
    std::wstring text = m_text;
    LeaveCriticalSection(&m_lock);
    return text;
}

int MessageBoxAnswerer::Count()
{
    EnterCriticalSection(&m_lock);
    int n = m_count;
    LeaveCriticalSection(&m_lock);
    return n;
}

DWORD WINAPI MessageBoxAnswerer::Thread(void* param)
{
    MessageBoxAnswerer* self = static_cast<MessageBoxAnswerer*>(param);
    HWND answered = nullptr;
    while (WaitForSingleObject(self->m_stop, 50) == WAIT_TIMEOUT)
    {
        HWND box = FindWindowW(L"#32770", self->m_caption.c_str());
        // The box is found while it is still being built: wait until it is shown, when its text is set.
        if (box == nullptr || box == answered || !IsWindowVisible(box))
            continue;
        HWND textControl = GetDlgItem(box, 0xFFFF);
        wchar_t text[1024] = L"";
        if (textControl != nullptr)
            GetWindowTextW(textControl, text, 1024);
        EnterCriticalSection(&self->m_lock);
        if (self->m_count++ == 0)
            self->m_text = text;
        LeaveCriticalSection(&self->m_lock);
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        answered = box;
    }
    return 0;
}

void RemoveTree(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
    {
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            if (lstrcmpW(fd.cFileName, L".") != 0 && lstrcmpW(fd.cFileName, L"..") != 0)
                RemoveTree(path + L"\\" + fd.cFileName);
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

bool FileExists(const std::wstring& path)
{
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirExists(const std::wstring& path)
{
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}
}  // namespace harness
