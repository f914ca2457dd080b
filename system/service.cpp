#include "system/service.h"

#include "base/handle.h"
#include "base/log.h"
#include "context/layout.h"
#include "base/registry.h"

namespace
{
const wchar_t kNativePrefix[] = L"\\??\\";

// The native-form image path lives in a 261-character buffer: "\??\" plus at most 256 characters
// plus the terminator.
const int kNativePathChars = 261;
const int kMaxImagePathChars = kNativePathChars - 4 - 1;
const DWORD kLockStatusBytes = 1024;
}  // namespace

CPellimarSCM::CPellimarSCM() : m_scm(nullptr)
{
}

CPellimarSCM::~CPellimarSCM()
{
    // A handle that will not close is kept; there is nothing else to do with the error here.
    if (m_scm != nullptr && CloseServiceHandle(m_scm))
        m_scm = nullptr;
}

DWORD CPellimarSCM::Connect()
{
    if (m_scm != nullptr)
        return ERROR_SUCCESS;
    m_scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    return m_scm != nullptr ? ERROR_SUCCESS : GetLastError();
}

void CPellimarSCM::Disconnect()
{
    if (m_scm != nullptr && CloseServiceHandle(m_scm))
        m_scm = nullptr;
}

// The database lock is only reported: another program holding it never stops the operation.
void CPellimarSCM::ReportLock(const char* failedFormat, const char* lockedFormat)
{
    union
    {
        QUERY_SERVICE_LOCK_STATUSW status;
        BYTE bytes[kLockStatusBytes];
    } buffer;
    DWORD needed = 0;
    // Wine's QueryServiceLockStatusW is a stub that fails without touching the last error, which
    // would then report whatever an earlier call left behind. A failure that sets no code is
    // reported as "not implemented".
    SetLastError(ERROR_SUCCESS);
    if (!QueryServiceLockStatusW(m_scm, &buffer.status, kLockStatusBytes, &needed))
    {
        DWORD error = GetLastError();
        LogEvent(failedFormat, error != ERROR_SUCCESS ? error : static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
        return;
    }
    if (buffer.status.fIsLocked)
        LogEvent(lockedFormat, buffer.status.lpLockOwner != nullptr ? buffer.status.lpLockOwner : L"",
                 buffer.status.dwLockDuration);
}

DWORD CPellimarSCM::ConnectAndOpen(CScopedService& service)
{
    DWORD error = Connect();
    if (error != ERROR_SUCCESS)
        return error;
    service.Reset(OpenServiceW(m_scm, kServiceName, SERVICE_ALL_ACCESS));
    return service.IsValid() ? ERROR_SUCCESS : GetLastError();
}

DWORD CPellimarSCM::ServiceExists()
{
    CScopedService service;
    DWORD error = ConnectAndOpen(service);
    service.Reset();
    Disconnect();
    return error;
}

DWORD CPellimarSCM::InstallService(const wchar_t* imagePath)
{
    LogEvent("    InstallService, opening SCM");
    DWORD error = Connect();
    // Asked also without a connection: the failed query then shows up in the log before the
    // connection error is returned.
    ReportLock("    InstallService, QueryServicceLockStatus returned %u",
               "    InstallService, Warning - SCM database locked by %s, for %u seconds");
    if (error != ERROR_SUCCESS)
        return error;

    LogEvent("    InstallService, creating service");
    CScopedService service(CreateServiceW(m_scm, kServiceName, nullptr, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                          SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, imagePath, nullptr, nullptr,
                                          nullptr, nullptr, nullptr));
    if (service.IsValid())
    {
        LogEvent("    InstallService, closing service");
        service.Reset();
    }
    else
    {
        error = GetLastError();
    }

    LogEvent("    InstallService, closing SCM");
    Disconnect();
    return error;
}

DWORD CPellimarSCM::ConfigureService(const wchar_t* imagePath)
{
    LogEvent("    ConfigureService, opening SCM");
    DWORD error = Connect();
    if (error != ERROR_SUCCESS)
        return error;
    ReportLock("    ConfigureService, QueryServiceLockStatus returned %u",
               "    ConfigureService, Warning - SCM database locked by %s, for %u seconds");

    LogEvent("    ConfigureService, opening service");
    CScopedService service(OpenServiceW(m_scm, kServiceName, SERVICE_ALL_ACCESS));
    if (!service.IsValid())
    {
        error = GetLastError();
    }
    else
    {
        LogEvent("    ConfigureService, configuring service");
        if (!ChangeServiceConfigW(service.Get(), SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                  imagePath, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
            error = GetLastError();
        LogEvent("    ConfigureService, closing service");
        service.Reset();

        // A service deleted while its driver was loaded stays marked until the restart and the SCM
        // refuses every change; at the restart its key would go. Writing the values directly and
        // dropping the mark keeps the service, with the new settings, across that restart.
        if (error == ERROR_SERVICE_MARKED_FOR_DELETE)
            RepairMarkedService(imagePath);
    }

    LogEvent("    ConfigureService, closing SCM");
    Disconnect();
    return error;
}

void CPellimarSCM::RepairMarkedService(const wchar_t* imagePath)
{
    LogEvent("    %s:service is marked for deletion.  Manually setting regkeys and unmarking it from deletion.",
             kServiceName);

    // Nothing is written when the new path cannot be stored whole: a truncated ImagePath would name
    // a file that does not exist, and dropping the mark without the new path would keep a service
    // that points at whatever the old one named. The service then goes at the restart as the SCM
    // intended, and the next install creates it afresh.
    int length = imagePath != nullptr ? lstrlenW(imagePath) : 0;
    if (imagePath == nullptr || length > kMaxImagePathChars)
    {
        LogEvent("    %s:Image path missing or longer than %d characters.  Left marked for deletion.", kServiceName,
                 kMaxImagePathChars);
        return;
    }

    // The results of these writes are not looked at: the caller asks for a restart either way.
    CRegistryEntry entry(HKEY_LOCAL_MACHINE, kServiceKey, L"DeleteFlag");
    entry.DeleteValue();
    DWORD start = SERVICE_DEMAND_START;
    entry.Reset(HKEY_LOCAL_MACHINE, kServiceKey, L"Start");
    entry.SetValue(REG_DWORD, &start, sizeof(start));
    LogEvent("    %s:%s %d", kServiceName, L"Removed DeleteFlag and set Start to", static_cast<int>(start));

    DWORD errorControl = SERVICE_ERROR_NORMAL;
    entry.Reset(HKEY_LOCAL_MACHINE, kServiceKey, L"ErrorControl");
    entry.SetValue(REG_DWORD, &errorControl, sizeof(errorControl));
    DWORD type = SERVICE_KERNEL_DRIVER;
    entry.Reset(HKEY_LOCAL_MACHINE, kServiceKey, L"Type");
    entry.SetValue(REG_DWORD, &type, sizeof(type));

    wchar_t nativePath[kNativePathChars];
    lstrcpyW(nativePath, kNativePrefix);
    lstrcatW(nativePath, imagePath);
    entry.Reset(HKEY_LOCAL_MACHINE, kServiceKey, L"ImagePath");
    entry.SetValue(REG_SZ, nativePath, static_cast<DWORD>(sizeof(wchar_t) * (lstrlenW(nativePath) + 1)));
    LogEvent("    %s:%s", kServiceName, L"Manually set ErrorControl, Type, and ImagePath values.");
}

DWORD CPellimarSCM::RemoveService(BOOL* remains)
{
    *remains = FALSE;
    CScopedService service;
    DWORD error = ConnectAndOpen(service);
    if (error == ERROR_SUCCESS)
    {
        // Marks the service; the SCM removes it once the last handle is closed and the driver is
        // unloaded, at the latest at the restart.
        if (!DeleteService(service.Get()))
            error = GetLastError();
        service.Reset();
        // Still to be opened once this handle is closed: somebody else holds it, or the driver is loaded.
        service.Reset(OpenServiceW(m_scm, kServiceName, SERVICE_QUERY_STATUS));
        *remains = service.IsValid() || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
        service.Reset();
    }
    *remains = *remains || error == ERROR_SERVICE_MARKED_FOR_DELETE;
    Disconnect();
    return error;
}
