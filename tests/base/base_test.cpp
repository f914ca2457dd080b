// What no run of the installer can show of the base classes: string writes cut at the capacity, the
// string array's fatal box, the log's limits and characters, a registry entry that lost its value name.
#include <gtest/gtest.h>

#include "base/files.h"

#include "base/alloc.h"
#include "base/log.h"
#include "base/registry.h"
#include "base/wstring.h"
#include "unit.h"

using namespace harness;

// The heap hands out blocks in steps of 16 bytes: the 10 bytes of a 5-character string are followed by
// 3 more characters of its block, where a canary shows any write past the capacity.
// A joined path is never cut: one that does not fit is no path (a cut one would name another file).
TEST(WString, FormatIsCutAtTheCapacityAndJoinPathRefusesWhatDoesNotFit)
{
    struct Row
    {
        const wchar_t* base;
        bool format;
        const wchar_t* text;
        const wchar_t* result;
    };
    const Row rows[] = {
        {.base = L"", .format = true, .text = L"0123456789", .result = L"0123"},
        {.base = L"", .format = true, .text = L"\u00C9t\u00E9\u0100", .result = L"\u00C9t\u00E9\u0100"},
        {.base = L"C:", .format = false, .text = L"f", .result = L"C:\\f"},
        {.base = L"C:\\", .format = false, .text = L"f", .result = L"C:\\f"},
        {.base = L"C:\\d", .format = false, .text = L"x", .result = L""},   // too long
        {.base = L"", .format = false, .text = L"x", .result = L""},        // no folder
    };
    for (const Row& r : rows)
    {
        CWString s(5);
        s = r.base;
        std::wstring(L"###").copy(s.Buffer() + 5, 3);
        std::wstring base = r.base;
        r.format ? s.Format(L"%s", r.text) : (void)JoinPath(s, base.c_str(), r.text);
        EXPECT_STREQ(r.result, s.Str()) << Narrow(r.base) << " + " << Narrow(r.text);
        EXPECT_EQ(L"###", std::wstring(s.Buffer() + 5, 3)) << Narrow(r.text);
    }
    CWString s(5);
    auto capacityAfter = [&s](const wchar_t* text) { s = text; return s.Capacity(); };
    EXPECT_EQ(5, capacityAfter(L"1234"));
    EXPECT_EQ(6, capacityAfter(L"12345"));
    s.Append(s.Buffer() + 3);   // a part of itself, which the growth frees
    EXPECT_STREQ(L"1234545", s.Str());
    EXPECT_EQ(8, s.Capacity());
}

// Misuse ends the process after a system-modal box naming the source line. The source's name has no
// bound of its own ("long" gives 1200 characters): the text is cut at its 512-character buffer.
TEST(WStringArray, MisuseShowsTheBoxThenEndsTheProcess)
{
    const std::wstring head = L"Error in class CWStringArray\nApplication will be terminated\n";
    for (const wchar_t* mode : {L"get", L"size", L"tag", L"destroy", L"long"})
    {
        HANDLE child = Start(L"\"" + BinDir() + L"\\arrayfatal.exe\" " + mode, L"");
        wchar_t text[2048] = L"";
        for (int i = 0; i < 400 && text[0] == L'\0'; ++i, Sleep(50))
        {
            HWND box = FindWindowW(L"#32770", L"Error");
            if (box != nullptr && IsWindowVisible(box) && GetWindowTextW(GetDlgItem(box, 0xFFFF), text, 2048) > 0)
                PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        }
        EXPECT_EQ(3u, Wait(child, 30000).exitCode) << Narrow(mode);
        std::wstring shown = text, source = mode[0] == L'l' ? std::wstring(511 - head.size(), L'x') : L"wstring.cpp";
        EXPECT_TRUE(shown.find(head) == 0 && shown.find(source) != std::wstring::npos && shown.size() <= 511)
            << Narrow(shown);
    }
}

TEST(Log, WideTextComesBackWholeWithinTheLimits)
{
    TempLog log;
    const std::wstring path = L"C:\\Program Files\\Norvatek\\TEMP.^^^\\PELLIMAR64x86.SYS";
    struct Row { const char* format; std::wstring text; std::string message; };
    const Row rows[] = {
        {"Copying file %s (%d, 0x%08X)", path, "Copying file " + Narrow(path) + " (-1, 0x80070BC2)"},
        {"%s", std::wstring(578, L'x'), std::string(578, 'x')},
        {"%s", std::wstring(579, L'y'), ""},   // no room for the line end: the message goes
        // One '?' a character beyond U+00FF, a surrogate pair being one character.
        {"%s", L"\u00C9\u0100\xD83D\xDE00!", "\xC9?" "?!"},
    };
    for (const Row& r : rows)
    {
        LogEvent(r.format, r.text.c_str(), -1, 0x80070BC2u);
        EXPECT_EQ(std::vector<std::string>{r.message}, log.Take()) << r.format;
    }
}

// Each date field in its place on any day: the log's clock (this program's GetLocalTime import) reads 03/14/31.
extern "C" FARPROC __imp_GetLocalTime;
TEST(Log, TheDateIsMonthDayYear)
{
    FARPROC real = __imp_GetLocalTime;
    DWORD protection = 0;
    ASSERT_TRUE(VirtualProtect(&__imp_GetLocalTime, sizeof(real), PAGE_READWRITE, &protection));
    void(WINAPI * clock)(SYSTEMTIME*) = [](SYSTEMTIME* t) { *t = {2031, 3, 5, 14, 15, 9, 26, 0}; };
    TempLog log;
    __imp_GetLocalTime = reinterpret_cast<FARPROC>(clock), LogEvent("x"), __imp_GetLocalTime = real;
    EXPECT_EQ("[03/14/31 15:09:26][PID:", log.Take(true).at(0).substr(0, 24));
}

// The second name copy of a construction or a reset is the value name's.
TEST(RegistryEntry, AValueNameThatCannotBeCopiedLeavesTheDefaultValueAlone)
{
    ScratchRegistry hklm;
    ASSERT_TRUE(WriteRaw(L"SOFTWARE\\K", nullptr, Sz(L"default")));
    for (int row = 0; row < 6; ++row)   // three operations after a construction, then after a reset
    {
        alloc_seam::FailNth = row < 3 ? 2 : 0;
        CRegistryEntry e(HKEY_LOCAL_MACHINE, L"SOFTWARE\\K", L"V");
        if (row >= 3)
            alloc_seam::FailNth = 2, e.Reset(HKEY_LOCAL_MACHINE, L"SOFTWARE\\K", L"V");
        LONG rc = row % 3 == 0 ? e.QueryValue(nullptr, nullptr, nullptr) : row % 3 == 1 ? e.SetValue(REG_SZ, L"x", 4)
                                                                                        : e.DeleteValue();
        EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, rc) << row;
    }
    EXPECT_EQ(L"default", GetString(L"SOFTWARE\\K", nullptr));
}
