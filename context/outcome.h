// What a run comes to. Every step reports here (an error, a restart it needs, the installer's own file
// to go at the end); the end of the run makes it the process's exit code, in one place.
#pragma once
#include <windows.h>

class CRunOutcome
{
public:
    CRunOutcome() : m_error(0), m_restart(FALSE), m_deleteInstaller(FALSE) {}

    // A step could not do its part. The first code reported stays; it wins over a restart request.
    void Fail(DWORD code)
    {
        if (m_error == 0)
            m_error = code;
    }
    // The run needs a restart to finish.
    void RestartRequired() { m_restart = TRUE; }
    // The last product has left: the running installer's file goes at the end of the run.
    void DeleteInstallerAtEnd() { m_deleteInstaller = TRUE; }

    BOOL Failed() const { return m_error != 0; }
    BOOL NeedsRestart() const { return m_restart; }
    BOOL DeletesInstaller() const { return m_deleteInstaller; }

    // The exit code, and its "Returning:" line: 0; 1 for a restart (0x80070BC2 with hresult); the error
    // code (with hresult: 0x80070667 for a refused command line, E_FAIL for anything else).
    DWORD ExitCode(BOOL hresult) const;

private:
    DWORD m_error;
    BOOL m_restart;
    BOOL m_deleteInstaller;
};
