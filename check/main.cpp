// TOVCHECK64.EXE [/JSON]: reads the machine's Pellimar state (counts, registrations, service, files,
// digests, pending restart operations, leftovers), says what is inconsistent, what will go wrong and
// the command that fixes it. It never writes: no registry value, no file, no log.
// Exit code: 0 ok, 1 warnings only, 2 an error, 3 the state could not be read or the command line is wrong.
#include <windows.h>

#include "base/alloc.h"
#include "base/log.h"
#include "base/sysdll.h"
#include "base/wstring.h"
#include "check/findings.h"
#include "check/output.h"
#include "check/report.h"
#include "check/state.h"

namespace
{
const wchar_t kUsage[] = L"usage: TOVCHECK64.EXE [/JSON]   (exit code 0 ok, 1 warnings, 2 errors, 3 state unreadable)\r\n";

// "/JSON" or "-JSON", any case.
bool IsSwitch(const wchar_t* arg, const wchar_t* name)
{
    return (arg[0] == L'/' || arg[0] == L'-') && SameNoCase(arg + 1, name);
}
}  // namespace

int wmain(int argc, wchar_t** argv)
{
    // The shared code logs every step to PELLIMAR.LOG; a read-only check must not even create it.
    LogDisable();
    RestrictDllSearch();

    bool json = false;
    for (int i = 1; i < argc; ++i)
    {
        if (IsSwitch(argv[i], L"JSON"))
        {
            json = true;
            continue;
        }
        COutput errors(IsSwitch(argv[i], L"?") ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
        if (!IsSwitch(argv[i], L"?"))
            errors.Print(L"TOVCHECK64.EXE: unknown argument %s\r\n", argv[i]);
        errors.Write(kUsage);
        return IsSwitch(argv[i], L"?") ? kCheckOk : kCheckUnreadable;
    }

    MachineState* state = NewNoThrow<MachineState>();
    Findings* findings = NewNoThrow<Findings>();
    COutput out(STD_OUTPUT_HANDLE);
    if (state == nullptr || findings == nullptr)
    {
        COutput(STD_ERROR_HANDLE).Write(L"TOVCHECK64.EXE: not enough memory\r\n");
        delete state;
        delete findings;
        return kCheckUnreadable;
    }
    ReadMachineState(state);
    EvaluateFindings(*state, findings);
    if (json)
        WriteJsonReport(out, *state, *findings);
    else
        WriteTextReport(out, *state, *findings);
    int exitCode = ExitCodeOf(*state, *findings);
    delete state;
    delete findings;
    return exitCode;
}
