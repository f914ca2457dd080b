// showrun [installer arguments]: runs TOVRAND64x86.EXE the way a product's setup does and prints the
// full exit code, the run's log, the closing box's text and the installer's state on the machine.
#include <stdio.h>

#include <string>

#include "harness.h"
#include "machine.h"

using namespace harness;

int wmain(int argc, wchar_t** argv)
{
    std::wstring args;
    for (int i = 1; i < argc; ++i)
    {
        std::wstring a = argv[i];
        args += (args.empty() ? L"" : L" ") + (a.find(L' ') != std::wstring::npos ? L"\"" + a + L"\"" : a);
    }
    InstallerRun run = RunInstaller(InstallerPath(), args);
    printf("=== TOVRAND64x86.EXE %s\n", Narrow(args).c_str());
    printf("=== Exit code: %lu (0x%08lX)%s\n", run.process.exitCode, run.process.exitCode,
           run.process.finished ? "" : " (did not finish)");
    if (!run.box.empty())
        printf("=== Closing box: %s\n", Narrow(run.box).c_str());
    printf("=== PELLIMAR.LOG\n");
    for (const std::string& line : run.lines)
        printf("%s\n", line.c_str());
    printf("=== Machine state\n%s", Show(Describe(Where(), {})).c_str());
    return run.process.finished ? 0 : 1;
}
