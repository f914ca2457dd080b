#include <gtest/gtest.h>

#include <string>

#include "base/alloc.h"
#include "usage/regcheck.h"
#include "usage_fixture.h"

using namespace harness;

class RegistrationCheck : public UsageTest
{
};

TEST_F(RegistrationCheck, DecisionTable)
{
    struct Case { BOOL uninstall; BOOL regAppId; bool known; bool registered; BOOL update; const char* line; };
    const Case cases[] = {
        {FALSE, TRUE, false, true, FALSE, "  Installing with unknown AppID but already registered with Tovrand.  Not Updating RefCounts."},
        {FALSE, TRUE, false, false, TRUE, "  Installing with unknown AppID and not yet registered with Tovrand.  Updating RefCounts."},
        {FALSE, TRUE, true, true, FALSE, "  Installing with known AppID / Product ID already registered with Tovrand.  Not Updating Refcounts."},
        {FALSE, TRUE, true, false, TRUE, "  Installing with known AppID / Product ID not yet registered with Tovrand.  Updating Refcounts."},
        {TRUE, TRUE, false, true, FALSE, "  Uninstalling with unknown AppID.  Not updating RefCounts (Use /NOREGAPPID)."},
        {TRUE, TRUE, false, false, FALSE, "  Uninstalling with unknown AppID.  Not updating RefCounts (Use /NOREGAPPID)."},
        {TRUE, TRUE, true, false, FALSE, "  *Somehow this product has a valid AppID (or /NOREGAPPID) yet isn't registered with Tovrand (during uninstall). Bailing."},
        {TRUE, TRUE, true, true, TRUE, "  Uninstalling with known AppID (or /NOREGAPPID).  Updating Refcounts."},
        // NOREGAPPID: an unknown product counts as known on uninstall only.
        {TRUE, FALSE, false, true, TRUE, "  Uninstalling with known AppID (or /NOREGAPPID).  Updating Refcounts."},
        {FALSE, FALSE, false, false, TRUE, "  Installing with unknown AppID and not yet registered with Tovrand.  Updating RefCounts."},
    };
    for (const Case& c : cases)
    {
        DeleteTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Norvatek");
        if (c.known)
            SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Norvatek\\InstalledApps", L"PRODUCTA", 1);
        if (c.registered)
            SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Norvatek\\Pellimar\\PRODUCTA", L"Dir1", 1);
        info->AppId = L"PRODUCTA";
        info->Uninstall = c.uninstall;
        info->RegAppId = c.regAppId;
        info->UpdateRefCounts = 2;
        EXPECT_TRUE(CheckUsageCountUpdates()) << c.line;
        EXPECT_EQ(c.update, info->UpdateRefCounts) << c.line;
        EXPECT_EQ(c.line, log.Messages().back());
    }
}

TEST_F(RegistrationCheck, EmptyProductOversizedListingAndAllocationFailure)
{
    info->AppId = L"";
    info->UpdateRefCounts = TRUE;
    EXPECT_TRUE(CheckUsageCountUpdates());
    EXPECT_FALSE(info->UpdateRefCounts);
    EXPECT_EQ("  Product ID not set.  Not updating RefCounts.", log.Messages().back());

    // A listing of more than 289 bytes cannot be read into the buffer and counts as missing.
    info->AppId = L"PRODUCTA";
    std::wstring big(145, L'x');
    SetString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Norvatek\\InstalledApps", L"PRODUCTA", big);
    EXPECT_TRUE(CheckUsageCountUpdates());
    EXPECT_EQ("  Installing with unknown AppID and not yet registered with Tovrand.  Updating RefCounts.",
              log.Messages().back());

    info->UpdateRefCounts = 2;
    alloc_seam::FailNth = 1;
    EXPECT_FALSE(CheckUsageCountUpdates());
    EXPECT_EQ(2, info->UpdateRefCounts);
    EXPECT_EQ("  CheckUsageCountUpdates: Failed to allocate memory for RegistryEntry.", log.Messages().back());
}
