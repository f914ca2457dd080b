#include <gtest/gtest.h>

#include <string>

#include "base/wstring.h"
#include "harness.h"

using namespace harness;

TEST(WString, AssignGrowsOnlyWhenTheTextDoesNotFit)
{
    CWString s(290);
    std::wstring t289(289, L'a');
    s = t289.c_str();
    EXPECT_EQ(290, s.Capacity());
    EXPECT_EQ(289, s.Length());
    std::wstring t290(290, L'b');
    s = t290.c_str();
    EXPECT_EQ(291, s.Capacity());
    EXPECT_EQ(t290, s.Str());
    s = static_cast<const wchar_t*>(nullptr);   // clears but keeps the room
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ(291, s.Capacity());
}

TEST(WString, AppendGrowsToExactlyTheNeededRoom)
{
    CWString s(10);
    s = L"12345";
    s.Append(L"6789");        // 9 characters + terminator fit in 10
    EXPECT_EQ(10, s.Capacity());
    s.Append(L"0");           // 10 characters fill the capacity: one more for the terminator
    EXPECT_EQ(11, s.Capacity());
    EXPECT_STREQ(L"1234567890", s.Str());
    s.Append(s.Buffer() + 8); // a part of itself
    EXPECT_STREQ(L"123456789090", s.Str());
}

TEST(WString, AppendPathComponentAddsOneSeparatorAndNeverOverruns)
{
    struct Case { const wchar_t* base; const wchar_t* component; const wchar_t* expected; };
    const Case cases[] = {
        {L"C:\\dir", L"file", L"C:\\dir\\file"},
        {L"C:\\dir\\", L"file", L"C:\\dir\\file"},
        {L"C:", L"file", L"C:\\file"},
        {L"C", L"file", L"Cfile"},     // one character: no separator
        {L"", L"file", L"file"},
    };
    for (const Case& c : cases)
    {
        CWString s(260);
        s = c.base;
        s.AppendPathComponent(c.component);
        EXPECT_STREQ(c.expected, s.Str()) << c.base;
    }
    CWString small(8);
    small = L"C:\\dir";
    small.AppendPathComponent(L"a-long-name");
    EXPECT_EQ(7, small.Length());
    EXPECT_EQ(8, small.Capacity());
}

TEST(WString, StripLastPathComponent)
{
    struct Case { const wchar_t* in; const wchar_t* out; };
    const Case cases[] = {
        {L"C:\\dir\\file", L"C:\\dir"},
        {L"C:\\dir\\\\file", L"C:\\dir"},
        {L"file", L""},
        {L"C:\\file", L"C:"},
        {L"", L""},
    };
    for (const Case& c : cases)
    {
        CWString s(260);
        s = c.in;
        EXPECT_TRUE(s.StripLastPathComponent());
        EXPECT_STREQ(c.out, s.Str()) << c.in;
    }
    CWString none(0);
    EXPECT_FALSE(none.StripLastPathComponent());
}

TEST(WString, FormatTakesWideStringsAndIsCutAtTheCapacity)
{
    CWString s(64);
    s.Format(L"%s:%d:%08X", L"C:\\Ünïcode", -5, 0xBC2u);
    EXPECT_STREQ(L"C:\\Ünïcode:-5:00000BC2", s.Str());
    CWString small(8);
    small.Format(L"%s", L"0123456789ABCDEF");
    EXPECT_STREQ(L"0123456", small.Str());
    CWString none(0);
    none.Format(L"%s", L"x");   // no buffer: nothing happens
    EXPECT_EQ(0, none.Length());
}

TEST(WString, FindCharFindAndSubstrings)
{
    CWString empty(10);
    EXPECT_EQ(-1, empty.FindChar(L'a'));
    CWString s(100);
    s = L"tovrand /SELFDELETE \"C:\\a b\\x.exe\"";
    EXPECT_EQ(8, s.Find(L"/selfdelete", true));
    EXPECT_EQ(-1, s.Find(L"/selfdelete", false));
    EXPECT_EQ(20, s.FindChar(L'"'));
    EXPECT_STREQ(L"tovrand", s.Left(7).Str());
    EXPECT_STREQ(L"x.exe\"", s.Right(6).Str());
    EXPECT_STREQ(s.Str(), s.Left(500).Str());
    EXPECT_EQ(s.Buffer() + 99, s.CharAt(500));
}

TEST(WString, TagIsZeroByDefaultCopiedAndLostOnReallocation)
{
    CWString s(4);
    EXPECT_EQ(0u, s.GetTag());
    s.SetTag(7);
    CWString copy(s);
    EXPECT_EQ(7u, copy.GetTag());
    CWString assigned(2);
    assigned = s;
    EXPECT_EQ(7u, assigned.GetTag());
    EXPECT_EQ(4, assigned.Capacity());
    s = L"longer than four";
    EXPECT_EQ(0u, s.GetTag());
}

TEST(WStringArray, AddGetTagsAndResize)
{
    CWStringArray a;
    EXPECT_EQ(0, a.Add(L"first", 0));
    EXPECT_EQ(1, a.Add(L"second", 5));
    EXPECT_STREQ(L"second", a.Get(1).Str());
    EXPECT_EQ(5u, a.GetTag(1));
    a.SetSize(4);
    EXPECT_EQ(4, a.Count());
    EXPECT_STREQ(L"first", a.Get(0).Str());
    EXPECT_TRUE(a.Get(3).IsEmpty());
    a.DestroyItem(0);
    a.DestroyItem(10);   // past the end: nothing
    EXPECT_TRUE(a.Get(0).IsEmpty());
    a.SetSize(1);
    EXPECT_EQ(1, a.Count());
    a.SetSize(0);
    EXPECT_EQ(0, a.Count());
}

// Misuse ends the process after the system-modal box; run in a child and answer the box.
TEST(WStringArray, MisuseShowsTheErrorBoxThenEndsTheProcess)
{
    for (const wchar_t* mode : {L"get", L"size", L"tag", L"destroy"})
    {
        MessageBoxAnswerer box(L"Error");
        ScratchDir temp;
        Process p = harness::Run(L"\"" + BinDir() + L"\\arrayfatal.exe\" " + mode, temp.Path(), 30000);
        ASSERT_TRUE(p.finished) << Narrow(mode);
        EXPECT_EQ(3u, p.exitCode) << Narrow(mode);
        std::wstring text = box.Text();
        EXPECT_EQ(0u, text.find(L"Error in class CWStringArray\nApplication will be terminated\n")) << Narrow(text);
        EXPECT_NE(std::wstring::npos, text.find(L"wstring.cpp")) << Narrow(text);
    }
}
