// The one context of an installer run: switches, mode, directories, versions and the run's outcome.
#pragma once
#include <windows.h>

#include "base/files.h"
#include "base/wstring.h"
#include "context/layout.h"
#include "context/outcome.h"

const int kAppIdChars = 48;   // 47 characters and the terminator

class GlobalInfo
{
public:
    GlobalInfo();
    ~GlobalInfo() = default;

    // Start-up: parse the command line, write the banner, refuse unsupported systems, determine and
    // create the directories. FALSE when the run cannot go on; Outcome says whether that is an error.
    BOOL Init(const wchar_t* commandLine, HINSTANCE instance);

    BOOL UpdateRefCounts;
    BOOL Quiet;
    BOOL Log;
    BOOL Uninstall;
    BOOL Consumer;
    BOOL UpdateOnly;
    BOOL DriverFound;
    BOOL NoDel;
    BOOL RegAppId;
    BOOL ForceUpdate;
    BOOL KvManifest;
    BOOL UseQzManifest;
    BOOL NoRegQz;
    BOOL HResult;
    BOOL DelOnReboot;
    // Another run held the lock beyond the wait (or the lock could not be had): that run may be at work
    // right now, and what it uses is left alone.
    BOOL OtherRunActive;
    CRunOutcome Outcome;
    DWORD OsVersion;
    HINSTANCE Instance;
    ULONGLONG InstalledDriverVersion;
    ULONGLONG InstalledTovrandVersion;
    // A replacement of ours waits for the restart: the installed version above is its own.
    BOOL DriverReplacementPending;
    BOOL InstallerReplacementPending;
    ULONGLONG NewDriverVersion;
    ULONGLONG OwnVersion;
    CWString AppId;
    CWString MakerDir;
    CWString TempDir;
    CWString SystemDir;
    CWString DriversDir;
    CWString ModulePath;
    CWString SharedDir;
    CWString KvManifestsDir;
    // Where everything of ours lies on this machine. The folders above are the ones the run can use: one
    // that cannot be created is emptied there, and stays named here.
    InstallLayout Layout;

private:
    GlobalInfo(const GlobalInfo&) = delete;
    GlobalInfo& operator=(const GlobalInfo&) = delete;
};

// The context of the running process, or null before set-up and after the end of the run.
extern GlobalInfo* g_pGlobalInfo;
