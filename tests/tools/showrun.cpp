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
        if (!args.empty())
            args += L" ";
        args += a.find(L' ') != std::wstring::npos ? L"\"" + a + L"\"" : a;
    }
    ScratchDir temp;
    Process p;
    std::wstring box;
    {
        MessageBoxAnswerer answerer(L"Pellimar Installer");
        p = RunInstaller(args, temp.Path());
        box = answerer.Text();
    }
    printf("=== TOVRAND64x86.EXE %s\n", Narrow(args).c_str());
    printf("=== Exit code: %lu (0x%08lX)%s\n", p.exitCode, p.exitCode, p.finished ? "" : " (did not finish)");
    if (!box.empty())
        printf("=== Closing box: %s\n", Narrow(box).c_str());
    printf("=== PELLIMAR.LOG\n");
    for (const std::string& line : ReadLog(temp.Path()))
        printf("%s\n", line.c_str());
    printf("=== Machine state\n%s", DumpState().c_str());
    return p.finished ? 0 : 1;
}
