#include "e2e.h"

namespace harness
{
InstallerRun RunCase(const std::wstring& args, const std::wstring& exe)
{
    InstallerRun run;
    ScratchDir temp;
    {
        MessageBoxAnswerer answerer(L"Pellimar Installer");
        run.process = harness::Run(L"\"" + (exe.empty() ? InstallerPath() : exe) + L"\" " + args, temp.Path());
        run.box = answerer.Text();
        run.boxes = answerer.Count();
    }
    run.log = ReadLog(temp.Path());
    for (const std::string& line : run.log)
        run.messages.push_back(MessageOf(line));
    return run;
}

Holder::Holder(const std::wstring& tool, const std::wstring& args)
{
    static LONG counter = 0;
    wchar_t name[64];
    wsprintfW(name, L"TovrandTestHolder%lu_%ld", GetCurrentProcessId(), InterlockedIncrement(&counter));
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, name);
    std::wstring a = args;
    size_t at = a.find(L"{EVENT}");
    if (at != std::wstring::npos)
        a.replace(at, 7, name);
    else
        a += std::wstring(a.empty() ? L"" : L" ") + name;
    m_process = Start(L"\"" + BinDir() + L"\\" + tool + L"\" " + a, L"");
    HANDLE both[2] = {ready, m_process};
    m_ready = m_process != nullptr && WaitForMultipleObjects(2, both, FALSE, 15000) == WAIT_OBJECT_0;
    CloseHandle(ready);
}

void Holder::Release()
{
    if (m_process == nullptr)
        return;
    TerminateProcess(m_process, 9);
    WaitForSingleObject(m_process, 10000);
    CloseHandle(m_process);
    m_process = nullptr;
}

bool Restart()
{
    Process p = harness::Run(L"wineboot.exe -r", L"", 120000);
    return p.finished;
}

std::vector<std::string> Chain(const std::vector<std::string>& messages)
{
    std::vector<std::string> chain;
    for (const std::string& m : messages)
    {
        if (m.compare(0, 8, "BEGIN - ") == 0)
            chain.push_back(m.substr(8));
    }
    return chain;
}
}  // namespace harness
