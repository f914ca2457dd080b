#include "usage/qzreg.h"

#include "base/access.h"
#include "base/handle.h"
#include "base/log.h"
#include "base/wstring.h"
#include "context/globalinfo.h"
#include "context/locations.h"
#include "base/files.h"
#include "system/payload.h"
#include "resources/resource.h"
#include "usage/usagecount.h"

namespace
{
const int kDeleteAttempts = 5;
const DWORD kDeletePauseMs = 250;

// The updater is not told what the run owes it: the run cannot end as a success.
BOOL NotDone(bool registering)
{
    LogEvent(registering ? "  Error - Pellimar is not registered with Quazel."
                         : "  Error - Pellimar is not unregistered from Quazel.");
    g_pGlobalInfo->Outcome.Fail(ERROR_INSTALL_FAILURE);
    return FALSE;
}

// Writes the registration program to program, held until *held is closed. Another run's program may run
// from that file (one that outlasted its run's wait, or a run at work beside this one): it is waited for,
// as long as this run would wait for its own, so that the updater is told last what this run tells it;
// after that the program goes under a name of this run's own.
BOOL WriteProgram(GlobalInfo* info, CWString& program, HANDLE* held)
{
    DWORD rc = WriteResourceToFile(info->Instance, IDR_QZREG_EXE, kPayloadResourceType, program.Str(), held);
    // Another run's uninstall may have removed the maker's folder meanwhile, once it found it empty.
    if (rc == ERROR_PATH_NOT_FOUND && CreateAdminFolder(info->MakerDir.Str()))
        rc = WriteResourceToFile(info->Instance, IDR_QZREG_EXE, kPayloadResourceType, program.Str(), held);
    if (rc == ERROR_SHARING_VIOLATION)
    {
        LogEvent("  %s is in use by another run's registration, waiting for it.", program.Str());
        DWORD start = GetTickCount();
        while (rc == ERROR_SHARING_VIOLATION && GetTickCount() - start < kRegistrationWaitMs)
        {
            Sleep(kDeletePauseMs);
            rc = WriteResourceToFile(info->Instance, IDR_QZREG_EXE, kPayloadResourceType, program.Str(), held);
        }
    }
    if (rc == 0)
        return TRUE;
    CWString own(kPathChars);
    own.Format(L"%s\\PLQZREG32-%lu.EXE", info->MakerDir.Str(), GetCurrentProcessId());
    LogEvent("Cannot write %s, using %s", program.Str(), own.Str());
    program = own;
    return WriteResourceToFile(info->Instance, IDR_QZREG_EXE, kPayloadResourceType, program.Str(), held) == 0;
}

BOOL RunRegistrationProgram(bool registering)
{
    GlobalInfo* info = g_pGlobalInfo;
    if (info->MakerDir.IsEmpty())
    {
        // Without the maker's directory the program would land in the current directory.
        LogEvent("%s: no Norvatek directory to write PLQZREG32.EXE to.",
                 registering ? L"RegisterWithQZ" : L"UnRegisterWithQZ");
        return NotDone(registering);
    }
    CWString program(kPathChars);
    JoinPath(program, info->MakerDir, kRegistrationProgramName);
    CScopedHandle held;
    if (!WriteProgram(info, program, held.Receive()))
    {
        QZRegExternalPostProcess(program.Str());
        return NotDone(registering);
    }

    CWString parameters(128);
    parameters = registering ? L"/QZREG /64X86" : L"/QZUNREG";
    if (registering && info->Consumer)
        parameters.Append(L" /CONSUMER");
    if (info->UseQzManifest)
        parameters.Append(L" /USEQZMANIFEST");
    if (info->Log)
        parameters.Append(L" /LOG");
    LogEvent(registering ? "RegisterWithQZ() params %s" : "UnRegisterWithQZ() params %s", parameters.Str());

    // Decided as late as it can be: another product's install may have counted the driver since this
    // uninstall released it, and then the updater keeps it.
    BOOL started = FALSE;
    DWORD error = ERROR_SUCCESS;
    if (!registering && IsDriverCounted())
        LogEvent("  *Pellimar is counted again meanwhile, not unregistering from Quazel.");
    else
        started = LaunchAndWait(program.Str(), parameters.Str(), &error);
    held.Reset();
    if (!started && error != ERROR_SUCCESS && error != ERROR_TIMEOUT)
        LogEvent("  Cannot start %s (%d).", program.Str(), static_cast<int>(error));
    QZRegExternalPostProcess(program.Str());
    // One that outlasted the wait may still finish its work; its file waits for the restart.
    return started || error == ERROR_SUCCESS || error == ERROR_TIMEOUT ? TRUE : NotDone(registering);
}
}  // namespace

BOOL RegisterWithQZ()
{
    return RunRegistrationProgram(true);
}

BOOL UnRegisterWithQZ()
{
    return RunRegistrationProgram(false);
}

BOOL LaunchAndWait(const wchar_t* program, const wchar_t* parameters, DWORD* error)
{
    // The parameters are the whole command line: the program's first word is its first option. An
    // updater that never answers must not hold the product's setup for ever: after the wait the program
    // is left running, and its file to the restart.
    DWORD exitCode = 0;
    *error = RunAndWait(program, parameters, kRegistrationWaitMs, &exitCode);
    if (*error == ERROR_TIMEOUT)
        LogEvent("  %s did not end within %d seconds, leaving it running.", program,
                 static_cast<int>(kRegistrationWaitMs / 1000));
    return *error == ERROR_SUCCESS;
}

BOOL QZRegExternalPostProcess(const wchar_t* program)
{
    if (program == nullptr)
        return FALSE;
    if (!IsExistingFile(program))
    {
        LogEvent("QZRegExternalPostProcess: file doesn't exist %s", program);
        return TRUE;
    }
    // The program's image can stay locked for a moment after it ended.
    for (int attempt = 0; attempt < kDeleteAttempts; ++attempt)
    {
        if (DeleteFileW(program))
        {
            LogEvent("Deleted try %d: %s", attempt, program);
            return TRUE;
        }
        LogEvent("Cannot delete try %d: %s Error %d", attempt, program, static_cast<int>(GetLastError()));
        Sleep(kDeletePauseMs);
    }
    // Scheduled under the short path, the one form every restart-time deletion of ours takes.
    CWString shortPath(kFullPathChars);
    DWORD n = GetShortPathNameW(program, shortPath.Buffer(), kFullPathChars - 2);
    if (n == 0 || n >= static_cast<DWORD>(kFullPathChars - 2))
        shortPath = program;
    if (MoveFileExW(shortPath.Str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
    {
        g_pGlobalInfo->Outcome.RestartRequired();
        LogEvent("Delete on reboot: %s", program);
        return TRUE;
    }
    LogEvent("Cannot delete on reboot: %s Error %d", program, static_cast<int>(GetLastError()));
    return FALSE;
}
