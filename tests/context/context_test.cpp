// Functions with many edges: the command line's split into arguments, the version order, and a
// location value read from the registry.
#include <gtest/gtest.h>

#include "base/registry.h"
#include "context/cmdline.h"
#include "context/locations.h"
#include "context/version.h"
#include "unit.h"

using namespace harness;

TEST(CommandLine, SplitsIntoExactArguments)
{
    typedef std::vector<std::wstring> Args;
    const std::wstring x263(263, L'X');
    struct Row
    {
        std::wstring text;
        Args args;
        BOOL overlong, unclosed;
    };
    const Row rows[] = {
        {.text = L"", .args = {}},
        {.text = L" \t  \t ", .args = {}},
        {.text = L"/u /q PRODUCTA", .args = {L"u", L"q", L"PRODUCTA"}},
        {.text = L"\"AB-CD-EF\"", .args = {L"AB-CD-EF"}},
        {.text = L"\"/U\"", .args = {L"/U"}},
        {.text = L"/U PRODUCTA \"\"", .args = {L"U", L"PRODUCTA", L""}},
        {.text = L"\"\"\"\"", .args = {L"", L""}},
        {.text = L"PRODUCTA - /Q", .args = {L"PRODUCTA", L"", L"Q"}},
        {.text = L"--//", .args = {}},
        {.text = L"AB\"XY Z\"", .args = {L"ABXY Z"}},
        {.text = L"\"AB\"XY", .args = {L"AB", L"XY"}},
        {.text = L"L-O/G", .args = {L"LOG"}},
        {.text = L"A\tB", .args = {L"A", L"B"}},
        {.text = L"\"A\tB\"", .args = {L"A\tB"}},
        {.text = L"///Q ---NODEL", .args = {L"Q", L"NODEL"}},
        // An open quote runs to the end.
        {.text = L"  \"AB CD", .args = {L"AB CD"}, .overlong = FALSE, .unclosed = TRUE},
        {.text = L"X \"", .args = {L"X"}, .overlong = FALSE, .unclosed = TRUE},
        // 263 characters fit, dropped switch characters not counted; more are cut there and flagged.
        {.text = x263 + L" B", .args = {x263, L"B"}},
        {.text = L"-/" + x263, .args = {x263}},
        {.text = L"\"-" + x263 + L"\"", .args = {L"-" + x263.substr(1)}, .overlong = TRUE},
        {.text = std::wstring(5000, L'Y') + L" B", .args = {std::wstring(263, L'Y'), L"B"}, .overlong = TRUE},
    };
    CCommandLine cmd(nullptr);   // one object for all: every parse starts afresh
    for (const Row& r : rows)
    {
        cmd.SetCommandLine(r.text.c_str());
        EXPECT_TRUE(cmd.Parse());
        Args args;
        for (DWORD i = 0; i < cmd.GetArgCount(); ++i)
            args.push_back(cmd.GetArg(i));
        std::string text = "[" + Narrow(r.text.substr(0, 40)) + "]";
        EXPECT_EQ(r.args, args) << text;
        EXPECT_EQ(r.overlong, cmd.HadOverlongArgument()) << text;
        EXPECT_EQ(r.unclosed, cmd.HadUnclosedQuote()) << text;
    }
}

// A version is major.minor in the high DWORD and build.revision in the low one; quads compare field by
// field as unsigned numbers (result: 0 equal, 1 the first higher, 2 the second).
TEST(VersionQuads, OrderFieldByFieldAsUnsignedNumbers)
{
    struct Row
    {
        DWORD ms1, ls1, ms2, ls2, result;
    };
    const Row rows[] = {
        {.ms1 = 0x10002, .ls1 = 0x30004, .ms2 = 0x10002, .ls2 = 0x3000A, .result = 2},
        {.ms1 = 0x20000, .ls1 = 0, .ms2 = 0x1FFFF, .ls2 = 0xFFFFFFFF, .result = 1},
        {.ms1 = 0x10001, .ls1 = 0, .ms2 = 0x10000, .ls2 = 0xFFFFFFFF, .result = 1},
        {.ms1 = 0x10000, .ls1 = 0x80000000, .ms2 = 0x10000, .ls2 = 0x7FFFFFFF, .result = 1},
        {.ms1 = 0x7FFF0000, .ls1 = 0, .ms2 = 0x80000000, .ls2 = 0, .result = 2},
        {.ms1 = 0xC0009, .ls1 = 0x16, .ms2 = 0xC0009, .ls2 = 0x16, .result = 0},
    };
    for (const Row& r : rows)
    {
        ULONGLONG first = MakeVersionQuad(r.ms1, r.ls1), second = MakeVersionQuad(r.ms2, r.ls2);
        EXPECT_EQ(r.result, first == second ? 0u : first > second ? 1u : 2u) << std::hex << r.ms1 << "." << r.ls1;
    }
}

