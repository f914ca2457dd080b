#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "context/cmdline.h"
#include "harness.h"

namespace
{
typedef std::vector<std::wstring> Args;

Args Split(const wchar_t* text, CCommandLine& cmd)
{
    cmd.SetCommandLine(text);
    cmd.Parse();
    Args args;
    for (DWORD i = 0; i < cmd.GetArgCount(); ++i)
        args.push_back(cmd.GetArg(i));
    return args;
}

Args Split(const wchar_t* text)
{
    CCommandLine cmd(nullptr);
    return Split(text, cmd);
}
}  // namespace

TEST(CommandLineSplit, EdgeCasesGiveExactArguments)
{
    struct Case
    {
        const wchar_t* text;
        Args expected;
    } cases[] = {
        {L"", {}},
        {L" \t  \t ", {}},
        {L"/u /q PRODUCTA", {L"u", L"q", L"PRODUCTA"}},
        {L"PRODUCTA PRODUCTB", {L"PRODUCTA", L"PRODUCTB"}},
        {L"AB-CD-EF", {L"ABCDEF"}},
        {L"\"AB-CD-EF\"", {L"AB-CD-EF"}},
        {L"\"/U\"", {L"/U"}},
        {L"/U PRODUCTA \"\"", {L"U", L"PRODUCTA", L""}},
        {L"\"\"\"\"", {L"", L""}},
        {L"PRODUCTA - /Q", {L"PRODUCTA", L"", L"Q"}},
        {L"PRODUCTA -", {L"PRODUCTA"}},
        {L"--//", {}},
        {L"AB\"XY Z\"", {L"ABXY Z"}},
        {L"\"AB\"XY", {L"AB", L"XY"}},
        {L"L-O/G", {L"LOG"}},
        {L"LOGX LOG:1", {L"LOGX", L"LOG:1"}},
        {L"A\tB", {L"A", L"B"}},
        {L"\"A\tB\"", {L"A\tB"}},
        {L"  \"AB CD", {L"AB CD"}},          // unbalanced: runs to the end of the text
        {L"X \"", {L"X"}},                   // unbalanced and empty: nothing added
        {L"///Q ---NODEL", {L"Q", L"NODEL"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, Split(c.text)) << "text: [" << harness::Narrow(c.text) << "]";
}

TEST(CommandLineSplit, NullTextParsesToNothingAndReportsFalse)
{
    CCommandLine cmd(nullptr);
    EXPECT_FALSE(cmd.IsParsed());
    EXPECT_FALSE(cmd.Parse());
    EXPECT_TRUE(cmd.IsParsed());
    EXPECT_EQ(0u, cmd.GetArgCount());
    EXPECT_EQ(nullptr, cmd.GetArg(0));

    CCommandLine empty(L"");
    EXPECT_TRUE(empty.Parse());
    EXPECT_EQ(0u, empty.GetArgCount());
}

TEST(CommandLineSplit, ManyArgumentsKeepTheirOrderAsTheArrayGrows)
{
    std::wstring text;
    Args expected;
    for (int i = 0; i < 150; ++i)
    {
        std::wstring arg = L"A" + std::to_wstring(i);
        text += arg + L" ";
        expected.push_back(arg);
    }
    CCommandLine cmd(text.c_str());
    EXPECT_EQ(expected, Split(text.c_str(), cmd));
    EXPECT_EQ(nullptr, cmd.GetArg(150));
    EXPECT_STREQ(L"A149", cmd.GetArg(149));
}

TEST(CommandLineSplit, ReparseAndReplaceStartAfresh)
{
    CCommandLine cmd(L"/u PRODUCTA");
    ASSERT_TRUE(cmd.Parse());
    ASSERT_TRUE(cmd.Parse());   // a second parse does not append the arguments again
    EXPECT_EQ(2u, cmd.GetArgCount());

    cmd.SetCommandLine(L"X Y Z");
    EXPECT_FALSE(cmd.IsParsed());
    EXPECT_EQ(0u, cmd.GetArgCount());
    EXPECT_EQ(nullptr, cmd.GetArg(0));
    ASSERT_TRUE(cmd.Parse());
    EXPECT_EQ((Args{L"X", L"Y", L"Z"}), Split(L"X Y Z", cmd));

    cmd.SetCommandLine(nullptr);
    EXPECT_FALSE(cmd.Parse());
    EXPECT_EQ(0u, cmd.GetArgCount());
}

TEST(CommandLineSplit, PresenceTestIgnoresCaseAndMatchesWholeArguments)
{
    CCommandLine cmd(L"/u -Q \"Product A\"");
    cmd.Parse();
    EXPECT_TRUE(cmd.IsArgPresent(L"U"));
    EXPECT_TRUE(cmd.IsArgPresent(L"q"));
    EXPECT_TRUE(cmd.IsArgPresent(L"product a"));
    EXPECT_FALSE(cmd.IsArgPresent(L"/U"));
    EXPECT_FALSE(cmd.IsArgPresent(L"PRODUCT"));
    EXPECT_FALSE(cmd.IsArgPresent(L"LOG"));
    EXPECT_FALSE(cmd.IsArgPresent(nullptr));
}

TEST(CommandLineSplit, ArgumentLengthLimitNeverOverrunsTheBuffer)
{
    std::wstring max263(263, L'X');
    CCommandLine cmd(nullptr);
    EXPECT_EQ((Args{max263, L"B"}), Split((max263 + L" B").c_str(), cmd));
    EXPECT_FALSE(cmd.HadOverlongArgument());

    // Dropped switch characters do not count; quoted ones do.
    EXPECT_EQ((Args{max263}), Split((L"-/" + max263).c_str(), cmd));
    EXPECT_FALSE(cmd.HadOverlongArgument());
    EXPECT_EQ((Args{L"-" + std::wstring(262, L'X')}), Split((L"\"-" + max263 + L"\"").c_str(), cmd));
    EXPECT_TRUE(cmd.HadOverlongArgument());

    // Far beyond the buffer: kept cut to 263 characters and flagged; the next argument is intact.
    std::wstring huge(5000, L'Y');
    EXPECT_EQ((Args{std::wstring(263, L'Y'), L"B"}), Split((huge + L" B").c_str(), cmd));
    EXPECT_TRUE(cmd.HadOverlongArgument());

    // The flag belongs to one parse of one text.
    EXPECT_EQ((Args{L"B"}), Split(L"B", cmd));
    EXPECT_FALSE(cmd.HadOverlongArgument());
}
