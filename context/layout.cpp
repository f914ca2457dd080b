#include "context/layout.h"

const wchar_t kDriverSysName[] = L"PELLIMAR64x86.SYS";
const wchar_t kDriverInfName[] = L"PELLIMAR64x86.INF";
const wchar_t kDriverCatName[] = L"PELLIMAR64x86.CAT";
const wchar_t kManifestKvmName[] = L"PELLMAR.KVM";
const wchar_t kManifestGrdName[] = L"PELLMAR.GRD";
const wchar_t kManifestSigName[] = L"PELLMAR.SIG";
const wchar_t kInstallerFileName[] = L"TOVRAND64x86.EXE";
const wchar_t kRegistrationProgramName[] = L"PLQZREG32.EXE";
const wchar_t kPayloadResourceType[] = L"BINARYRC";

const wchar_t kMakerDirName[] = L"Norvatek";
const wchar_t kPayloadDirName[] = L"TEMP.^^^";
const wchar_t kSharedDirName[] = L"Norvatek Shared";
const wchar_t kManifestsDirName[] = L"KVManifests";
const wchar_t kDriversDirName[] = L"Drivers";

const wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const wchar_t kSharedDllsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\SharedDlls";
const wchar_t kSharedUsageKey[] = L"Software\\Norvatek\\SharedUsage";
const wchar_t kPellimarKey[] = L"SOFTWARE\\Norvatek\\Pellimar";
const wchar_t kInstalledAppsKey[] = L"SOFTWARE\\Norvatek\\InstalledApps";
const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tovrand";
const wchar_t kUninstallValue[] = L"QuietUninstallString";

const wchar_t kRunningMutexName[] = L"Global\\Pellimar_running";

const wchar_t kDeepestBelowProgramFiles[] = L"\\Norvatek\\TEMP.^^^\\PELLIMAR64x86.SYS";
const wchar_t kDeepestBelowCommonFiles[] = L"\\Norvatek Shared\\KVManifests\\PELLMAR.KVM";
const wchar_t kUsualCommonFiles[] = L"\\Program Files\\Common Files";
const wchar_t kUsualProgramFiles[] = L"\\Program Files";
