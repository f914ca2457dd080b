#include "context/globalinfo.h"

#include "base/access.h"
#include "base/alloc.h"
#include "base/log.h"
#include "base/registry.h"
#include "context/cmdline.h"
#include "context/locations.h"
#include "context/platform.h"
#include "context/version.h"
#include "base/buildversion.h"

GlobalInfo* g_pGlobalInfo = nullptr;

GlobalInfo::GlobalInfo()
    : UpdateRefCounts(FALSE), Quiet(FALSE), Log(TRUE), Uninstall(FALSE), Consumer(FALSE), UpdateOnly(FALSE),
      DriverFound(FALSE), NoDel(FALSE), RegAppId(TRUE), ForceUpdate(FALSE), KvManifest(TRUE), UseQzManifest(FALSE),
      NoRegQz(FALSE), HResult(FALSE), DelOnReboot(FALSE), OtherRunActive(FALSE), OsVersion(0), Instance(nullptr),
      InstalledDriverVersion(0), InstalledTovrandVersion(0), DriverReplacementPending(FALSE),
      InstallerReplacementPending(FALSE), NewDriverVersion(0), OwnVersion(0), AppId(kAppIdChars),
      MakerDir(kPathChars), TempDir(kPathChars), SystemDir(kPathChars), DriversDir(kPathChars),
      ModulePath(kPathChars), SharedDir(kPathChars), KvManifestsDir(kPathChars), Layout()
{
}

namespace
{

void WriteBanner(const GlobalInfo& info, const SYSTEMTIME& now)
{
    ULONGLONG v = kBuildVersion;
    LogEvent("Norvatek Pellimar Installer (Tovrand)");
    LogEvent("64-bit Installer");
    LogEvent("Launched from: %s", info.ModulePath.Str());
    LogEvent("Compiled Version %d.%d.%d.%d", VersionPart(v, 0), VersionPart(v, 1), VersionPart(v, 2),
             VersionPart(v, 3));
    LogEvent("Logging Events Beginning %02d/%02d/%02d at %02d:%02d", now.wMonth, now.wDay, now.wYear, now.wHour,
             now.wMinute);
    LogEvent("Operating System Detected -> %s", OsVersionName(info.OsVersion));
    OSVERSIONINFOW os = {};
    os.dwOSVersionInfoSize = sizeof(os);
    if (GetVersionExW(&os))
    {
        LogEvent("  Additional Info: dwOSVersionInfoSize is 0x%08X", os.dwOSVersionInfoSize);
        LogEvent("  Additional Info: dwMajorVersion      is 0x%08X", os.dwMajorVersion);
        LogEvent("  Additional Info: dwMinorVersion      is 0x%08X", os.dwMinorVersion);
        LogEvent("  Additional Info: dwBuildNumber       is 0x%08X", os.dwBuildNumber);
        LogEvent("  Additional Info: dwPlatformId        is 0x%08X", os.dwPlatformId);
        LogEvent("  Additional Info: szCSDVersion        is %s", os.szCSDVersion);
    }
    else
    {
        LogEvent("  Additional Info: GetVersionEx() returned error %u", GetLastError());
    }
    LogEvent("----------------------------------------------------");
}
}  // namespace

BOOL GlobalInfo::Init(const wchar_t* commandLine, HINSTANCE instance)
{
    Instance = instance;
    DetectOsVersion(this);
    if (!ParseCmdLine(this, commandLine))
    {
        Outcome.Fail(ERROR_INVALID_COMMAND_LINE);
        return FALSE;
    }

    GetSystemDirectoryW(SystemDir.Buffer(), kPathChars - 1);
    GetModuleFileNameW(Instance, ModulePath.Buffer(), kPathChars - 1);

    SYSTEMTIME now;
    GetLocalTime(&now);
    if (Log)
        WriteBanner(*this, now);

    if (!IsOSSupported(this))
    {
        LogEvent("Unsupported Operating System.");
        return FALSE;
    }
    LogEvent("CommandLine=%s", commandLine);

    CWString programFiles(kPathChars);
    if (ReadSystemFolder(kProgramFilesValue, TRUE, programFiles) == ERROR_SUCCESS)
        LogEvent("Norvatek dir found using ProgramFilesDir: %s", programFiles.Str());
    else
        LogEvent("Cannot determine ProgramFilesDir location, using %s", programFiles.Str());
    CWString commonFiles(kPathChars);
    if (ReadSystemFolder(kCommonFilesValue, TRUE, commonFiles) == ERROR_SUCCESS)
        LogEvent("Common Files dir location found using CommonFilesDir: %s", commonFiles.Str());
    else
        LogEvent("Cannot determine CommonFilesDir location, using %s", commonFiles.Str());

    ComputeLayout(programFiles.Str(), commonFiles.Str(), SystemDir.Str(), &Layout);
    MakerDir = Layout.makerDir;
    TempDir = Layout.payloadDir;
    DriversDir = Layout.driversDir;
    SharedDir = Layout.sharedDir;
    KvManifestsDir = Layout.manifestsDir;
    // A folder made before this run (by another program of the maker's, or by hand) is used only once no
    // one but administrators can change it: the run writes there what it will start and install.
    const CWString* existing[] = {&MakerDir, &TempDir, &SharedDir, &KvManifestsDir};
    for (const CWString* folder : existing)
    {
        if (!SecureExistingFolder(folder->Str()))
        {
            Outcome.Fail(ERROR_INSTALL_FAILURE);
            return FALSE;
        }
    }
    if (!IsExistingDirectory(MakerDir.Str()) && !CreateAdminFolder(MakerDir.Str()))
    {
        LogEvent("Cannot create Norvatek directory");
        MakerDir = L"";
    }

    // Without the maker's directory an install or update has nowhere to write the payload and ends at
    // its first step: none of its directories is made either, so that the failed run leaves nothing.
    BOOL mayCreate = !Uninstall && !MakerDir.IsEmpty();
    PrepareKvManifestsDir(this, KvManifest && mayCreate);
    if (!Uninstall)
        DetermineSharedDir(this, mayCreate);
    return TRUE;
}
