// The forced removal of a key tree and the repair of a service marked for deletion, on the test machine's
// real registry and service manager: the security-object names "MACHINE\..." follow no redirected root.
// Wine never refuses the ordinary recursive delete, so the fallback to the forced removal is reached
// through the registry seam, and an enumeration that keeps failing through the enumeration seam.
#include <gtest/gtest.h>

#include <algorithm>

#include "base/registry.h"
#include "unit.h"
#include "system/regkeykill.h"
#include "system/service.h"
#include "usage/uninstall.h"

using namespace harness;

namespace
{
const std::wstring kTestsKey = L"SOFTWARE\\TovrandTests";

std::string Joined(const std::vector<std::string>& lines)
{
    std::string all;
    for (const std::string& line : lines)
        all += line + "|";
    return all;
}

// Every real answer of the enumeration comes after a run of this many failures.
int g_failures = 0, g_failuresLeft = 0, g_calls = 0;

LONG WINAPI FlakyEnumKey(HKEY key, DWORD index, LPWSTR name, LPDWORD chars, LPDWORD reserved, LPWSTR className,
                         LPDWORD classChars, PFILETIME written)
{
    ++g_calls;
    if (g_failuresLeft-- > 0)
        return ERROR_KEY_DELETED;   // what a key deleted under an open handle answers
    g_failuresLeft = g_failures;
    return RegEnumKeyExW(key, index, name, chars, reserved, className, classChars, written);
}
}  // namespace

TEST(RegKeyKill, AKeyTreeThatRefusesTheOrdinaryDeleteGoesLeavesFirst)
{
    TempLog log;
    DeleteTree(kPellimarKey);
    for (const wchar_t* below : {L"\\A\\A1", L"\\A\\A2", L"\\B"})
        ASSERT_TRUE(WriteRaw(kPellimarKey + std::wstring(below), L"V", Dword(1)));
    registry_seam::FailRecursiveDeletes = 1;
    RemovePellimarKeyTree();
    EXPECT_FALSE(KeyExists(kPellimarKey));
    auto in = [](std::string k) { return "  Proccessing regkey: " + k + "|    Literal Key: MACHINE\\" + k + "|"; };
    auto out = [](std::string k) { return "    Successfully updated permissions and blasted regkey: " + k + "|"; };
    const std::string p = Narrow(kPellimarKey), a = p + "\\A", a1 = a + "\\A1", a2 = a + "\\A2", b = p + "\\B";
    EXPECT_EQ("  Failed to delete Pellimar regkey and subkeys using standard methods.|" + in(p) + in(a) + in(a1) +
                  out(a1) + in(a2) + out(a2) + out(a) + in(b) + out(b) + out(p) +
                  "  Successfully deleted Pellimar regkey and subkeys using RegKeyKill.|",
              Joined(log.Take()));
}

// Names live in 260 characters: "MACHINE\" + path for the owner change, path + "\" + subkey for the walk.
// An enumeration error other than the end is asked again, ten times in a row at most: the count starts
// afresh after every answer (a key with a child answers twice, the child once).
TEST(RegKeyKill, LongPathsEndTheWalkWithoutOverrunAndEnumerationErrorsAreRetriedBoundedly)
{
    TempLog log;
    auto pathOf = [](const std::wstring& parent, size_t length, wchar_t fill) {
        return parent + L"\\" + std::wstring(length - parent.size() - 1, fill);
    };
    const int n = RegKeyKill::kEnumRetries;
    const std::string refused = " to SetNamedSecurityInfo for |";
    const std::string kOverflow = "    Buffer overflow in registry path!  Bailing out.|";
    struct Row
    {
        size_t top, child;
        int failures;
        DWORD error;   // 1: any error but 0
        int calls;
        std::string lastEnds;
    };
    const Row rows[] = {
        // "MACHINE\" and 251 characters fit; at 252 the name is left empty, and refused.
        {.top = 251, .child = 0, .failures = 0, .error = 0, .calls = 1, .lastEnds = ""},
        {.top = 252, .child = 0, .failures = 0, .error = 1, .calls = 0, .lastEnds = refused},
        // The subkey's name does not fit, nor its path.
        {.top = 240, .child = 18, .failures = 0, .error = 1, .calls = 1, .lastEnds = refused},
        {.top = 240, .child = 19, .failures = 0, .error = 0xFFFFFFFF, .calls = 1, .lastEnds = kOverflow},
        {.top = 40, .child = 0, .failures = n, .error = 0, .calls = n + 1, .lastEnds = ""},
        {.top = 40, .child = 0, .failures = n + 1, .error = ERROR_KEY_DELETED, .calls = n + 1, .lastEnds = ""},
        {.top = 40, .child = 9, .failures = n, .error = 0, .calls = 3 * (n + 1), .lastEnds = ""},
    };
    regkeykill_seam::EnumKey = FlakyEnumKey;
    for (const Row& r : rows)
    {
        std::wstring top = pathOf(kTestsKey, r.top, L't'), key = r.child ? pathOf(top, r.top + 1 + r.child, L'c') : top;
        ASSERT_TRUE(WriteRaw(key, L"V", Dword(1)));
        RegKeyKill kill;
        ASSERT_TRUE(kill.Initialize());
        g_failures = g_failuresLeft = r.failures;
        g_calls = 0;
        BOOL deleted = kill.BlastKey(TRUE, HKEY_LOCAL_MACHINE, top.c_str());
        DWORD error = GetLastError();
        std::string lines = Joined(log.Take());
        EXPECT_EQ(r.error == 0, deleted != FALSE) << r.top << "/" << r.child << "/" << r.failures;
        EXPECT_TRUE(r.error == 1 ? error != 0 : error == r.error) << error;
        EXPECT_EQ(r.calls, g_calls);
        EXPECT_EQ(r.error != 0, KeyExists(key));
        EXPECT_EQ(r.lastEnds, lines.substr(lines.size() - std::min(lines.size(), r.lastEnds.size())));
        DeleteTree(kTestsKey);
    }
    regkeykill_seam::EnumKey = ::RegEnumKeyExW;
}

// The native image path "\??\" + path lives in 261 characters: a path of 256 is written into the key of
// a service marked for deletion, one of 257 not at all, and the service stays marked.
TEST(Service, AMarkedServiceGetsOnlyAnImagePathThatFitsWhole)
{
    TempLog log;
    CleanMachine();
    const std::wstring installed = L"C:\\windows\\system32\\drivers\\PELLIMAR64x86.SYS";
    const char* left = "    Pellimar:Image path missing or longer than 256 characters.  Left marked for deletion.";
    for (size_t length : {256, 257})
    {
        std::wstring path = L"C:\\" + std::wstring(length - 7, L'd') + L".SYS";
        CPellimarSCM scm;
        ASSERT_EQ(0u, scm.InstallService(installed.c_str()));
        Holder marked(L"marked");
        ASSERT_TRUE(marked.Ready());
        log.Take();
        EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), scm.ConfigureService(path.c_str()));
        EXPECT_EQ(Narrow(length == 256 ? L"\\??\\" + path : installed), Narrow(GetString(kServiceKey, L"ImagePath")));
        std::vector<std::string> lines = log.Take();
        EXPECT_EQ(length == 257 ? 1 : 0, std::count(lines.begin(), lines.end(), left));
        marked.Release();
        // The service goes once the service manager has let go of the holder's handle.
        for (int i = 0; i < 300 && scm.ServiceExists() != ERROR_SERVICE_DOES_NOT_EXIST; ++i)
            Sleep(100);
        CleanMachine();
    }
}
