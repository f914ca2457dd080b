#include "context/globalinfo.h"

GlobalInfo* g_pGlobalInfo = nullptr;

GlobalInfo::GlobalInfo()
    : UpdateRefCounts(FALSE), Quiet(FALSE), Log(TRUE), Uninstall(FALSE), RegServer(FALSE), NoVdd(FALSE),
      Consumer(FALSE), UpdateOnly(FALSE), DriverFound(FALSE), NoDel(FALSE), Repair(FALSE), RegAppId(TRUE),
      ForceUpdate(FALSE), RebootRequired(FALSE), KvManifest(TRUE), UseQzManifest(FALSE), NoRegQz(FALSE),
      Rollback(FALSE), CheckForOlderVersion(FALSE), HResult(FALSE), DelOnReboot(FALSE), OsVersion(0),
      Instance(nullptr), CompiledVersion(0), InstalledDriverVersion(0), InstalledTovrandVersion(0),
      NewDriverVersion(0), OwnVersion(0), AppId(kAppIdChars), MakerDir(kPathChars), TempDir(kPathChars),
      SystemDir(kPathChars), DriversDir(kPathChars), ModulePath(kPathChars), SharedDir(kPathChars),
      KvManifestsDir(kPathChars)
{
}

BOOL GlobalInfo::Init(const wchar_t* commandLine, HINSTANCE instance)
{
    (void)commandLine;
    Instance = instance;
    return TRUE;
}
