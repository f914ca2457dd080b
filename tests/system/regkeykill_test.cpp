// Forced key removal on the test machine's real HKEY_LOCAL_MACHINE (the security-object names
// "MACHINE\..." do not follow a redirected root), below SOFTWARE\TovrandTests. Wine does not enforce
// access lists on keys, so a key that refuses an ordinary delete cannot be made here. These tests
// cover the walk, its log and its failures (Initialize and destroy: regkeykill_lifecycle_test.cpp).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "log_capture.h"
#include "scratch_registry.h"
#include "system/regkeykill.h"

using namespace harness;

namespace
{
const wchar_t kTestsKey[] = L"SOFTWARE\\TovrandTests";

struct Node
{
    std::wstring name;
    std::vector<Node> children;   // in the registry's (alphabetical) order
};

void CreateTree(const std::wstring& path, const Node& node)
{
    ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, path, L"Value", 1)) << Narrow(path);
    for (const Node& child : node.children)
        CreateTree(path + L"\\" + child.name, child);
}

// The lines of a successful walk: each key announced with its full path, its children depth first,
// the key itself deleted last.
void ExpectedWalk(const std::wstring& path, const Node& node, std::vector<std::string>* lines)
{
    lines->push_back("  Proccessing regkey: " + Narrow(path));
    lines->push_back("    Literal Key: MACHINE\\" + Narrow(path));
    for (const Node& child : node.children)
        ExpectedWalk(path + L"\\" + child.name, child, lines);
    lines->push_back("    Successfully updated permissions and blasted regkey: " + Narrow(path));
}

// The enumeration seam: every real answer is preceded by a run of failures.
int g_failuresBeforeEachAnswer = 0;
int g_pendingFailures = 0;
int g_enumCalls = 0;

LONG WINAPI FlakyEnumKey(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars, LPDWORD reserved, LPWSTR className,
                         LPDWORD classChars, PFILETIME written)
{
    ++g_enumCalls;
    if (g_pendingFailures > 0)
    {
        --g_pendingFailures;
        return ERROR_KEY_DELETED;   // what a key deleted under an open handle answers
    }
    g_pendingFailures = g_failuresBeforeEachAnswer;
    return RegEnumKeyExW(key, index, name, nameChars, reserved, className, classChars, written);
}

class RegKeyKillTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_base = std::wstring(kTestsKey) + L"\\RegKeyKill" + std::to_wstring(GetCurrentProcessId());
        DeleteTree(HKEY_LOCAL_MACHINE, m_base);
        ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, m_base, L"Base", 1));
    }

    void TearDown() override
    {
        regkeykill_seam::EnumKey = ::RegEnumKeyExW;
        DeleteTree(HKEY_LOCAL_MACHINE, m_base);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kTestsKey, KEY_WOW64_64KEY, 0);   // only when nothing else is left
    }

    std::vector<std::string> Log() { return m_log.Messages(); }
    void ClearLog() { m_log.Clear(); }

    // A key path below the base of exactly the given length.
    std::wstring PathOfLength(const std::wstring& parent, int length, wchar_t fill)
    {
        std::wstring path = parent + L"\\";
        path.append(length - path.size(), fill);
        return path;
    }

    LogCapture m_log;   // the log of this process goes to a scratch directory
    std::wstring m_base;
};

TEST_F(RegKeyKillTest, TreesAreDeletedDepthFirstWithTheTopKeyLast)
{
    const Node trees[] = {
        {L"Leaf", {}},
        {L"Top",
         {{L"A", {{L"A1", {}}, {L"A2", {}}}}, {L"B", {{L"B1", {{L"B1a", {}}, {L"B1b", {}}}}}}, {L"C", {}}}},
    };
    for (const Node& tree : trees)
    {
        SCOPED_TRACE(Narrow(tree.name));
        std::wstring top = m_base + L"\\" + tree.name;
        CreateTree(top, tree);
        ASSERT_FALSE(HasFatalFailure());
        {
            RegKeyKill kill;
            ASSERT_TRUE(kill.Initialize());
            SetLastError(ERROR_ACCESS_DENIED);
            EXPECT_TRUE(kill.BlastKey(TRUE, HKEY_LOCAL_MACHINE, top.c_str()));
            EXPECT_EQ(0u, GetLastError());
        }
        std::vector<std::string> expected;
        ExpectedWalk(top, tree, &expected);
        // Destroy switched the privileges off without a word.
        EXPECT_EQ(expected, Log());
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, top));
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, m_base));
        ClearLog();
    }
}

