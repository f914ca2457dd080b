// RegKeyKill's life on the test machine's real HKEY_LOCAL_MACHINE (below SOFTWARE\TovrandTests):
// Initialize switches the take-ownership and restore privileges on, destroy switches them off again,
// and BlastKey works only in between.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/alloc.h"
#include "harness.h"
#include "log_capture.h"
#include "scratch_registry.h"
#include "system/regkeykill.h"

using namespace harness;

namespace
{
const wchar_t kTestsKey[] = L"SOFTWARE\\TovrandTests";

bool PrivilegeEnabled(const wchar_t* name)
{
    LUID luid;
    if (!LookupPrivilegeValueW(nullptr, name, &luid))
        return false;
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    std::vector<BYTE> buffer(8192);
    DWORD size = 0;
    bool enabled = false;
    if (GetTokenInformation(token, TokenPrivileges, buffer.data(), static_cast<DWORD>(buffer.size()), &size))
    {
        TOKEN_PRIVILEGES* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(buffer.data());
        for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
        {
            const LUID_AND_ATTRIBUTES& p = privileges->Privileges[i];
            if (p.Luid.LowPart == luid.LowPart && p.Luid.HighPart == luid.HighPart)
                enabled = (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
        }
    }
    CloseHandle(token);
    return enabled;
}

void SwitchPrivilege(const wchar_t* name, bool on)
{
    HANDLE token;
    LUID luid;
    if (!LookupPrivilegeValueW(nullptr, name, &luid) ||
        !OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
        return;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = luid;
    privileges.Privileges[0].Attributes = on ? SE_PRIVILEGE_ENABLED : 0;
    AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), nullptr, nullptr);
    CloseHandle(token);
}

class RegKeyKillLifecycle : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_base = std::wstring(kTestsKey) + L"\\RegKeyKillLifecycle" + std::to_wstring(GetCurrentProcessId());
        DeleteTree(HKEY_LOCAL_MACHINE, m_base);
        ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, m_base, L"Base", 1));
        // The admin token holds both privileges, switched off until someone switches them on.
        SwitchPrivilege(L"SeTakeOwnershipPrivilege", false);
        SwitchPrivilege(L"SeRestorePrivilege", false);
    }

    void TearDown() override
    {
        alloc_seam::FailNth = 0;
        DeleteTree(HKEY_LOCAL_MACHINE, m_base);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kTestsKey, KEY_WOW64_64KEY, 0);   // only when nothing else is left
    }

    std::vector<std::string> Log() { return m_log.Messages(); }
    void ClearLog() { m_log.Clear(); }

    LogCapture m_log;   // the log of this process goes to a scratch directory
    std::wstring m_base;
};

TEST_F(RegKeyKillLifecycle, BlastKeyBeforeInitializeTouchesNothing)
{
    std::wstring key = m_base + L"\\Leaf";
    ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, key, L"Value", 1));
    {
        RegKeyKill kill;
        SetLastError(ERROR_ACCESS_DENIED);
        EXPECT_FALSE(kill.BlastKey(TRUE, HKEY_LOCAL_MACHINE, key.c_str()));
        EXPECT_EQ(0u, GetLastError());
        EXPECT_EQ(std::vector<std::string>{"  RegKeyKill::BlastKey was called without calling Initialize() first."},
                  Log());
        ClearLog();
    }
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, key));
    // Destroying an object that never had a token still tries to switch both privileges off, and the
    // lines say why it could not.
    EXPECT_EQ((std::vector<std::string>{"  Failed to AdjustTokenPrivileges. GetLastError(6)",
                                        "  Could not unset SeRestorePrivilege privilege.",
                                        "  Failed to AdjustTokenPrivileges. GetLastError(6)",
                                        "  Could not unset SeTakeOwnershipPrivilege privilege."}),
              Log());
}

TEST_F(RegKeyKillLifecycle, EmptyOrMissingPathIsRefused)
{
    const wchar_t* paths[] = {L"", nullptr};
    for (const wchar_t* path : paths)
    {
        SCOPED_TRACE(path == nullptr ? "null" : "empty");
        RegKeyKill kill;
        ASSERT_TRUE(kill.Initialize());
        SetLastError(ERROR_ACCESS_DENIED);
        EXPECT_FALSE(kill.BlastKey(TRUE, HKEY_LOCAL_MACHINE, path));
        EXPECT_EQ(0u, GetLastError());
        EXPECT_EQ(std::vector<std::string>{"  GiveSelfFullPermissionToRegKey was called with empty szKey"}, Log());
        ClearLog();
    }
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, m_base));
}

TEST_F(RegKeyKillLifecycle, PrivilegesAreOnFromInitializeUntilDestroy)
{
    ASSERT_FALSE(PrivilegeEnabled(L"SeTakeOwnershipPrivilege"));
    ASSERT_FALSE(PrivilegeEnabled(L"SeRestorePrivilege"));
    {
        RegKeyKill kill;
        EXPECT_FALSE(PrivilegeEnabled(L"SeTakeOwnershipPrivilege"));
        ASSERT_TRUE(kill.Initialize());
        EXPECT_TRUE(PrivilegeEnabled(L"SeTakeOwnershipPrivilege"));
        EXPECT_TRUE(PrivilegeEnabled(L"SeRestorePrivilege"));
    }
    EXPECT_FALSE(PrivilegeEnabled(L"SeTakeOwnershipPrivilege"));
    EXPECT_FALSE(PrivilegeEnabled(L"SeRestorePrivilege"));
    EXPECT_TRUE(Log().empty());
}

TEST_F(RegKeyKillLifecycle, FailedAllocationEndsInitialize)
{
    struct Row
    {
        int failNth;
        const char* line;
        bool privilegesOn;
    };
    const Row rows[] = {
        {1, "  Failed to allocate memory for m_ptiUser.", false},
        {2, "  Failed to allocate memory for m_pDACL.", true},
    };
    std::wstring key = m_base + L"\\Leaf";
    ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, key, L"Value", 1));
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.line);
        {
            RegKeyKill kill;
            alloc_seam::FailNth = row.failNth;
            EXPECT_FALSE(kill.Initialize());
            alloc_seam::FailNth = 0;
            EXPECT_EQ(row.privilegesOn, PrivilegeEnabled(L"SeTakeOwnershipPrivilege"));
            EXPECT_FALSE(kill.BlastKey(TRUE, HKEY_LOCAL_MACHINE, key.c_str()));
            EXPECT_EQ((std::vector<std::string>{row.line,
                                                "  RegKeyKill::BlastKey was called without calling Initialize() first."}),
                      Log());
        }
        // The token was open, so destroy switches both off quietly.
        EXPECT_FALSE(PrivilegeEnabled(L"SeTakeOwnershipPrivilege"));
        EXPECT_EQ(2u, Log().size());
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, key));
        ClearLog();
    }
}
}  // namespace
