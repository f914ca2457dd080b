// Functions with many edges: the command line's split into arguments, the version comparison, and a
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
    struct Row { std::wstring text; Args args; BOOL overlong, unclosed; };
    const Row rows[] = {
        {L"", {}}, {L" \t  \t ", {}}, {L"/u /q PRODUCTA", {L"u", L"q", L"PRODUCTA"}}, {L"AB-CD-EF", {L"ABCDEF"}},
        {L"\"AB-CD-EF\"", {L"AB-CD-EF"}}, {L"\"/U\"", {L"/U"}}, {L"/U PRODUCTA \"\"", {L"U", L"PRODUCTA", L""}},
        {L"\"\"\"\"", {L"", L""}}, {L"PRODUCTA - /Q", {L"PRODUCTA", L"", L"Q"}}, {L"PRODUCTA -", {L"PRODUCTA"}},
        {L"--//", {}}, {L"AB\"XY Z\"", {L"ABXY Z"}}, {L"\"AB\"XY", {L"AB", L"XY"}}, {L"L-O/G", {L"LOG"}},
        {L"A\tB", {L"A", L"B"}}, {L"\"A\tB\"", {L"A\tB"}}, {L"///Q ---NODEL", {L"Q", L"NODEL"}},
        {L"  \"AB CD", {L"AB CD"}, FALSE, TRUE}, {L"X \"", {L"X"}, FALSE, TRUE},   // an open quote runs to the end
        // 263 characters fit, dropped switch characters not counted; more are cut there and flagged.
        {x263 + L" B", {x263, L"B"}}, {L"-/" + x263, {x263}}, {L"\"-" + x263 + L"\"", {L"-" + x263.substr(1)}, TRUE},
        {std::wstring(5000, L'Y') + L" B", {std::wstring(263, L'Y'), L"B"}, TRUE},
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

// A version is major.minor in the high DWORD and build.revision in the low one.
TEST(CompareVersions, FieldByFieldAsUnsignedNumbers)
{
    const DWORD rows[][5] = {{0x10002, 0x30004, 0x10002, 0x3000A, 2},   {0x20000, 0, 0x1FFFF, 0xFFFFFFFF, 1},
                             {0x10001, 0, 0x10000, 0xFFFFFFFF, 1},      {0x10000, 0x80000000, 0x10000, 0x7FFFFFFF, 1},
                             {0x7FFF0000, 0, 0x80000000, 0, 2},         {0xC0009, 0x16, 0xC0009, 0x16, 0}};
    for (const auto& r : rows)
        EXPECT_EQ(r[4], CompareVersions(r[0], r[1], r[2], r[3])) << std::hex << r[0] << "." << r[1];
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
    struct Row { DWORD type; std::wstring text; bool terminated; const wchar_t* deepest; LONG rc; std::wstring dir; };
    const Row rows[] = {
        {sz, L"C:\\Program Files", true, deep, 0, L"C:\\Program Files"}, {sz, p219, true, deep, 0, p219},
        {ex, L"%TVT_ROOT%\\Apps", true, deep, 0, L"E:\\Root\\Apps"}, {sz, p219 + L"p", true, deep, bad},
        {sz, L"\\\\server\\share", true, deep, 0, L"\\\\server\\share"}, {sz, p259, true, deep, bad},
        {sz, p259, true, L"", 0, p259}, {sz, p259, false, L"", 0, p259}, {sz, p259 + L"p", false, L"", bad},
        {sz, p259 + L"p", true, L"", bad}, {ex, L"%TVT_LONG%", true, L"", bad}, {REG_DWORD, L"AB", false, deep, bad},
        {sz, L"", true, deep, bad}, {sz, L"Program Files", true, deep, bad}, {sz, L"C:Program Files", true, deep, bad},
        {0, L"", false, deep, ERROR_FILE_NOT_FOUND},   // 0: missing
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