TEST_F(RegKeyKillTest, MissingKeyFailsTakingOwnershipWithThePlatformCode)
{
    std::wstring key = m_base + L"\\Missing";
    RegKeyKill kill;
    ASSERT_TRUE(kill.Initialize());
    EXPECT_FALSE(kill.BlastKey(TRUE, HKEY_LOCAL_MACHINE, key.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ((std::vector<std::string>{"  Proccessing regkey: " + Narrow(key), "    Literal Key: MACHINE\\" + Narrow(key),
                                        "    Failed (2) to SetNamedSecurityInfo for MACHINE\\" + Narrow(key)}),
              Log());
}

// Paths live in 260 characters: "MACHINE\" + path must fit for the owner change, path + "\" + name
// for the walk. Neither may overrun; both end the walk as a failure.
TEST_F(RegKeyKillTest, PathsThatOverflowTheBuffersFailCleanly)
{
    struct Row
    {
        int topLength;     // characters of the top key's path
        int childLength;   // characters of its only subkey's name, 0 for none
        enum { Deleted, TopNameEmpty, ChildPathOverflow, ChildNameEmpty } outcome;
    };
    const Row rows[] = {
        {251, 0, Row::Deleted},                // "MACHINE\" + 251 = 259 characters: fits
        {252, 0, Row::TopNameEmpty},
        {255, 0, Row::TopNameEmpty},
        {240, 18, Row::ChildNameEmpty},        // the subkey's path is 259: fits, its "MACHINE\" name does not
        {240, 19, Row::ChildPathOverflow},     // 240 + 1 + 19 = 260: no room for the terminator
        {200, 255, Row::ChildPathOverflow},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(std::to_string(row.topLength) + "/" + std::to_string(row.childLength));
        std::wstring top = PathOfLength(m_base, row.topLength, L't');
        std::wstring child = row.childLength > 0 ? PathOfLength(top, row.topLength + 1 + row.childLength, L'c') : L"";
        Node tree{L"", {}};
        if (row.childLength > 0)
            tree.children.push_back(Node{child.substr(top.size() + 1), {}});
        CreateTree(top, tree);
        ASSERT_FALSE(HasFatalFailure());

        RegKeyKill kill;
        ASSERT_TRUE(kill.Initialize());
        BOOL deleted = kill.BlastKey(TRUE, HKEY_LOCAL_MACHINE, top.c_str());
        DWORD error = GetLastError();
        std::vector<std::string> log = Log();
        std::vector<std::string> expected = {"  Proccessing regkey: " + Narrow(top)};
        switch (row.outcome)
        {
        case Row::Deleted:
            EXPECT_TRUE(deleted);
            EXPECT_EQ(0u, error);
            EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, top));
            break;
        case Row::TopNameEmpty:
            EXPECT_FALSE(deleted);
            EXPECT_NE(0u, error);
            expected.push_back("    Literal Key: ");
            expected.push_back("    Failed (" + std::to_string(error) + ") to SetNamedSecurityInfo for ");
            EXPECT_EQ(expected, log);
            EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, top));
            break;
        case Row::ChildPathOverflow:
            EXPECT_FALSE(deleted);
            EXPECT_EQ(0xFFFFFFFFu, error);
            expected.push_back("    Literal Key: MACHINE\\" + Narrow(top));
            expected.push_back("    Buffer overflow in registry path!  Bailing out.");
            EXPECT_EQ(expected, log);
            EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, child));
            break;
        case Row::ChildNameEmpty:
            EXPECT_FALSE(deleted);
            EXPECT_NE(0u, error);
            expected.push_back("    Literal Key: MACHINE\\" + Narrow(top));
            expected.push_back("  Proccessing regkey: " + Narrow(child));
            expected.push_back("    Literal Key: ");
            expected.push_back("    Failed (" + std::to_string(error) + ") to SetNamedSecurityInfo for ");
            EXPECT_EQ(expected, log);
            EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, child));
            break;
        }
        DeleteTree(HKEY_LOCAL_MACHINE, top);
        ClearLog();
    }
}