// A folder value names an absolute path with room for what is joined below it, or it is unusable. It
// is read into 260 characters, and a terminator is supplied when the data lacks one and there is room.
TEST(ReadFolderValue, TakesOnlyAUsableAbsolutePath)
{
    ScratchRegistry hklm;
    SetEnvironmentVariableW(L"TVT_ROOT", L"E:\\Root");
    SetEnvironmentVariableW(L"TVT_LONG", (L"C:\\" + std::wstring(300, L'l')).c_str());
    const wchar_t* deep = kDeepestBelowCommonFiles;   // 40 characters
    const std::wstring p219 = L"C:\\" + std::wstring(216, L'p'), p259 = p219 + std::wstring(40, L'p');
    const LONG bad = ERROR_BAD_PATHNAME;
    const DWORD sz = REG_SZ, ex = REG_EXPAND_SZ;
    struct Row
    {
        DWORD type;   // 0: no value
        std::wstring text;
        bool terminated;
        const wchar_t* deepest;
        LONG rc;
        std::wstring dir;
    };
    const Row rows[] = {
        {.type = sz, .text = L"C:\\Program Files", .terminated = true, .deepest = deep,
         .rc = 0, .dir = L"C:\\Program Files"},
        {.type = sz, .text = p219, .terminated = true, .deepest = deep, .rc = 0, .dir = p219},
        {.type = ex, .text = L"%TVT_ROOT%\\Apps", .terminated = true, .deepest = deep,
         .rc = 0, .dir = L"E:\\Root\\Apps"},
        {.type = sz, .text = p219 + L"p", .terminated = true, .deepest = deep, .rc = bad},
        {.type = sz, .text = L"\\\\server\\share", .terminated = true, .deepest = deep,
         .rc = 0, .dir = L"\\\\server\\share"},
        {.type = sz, .text = p259, .terminated = true, .deepest = deep, .rc = bad},
        {.type = sz, .text = p259, .terminated = true, .deepest = L"", .rc = 0, .dir = p259},
        {.type = sz, .text = p259, .terminated = false, .deepest = L"", .rc = 0, .dir = p259},
        {.type = sz, .text = p259 + L"p", .terminated = false, .deepest = L"", .rc = bad},
        {.type = sz, .text = p259 + L"p", .terminated = true, .deepest = L"", .rc = bad},
        {.type = ex, .text = L"%TVT_LONG%", .terminated = true, .deepest = L"", .rc = bad},
        {.type = REG_DWORD, .text = L"AB", .terminated = false, .deepest = deep, .rc = bad},
        {.type = sz, .text = L"", .terminated = true, .deepest = deep, .rc = bad},
        {.type = sz, .text = L"Program Files", .terminated = true, .deepest = deep, .rc = bad},
        {.type = sz, .text = L"C:Program Files", .terminated = true, .deepest = deep, .rc = bad},
        {.type = 0, .text = L"", .terminated = false, .deepest = deep, .rc = ERROR_FILE_NOT_FOUND},
    };
    for (const Row& r : rows)
    {
        // The registry adds the terminator that string data lacks when a NUL follows the data.
        std::wstring data = r.text + (r.terminated ? L"" : L"!");
        CRegistryEntry entry(HKEY_LOCAL_MACHINE, kCurrentVersionKey, L"V");
        r.type ? entry.SetValue(r.type, data.c_str(), static_cast<DWORD>((r.text.size() + r.terminated) * 2))
               : entry.DeleteValue();
        CWString folder(260);
        EXPECT_EQ(r.rc, ReadFolderValue(&entry, r.deepest, folder)) << Narrow(r.text) << " " << r.terminated;
        EXPECT_EQ(Narrow(r.dir), Narrow(folder.Str())) << Narrow(r.text);
    }
}
