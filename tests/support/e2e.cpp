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