// A failure deep in the tree stops the whole walk: what was deleted stays deleted, the rest stays,
// and the failed subkey's code is the caller's last error. The top key keeps the owner and the
// one-entry access list that it was given on the way.
TEST_F(RegKeyKillTest, FailureAtASubkeyStopsTheWalk)
{
    std::wstring top = PathOfLength(m_base, 230, L't');
    std::wstring overflowing(30, L'o');   // top\B\ooo... is longer than 259 characters
    Node tree{L"", {{L"A", {}}, {L"B", {{overflowing, {}}}}, {L"C", {}}}};
    CreateTree(top, tree);
    ASSERT_FALSE(HasFatalFailure());

    RegKeyKill kill;
    ASSERT_TRUE(kill.Initialize());
    EXPECT_FALSE(kill.BlastKey(TRUE, HKEY_LOCAL_MACHINE, top.c_str()));
    EXPECT_EQ(0xFFFFFFFFu, GetLastError());

    std::string t = Narrow(top);
    EXPECT_EQ((std::vector<std::string>{
                  "  Proccessing regkey: " + t, "    Literal Key: MACHINE\\" + t,
                  "  Proccessing regkey: " + t + "\\A", "    Literal Key: MACHINE\\" + t + "\\A",
                  "    Successfully updated permissions and blasted regkey: " + t + "\\A",
                  "  Proccessing regkey: " + t + "\\B", "    Literal Key: MACHINE\\" + t + "\\B",
                  "    Buffer overflow in registry path!  Bailing out."}),
              Log());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, top + L"\\A"));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, top + L"\\B\\" + overflowing));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, top + L"\\C"));

    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    BYTE userBuffer[512];
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, userBuffer, sizeof(userBuffer), &size));
    CloseHandle(token);
    PSID user = reinterpret_cast<TOKEN_USER*>(userBuffer)->User.Sid;

    HKEY key;
    ASSERT_EQ(0, RegOpenKeyExW(HKEY_LOCAL_MACHINE, top.c_str(), 0, READ_CONTROL | KEY_WOW64_64KEY, &key));
    BYTE sdBuffer[4096];
    DWORD sdSize = sizeof(sdBuffer);
    LONG rc = RegGetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, sdBuffer, &sdSize);
    RegCloseKey(key);
    ASSERT_EQ(0, rc);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(sdBuffer, &owner, &defaulted));
    ASSERT_NE(nullptr, owner);
    EXPECT_TRUE(EqualSid(owner, user));
    BOOL present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sdBuffer, &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(nullptr, dacl);
    ASSERT_EQ(1, dacl->AceCount);
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, 0, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
    EXPECT_EQ(0, ace->Header.AceFlags);
    EXPECT_EQ(static_cast<DWORD>(KEY_ALL_ACCESS), ace->Mask);
    EXPECT_TRUE(EqualSid(&ace->SidStart, user));
}

// Enumeration errors other than the end of the subkeys are asked again, at most kEnumRetries times in
// a row; the count starts afresh after every answer. Reached through the enumeration seam: no real
// condition makes the enumeration of an open key fail on demand.
TEST_F(RegKeyKillTest, EnumerationErrorsAreRetriedBoundedly)
{
    struct Row
    {
        BOOL retry;
        int failuresBeforeEachAnswer;
        bool twoChildren;
        bool deleted;
        int enumCalls;
    };
    const int n = RegKeyKill::kEnumRetries;
    ASSERT_EQ(10, n);
    const Row rows[] = {
        {TRUE, n, false, true, n + 1},
        {TRUE, n + 1, false, false, n + 1},
        {TRUE, n, true, true, 3 * (n + 1)},   // 10 failures before each of 3 answers: never 11 in a row
        {FALSE, 0, true, true, 3},
        {FALSE, 1, false, false, 1},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(std::to_string(row.retry) + "/" + std::to_string(row.failuresBeforeEachAnswer) + "/" +
                     std::to_string(row.twoChildren));
        std::wstring top = m_base + L"\\Flaky";
        Node tree{L"Flaky", {}};
        if (row.twoChildren)
            tree.children = {{L"A", {}}, {L"B", {}}};
        CreateTree(top, tree);
        ASSERT_FALSE(HasFatalFailure());

        RegKeyKill kill;
        ASSERT_TRUE(kill.Initialize());
        g_failuresBeforeEachAnswer = row.failuresBeforeEachAnswer;
        g_pendingFailures = row.failuresBeforeEachAnswer;
        g_enumCalls = 0;
        regkeykill_seam::EnumKey = FlakyEnumKey;
        BOOL deleted = kill.BlastKey(row.retry, HKEY_LOCAL_MACHINE, top.c_str());
        DWORD error = GetLastError();
        regkeykill_seam::EnumKey = ::RegEnumKeyExW;

        if (row.twoChildren)
            g_enumCalls -= 2 * (row.failuresBeforeEachAnswer + 1);   // the two leaves' own questions
        EXPECT_EQ(row.enumCalls, g_enumCalls);
        EXPECT_EQ(row.deleted, deleted != FALSE);
        EXPECT_EQ(row.deleted, !KeyExists(HKEY_LOCAL_MACHINE, top));
        std::vector<std::string> log = Log();
        if (row.deleted)
        {
            EXPECT_EQ(0u, error);
        }
        else
        {
            EXPECT_EQ(static_cast<DWORD>(ERROR_KEY_DELETED), error);
            EXPECT_EQ("    Failed (1018) to RegEnumKeyEx on attempt " + std::to_string(row.enumCalls) +
                          ", giving up on regkey: " + Narrow(top),
                      log.back());
        }
        DeleteTree(HKEY_LOCAL_MACHINE, top);
        ClearLog();
    }
}

}  // namespace
