// The one context of an installer run: switches, mode, directories, versions, outcome flags.
#pragma once
#include <windows.h>

#include "base/wstring.h"

class GlobalInfo
{
public:
    GlobalInfo();
    ~GlobalInfo() = default;

    // Start-up: parse the command line, write the banner, refuse unsupported systems, determine and
    // create the directories, write the payload out and read the versions.
    BOOL Init(const wchar_t* commandLine, HINSTANCE instance);

    BOOL UpdateRefCounts;
    BOOL Quiet;
    BOOL Log;
    BOOL Uninstall;
    BOOL RegServer;
    BOOL NoVdd;
    BOOL Consumer;
    BOOL UpdateOnly;
    BOOL DriverFound;
    BOOL NoDel;
    BOOL Repair;
    BOOL RegAppId;
    BOOL ForceUpdate;
    BOOL RebootRequired;
    BOOL KvManifest;
    BOOL UseQzManifest;
    BOOL NoRegQz;
    BOOL Rollback;
    BOOL CheckForOlderVersion;
    BOOL HResult;
    BOOL DelOnReboot;
    // A step that could not do its part (a file not put in place, a count not written) sets the
    // run's error result here; it wins over a restart request at the end of the sequence.
    DWORD RunError;
    DWORD OsVersion;
    HINSTANCE Instance;
    ULONGLONG CompiledVersion;
    ULONGLONG InstalledDriverVersion;
    ULONGLONG InstalledTovrandVersion;
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

private:
    GlobalInfo(const GlobalInfo&) = delete;
    GlobalInfo& operator=(const GlobalInfo&) = delete;
};

// The context of the running process, or null before set-up and after the end of the run.
extern GlobalInfo* g_pGlobalInfo;

const int kAppIdChars = 48;   // 47 characters and the terminator
const int kPathChars = 260;
