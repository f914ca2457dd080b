// The fallback from the ordinary recursive delete to the forced removal, for the three keys that use
// it. Wine does not enforce key access lists, so the ordinary delete is made to fail through the
// registry seam; on Windows a denying access list gives the same failure. These tests work on the
// test machine's real HKLM (the forced removal takes ownership through the object name "MACHINE\...",
// which no redirection reaches).
#include <gtest/gtest.h>

#include "base/registry.h"
#include "context/globalinfo.h"
#include "control/sequencer.h"
#include "harness.h"
#include "log_capture.h"
#include "scratch_registry.h"
#include "usage/uninstall.h"
#include "usage/usagecount.h"

using namespace harness;

namespace
{
const wchar_t kPellimar[] = L"SOFTWARE\\Norvatek\\Pellimar";
const wchar_t kLegacy[] = L"SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_PELLIMAR";

int Index(const std::vector<std::string>& messages, const std::string& line)
{
    for (size_t i = 0; i < messages.size(); ++i)
        if (messages[i] == line)
            return static_cast<int>(i);
    return -1;
}

class ForcedRemoval : public ::testing::Test
{
protected:
    void SetUp() override
    {
        DeleteTree(HKEY_LOCAL_MACHINE, kPellimar);
        DeleteTree(HKEY_LOCAL_MACHINE, kLegacy);
        info = new GlobalInfo();
        g_pGlobalInfo = info;
        info->DriversDir = dirs.Path().c_str();
        info->MakerDir = dirs.Path().c_str();
        info->SharedDir = dirs.Path().c_str();
        info->KvManifestsDir = dirs.Path().c_str();
    }
    void TearDown() override
    {
        registry_seam::FailRecursiveDeletes = 0;
        g_pGlobalInfo = nullptr;
        delete info;
        DeleteTree(HKEY_LOCAL_MACHINE, kPellimar);
        DeleteTree(HKEY_LOCAL_MACHINE, kLegacy);
    }
    ScratchDir dirs;
    LogCapture log;
    GlobalInfo* info = nullptr;
};
}  // namespace

TEST_F(ForcedRemoval, PellimarKeyFallsBackToRegKeyKillDepthFirst)
{
    SetDword(HKEY_LOCAL_MACHINE, std::wstring(kPellimar) + L"\\PRODUCTA\\Deeper", L"V", 1);
    SetDword(HKEY_LOCAL_MACHINE, std::wstring(kPellimar) + L"\\PRODUCTB", L"Dir1", 1);
    registry_seam::FailRecursiveDeletes = 1;
    RemovePellimarKeyTree();
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kPellimar));
    std::vector<std::string> m = log.Messages();
    int failed = Index(m, "  Failed to delete Pellimar regkey and subkeys using standard methods.");
    int top = Index(m, "  Proccessing regkey: SOFTWARE\\Norvatek\\Pellimar");
    int deep = Index(m, "  Proccessing regkey: SOFTWARE\\Norvatek\\Pellimar\\PRODUCTA\\Deeper");
    int blasted = Index(m, "    Successfully updated permissions and blasted regkey: SOFTWARE\\Norvatek\\Pellimar");
    int done = Index(m, "  Successfully deleted Pellimar regkey and subkeys using RegKeyKill.");
    ASSERT_GE(failed, 0);
    EXPECT_GT(top, failed);
    EXPECT_GT(deep, top);
    EXPECT_GT(blasted, deep);   // the top key goes last
    EXPECT_EQ(blasted + 1, done);
}

TEST_F(ForcedRemoval, StaleKeyAtInstallStartUsesTheSameFallback)
{
    SetDword(HKEY_LOCAL_MACHINE, std::wstring(kPellimar) + L"\\OLD1", L"Dir1", 1);
    SetDword(HKEY_LOCAL_MACHINE, std::wstring(kPellimar) + L"\\OLD2", L"Dir1", 1);
    registry_seam::FailRecursiveDeletes = 1;
    RemoveStalePellimarKey();   // no count at all: the subkeys are leftovers
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kPellimar));
    std::vector<std::string> m = log.Messages();
    int stale = Index(m, "  *There are no SharedDlls refcounts yet we have 2 subkeys.  Blasting Pellimar key.");
    ASSERT_GE(stale, 0);
    EXPECT_EQ(stale + 1, Index(m, "  Failed to delete Pellimar regkey and subkeys using standard methods."));
    EXPECT_GE(Index(m, "  Successfully deleted Pellimar regkey and subkeys using RegKeyKill."), 0);
}

TEST_F(ForcedRemoval, StaleKeyRuleLeavesTheKeyWhileACountRemains)
{
    SetDword(HKEY_LOCAL_MACHINE, std::wstring(kPellimar) + L"\\PRODUCTA", L"Dir1", 1);
    std::wstring main = dirs.Path() + L"\\PELLIMAR64x86.SYS";
    SetString(HKEY_LOCAL_MACHINE, kSharedDllsKey, main.c_str(), L"1");
    RemoveStalePellimarKey();
    DeleteValue(HKEY_LOCAL_MACHINE, kSharedDllsKey, main.c_str());
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, std::wstring(kPellimar) + L"\\PRODUCTA"));
    EXPECT_EQ(-1, Index(log.Messages(), "  Failed to delete Pellimar regkey and subkeys using standard methods."));
}

TEST_F(ForcedRemoval, LegacyDeviceKeyOfTheLastUninstallIsForcedAndAMissingOneIgnored)
{
    // Last user, nothing else to remove: the counts are missing, the product is registered.
    SetDword(HKEY_LOCAL_MACHINE, std::wstring(kPellimar) + L"\\PRODUCTA", L"Dir1", 1);
    SetDword(HKEY_LOCAL_MACHINE, std::wstring(kLegacy) + L"\\0000", L"V", 1);
    info->AppId = L"PRODUCTA";
    info->NoRegQz = TRUE;
    registry_seam::FailRecursiveDeletes = 1;
    UninstallPellimar();
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kLegacy));
    std::vector<std::string> m = log.Messages();
    EXPECT_GE(Index(m, "  Proccessing regkey: SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_PELLIMAR\\0000"), 0);
    EXPECT_EQ(-1, Index(m, "Failed to delete LEGACY_PELLIMAR registry key!  Last Error = 5"));

    // Missing key: no forced removal, no line.
    log.Clear();
    SetDword(HKEY_LOCAL_MACHINE, std::wstring(kPellimar) + L"\\PRODUCTA", L"Dir1", 1);
    UninstallPellimar();
    for (const std::string& line : log.Messages())
        EXPECT_EQ(std::string::npos, line.find("LEGACY_PELLIMAR")) << line;
}
