// The driver's kernel-driver service "Pellimar" in the platform's service control manager: does it
// exist, create it, bring its configuration up to date, delete it. Results are Win32 codes (0 =
// success). Each operation opens its own SCM connection and closes it before it returns.
#pragma once
#include <windows.h>

#include "base/handle.h"

class CPellimarSCM
{
public:
    CPellimarSCM();
    ~CPellimarSCM();

    DWORD ServiceExists();
    DWORD InstallService(const wchar_t* imagePath);
    // 1072 (ERROR_SERVICE_MARKED_FOR_DELETE) when the service is marked for deletion, also after its
    // key was repaired, so that the caller asks for a restart.
    DWORD ConfigureService(const wchar_t* imagePath);
    // Deletes the service. *remains tells whether it is still there afterwards, marked for deletion
    // until its last handle closes and its driver unloads (at the latest at the restart).
    DWORD RemoveService(BOOL* remains);

private:
    CPellimarSCM(const CPellimarSCM&) = delete;
    CPellimarSCM& operator=(const CPellimarSCM&) = delete;

    DWORD Connect();
    // Connect, then open the service: 0, or the error of the step that failed. Disconnect() after it
    // in every case (it does nothing when the connection failed).
    DWORD ConnectAndOpen(CScopedService& service);
    void Disconnect();
    void ReportLock(const char* failedFormat, const char* lockedFormat);
    void RepairMarkedService(const wchar_t* imagePath);

    SC_HANDLE m_scm;
};
