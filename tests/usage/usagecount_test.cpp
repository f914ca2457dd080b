// The decimal reading of a count string, as other programs may have left it, and an uninstall whose
// product registration cannot be removed.
#include <gtest/gtest.h>

#include <algorithm>

#include "base/registry.h"
#include "context/globalinfo.h"
#include "unit.h"
#include "usage/uninstall.h"
#include "usage/usagecount.h"

using namespace harness;

TEST(CountText, ReadsLikeAnUnsignedDecimal)
{
    struct Row { const wchar_t* text; DWORD count; };
    const Row rows[] = {
        {L"7", 7}, {L"  12abc", 12}, {L"\t 42", 42}, {L"007", 7}, {L"+5", 5}, {L"abc", 0}, {L"", 0},
        {L"-1", kNoCount}, {L"-2", 0xFFFFFFFE}, {L"4294967294", 4294967294u}, {L"4294967295", kNoCount},
        {L"4294967296", kNoCount}, {L"99999999999", kNoCount},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.count, ParseCountText(r.text)) << r.text;
}

// Windows refuses to delete a key whose access list denies it; Wine deletes it all the same, so the
// refusal comes from the registry seam. The registration goes last, with the change that released the
// product's use recorded in it: a registration that cannot be removed fails the run, and the same command
// finishes the job later without lowering the count a second time.
TEST(Uninstall, ARegistrationThatCannotBeRemovedIsRemovedByTheSameCommandLater)
{
    ScratchRegistry hklm;
    TempLog log;
    const std::wstring product = std::wstring(::kPellimarKey) + L"\\PRODUCTA";
    const std::wstring count = L"C:\\Win\\Drivers\\PELLIMAR64x86.SYS";
    WriteRaw(kSharedDlls, count.c_str(), Sz(L"2"));
    WriteRaw(product, L"Dir1", Dword(1));
    WriteRaw(std::wstring(::kPellimarKey) + L"\\PRODUCTB", L"Dir1", Dword(1));
    for (bool refused : {true, false})
    {
        GlobalInfo info;
        ComputeLayout(L"C:\\PF", L"C:\\CF", L"C:\\Win", &info.Layout);
        info.AppId = L"PRODUCTA";
        g_pGlobalInfo = &info;
        registry_seam::FailRecursiveDeletes = refused ? 1 : 0;
        UninstallPellimar();
        g_pGlobalInfo = nullptr;
        registry_seam::FailRecursiveDeletes = 0;
        EXPECT_EQ(refused, info.Outcome.Failed() != FALSE);
        EXPECT_EQ("1", Narrow(GetString(kSharedDlls, count.c_str())));
        EXPECT_EQ(refused, KeyExists(product));
        EXPECT_EQ(refused, ReadRaw(product, L"CountChange").exists);
    }
    std::vector<std::string> lines = log.Take();
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(),
                                     "  Error - Cannot remove the registration of PRODUCTA (5), the same command "
                                     "finishes the uninstall."));
}
