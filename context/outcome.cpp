#include "context/outcome.h"

#include "base/log.h"

DWORD CRunOutcome::ExitCode(BOOL hresult) const
{
    if (m_error == 0 && !m_restart)
    {
        LogEvent("Returning: 0 - Success, no reboot required.");
        return 0;
    }
    if (m_error == 0)
    {
        if (hresult)
        {
            DWORD code = HRESULT_FROM_WIN32(ERROR_SUCCESS_REBOOT_REQUIRED);
            LogEvent("Returning: HRESULT_FROM_WIN32(ERROR_SUCCESS_REBOOT_REQUIRED) (0x%X)", code);
            return code;
        }
        LogEvent("Returning: RETURN_REBOOT_REQUIRED (0x%X)", 1);
        return 1;
    }
    if (hresult && m_error == ERROR_INVALID_COMMAND_LINE)
    {
        DWORD code = HRESULT_FROM_WIN32(ERROR_INVALID_COMMAND_LINE);
        LogEvent("Returning: HRESULT_FROM_WIN32(ERROR_INVALID_COMMAND_LINE) (0x%X)", code);
        return code;
    }
    if (hresult)
    {
        DWORD code = static_cast<DWORD>(E_FAIL);
        LogEvent("Returning: E_FAIL (0x%X)", code);
        return code;
    }
    LogEvent("Returning: Error (0x%X)", m_error);
    return m_error;
}
