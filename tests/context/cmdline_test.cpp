#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/alloc.h"
#include "context/cmdline.h"
#include "context/globalinfo.h"
#include "harness.h"
#include "log_capture.h"
#include "scratch_registry.h"

namespace
{
using harness::LogCapture;

const char kUninstallNeedsAppId[] = "ERROR: Uninstall requires an AppID to be passed in as the last parameter.";
const char kNoRegAppIdWithNoDel[] = "ERROR: NOREGAPPID and NODEL cannot be used together.";
const char kForceUpdateOutsideUpdate[] = "ERROR: FORCEUPDATE can only be used in update mode.";
const char kNoRegQzWithConsumer[] = "ERROR: NOREGQZ cannot be used with CONSUMER or USEQZMANIFEST.";
const char kArgumentTooLong[] = "ERROR: A command line argument is longer than 263 characters.";
const char kAppIdTooLong[] = "ERROR: The AppID is longer than 47 characters.";
const char kAppIdBadChar[] = "ERROR: The AppID must not contain a backslash or a control character.";

// Every flag of GlobalInfo, to prove that a switch touches its own field and no other.
BOOL GlobalInfo::*const kAllFlags[] = {
    &GlobalInfo::UpdateRefCounts, &GlobalInfo::Quiet, &GlobalInfo::Log, &GlobalInfo::Uninstall,
    &GlobalInfo::RegServer, &GlobalInfo::NoVdd, &GlobalInfo::Consumer, &GlobalInfo::UpdateOnly,
    &GlobalInfo::DriverFound, &GlobalInfo::NoDel, &GlobalInfo::Repair, &GlobalInfo::RegAppId,
    &GlobalInfo::ForceUpdate, &GlobalInfo::RebootRequired, &GlobalInfo::KvManifest, &GlobalInfo::UseQzManifest,
    &GlobalInfo::NoRegQz, &GlobalInfo::Rollback, &GlobalInfo::CheckForOlderVersion, &GlobalInfo::HResult,
    &GlobalInfo::DelOnReboot,
};
}  // namespace

// ---- ParseCmdLine: switches ------------------------------------------------------------------------

TEST(ParseCmdLine, EachSwitchSetsItsOwnFieldOnly)
{
    struct Row
    {
        const wchar_t* name;
        BOOL GlobalInfo::*field;
        BOOL value;
    } rows[] = {
        {L"LOG", &GlobalInfo::Log, TRUE},
        {L"U", &GlobalInfo::Uninstall, TRUE},
        {L"Q", &GlobalInfo::Quiet, TRUE},
        {L"NODEL", &GlobalInfo::NoDel, TRUE},
        {L"REGSERVER", &GlobalInfo::RegServer, TRUE},
        {L"UNREGSERVER", &GlobalInfo::RegServer, TRUE},
        {L"NOVDD", &GlobalInfo::NoVdd, TRUE},
        {L"CONSUMER", &GlobalInfo::Consumer, TRUE},
        {L"NOREPAIR", &GlobalInfo::Repair, FALSE},
        {L"NOREGAPPID", &GlobalInfo::RegAppId, FALSE},
        {L"FORCEUPDATE", &GlobalInfo::ForceUpdate, TRUE},
        {L"NOKVMANIFEST", &GlobalInfo::KvManifest, FALSE},
        {L"USEQZMANIFEST", &GlobalInfo::UseQzManifest, TRUE},
        {L"NOREGQZ", &GlobalInfo::NoRegQz, TRUE},
        {L"ROLLBACK", &GlobalInfo::Rollback, TRUE},
        {L"CHECKFOROLDERVERSION", &GlobalInfo::CheckForOlderVersion, TRUE},
        {L"HRESULT", &GlobalInfo::HResult, TRUE},
        {L"DELONREBOOT", &GlobalInfo::DelOnReboot, TRUE},
    };
    harness::ScratchRegistry registry;   // the LOG row starts with Log clear: keep the fallback off the machine
    LogCapture log;
    const GlobalInfo defaults;
    for (const Row& row : rows)
    {
        std::wstring name = row.name;
        std::wstring lower = name;
        CharLowerW(&lower[0]);
        // FORCEUPDATE is only allowed in update mode, i.e. without an AppID.
        std::wstring tail = row.field == &GlobalInfo::ForceUpdate ? L"" : L" PRODUCTA";
        for (const std::wstring& text : {L"/" + name + tail, L"-" + lower + tail, L"--" + name + L"/" + tail})
        {
            SCOPED_TRACE(harness::Narrow(text));
            GlobalInfo info;
            info.*row.field = !row.value;   // so that storing the default is visible too
            ASSERT_TRUE(ParseCmdLine(&info, text.c_str()));
            EXPECT_EQ(row.value, info.*row.field);
            for (BOOL GlobalInfo::*flag : kAllFlags)
            {
                if (flag != row.field && flag != &GlobalInfo::UpdateOnly)
                    EXPECT_EQ(defaults.*flag, info.*flag);
            }
            EXPECT_STREQ(tail.empty() ? L"" : L"PRODUCTA", info.AppId.Str());
            EXPECT_EQ(tail.empty() ? TRUE : FALSE, info.UpdateOnly);
        }
    }
    EXPECT_TRUE(log.Messages().empty());
}

TEST(ParseCmdLine, AppIdModeAndAcceptedLines)
{
    struct Case
    {
        const wchar_t* text;
        const wchar_t* appId;
        BOOL uninstall, quiet, updateOnly;
    } cases[] = {
        {L"", L"", FALSE, FALSE, TRUE},
        {L" \t \t", L"", FALSE, FALSE, TRUE},
        {L"/u /q PRODUCTA", L"PRODUCTA", TRUE, TRUE, FALSE},
        {L"PRODUCTA PRODUCTB", L"PRODUCTB", FALSE, FALSE, FALSE},
        {L"AB-CD-EF", L"ABCDEF", FALSE, FALSE, FALSE},
        {L"\"AB-CD-EF\"", L"AB-CD-EF", FALSE, FALSE, FALSE},
        {L"\"/U\"", L"/U", FALSE, FALSE, FALSE},
        {L"PRODUCTA \"\"", L"", FALSE, FALSE, TRUE},
        {L"PRODUCTA - /Q", L"", FALSE, TRUE, TRUE},
        {L"PRODUCTA -", L"PRODUCTA", FALSE, FALSE, FALSE},
        {L"LOGX", L"LOGX", FALSE, FALSE, FALSE},
        {L"LOG:1", L"LOG:1", FALSE, FALSE, FALSE},
        {L"/U /U PRODUCTA", L"PRODUCTA", TRUE, FALSE, FALSE},
        {L"/REGSERVER /UNREGSERVER /NOVDD /NOREPAIR /ROLLBACK /CHECKFOROLDERVERSION P", L"P", FALSE, FALSE, FALSE},
        {L"BAD\\ONE GOOD", L"GOOD", FALSE, FALSE, FALSE},   // only the argument that ends up as the AppID counts
        {L"\"Product \x00E9t\x00E9\"", L"Product \x00E9t\x00E9", FALSE, FALSE, FALSE},
    };
    LogCapture log;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(harness::Narrow(c.text));
        GlobalInfo info;
        EXPECT_TRUE(ParseCmdLine(&info, c.text));
        EXPECT_STREQ(c.appId, info.AppId.Str());
        EXPECT_EQ(c.uninstall, info.Uninstall);
        EXPECT_EQ(c.quiet, info.Quiet);
        EXPECT_EQ(c.updateOnly, info.UpdateOnly);
        EXPECT_FALSE(info.Uninstall && info.UpdateOnly);
        EXPECT_EQ(kAppIdChars, info.AppId.Capacity());
    }
    EXPECT_TRUE(log.Messages().empty());
}

// ---- ParseCmdLine: refusals ------------------------------------------------------------------------

TEST(ParseCmdLine, RefusalsLogEachReasonInOrder)
{
    const std::wstring len263(263, L'L');
    const std::wstring len264(264, L'L');
    const std::wstring len47(47, L'A');
    const std::wstring len48(48, L'A');
    struct Case
    {
        std::wstring text;
        std::vector<std::string> lines;   // empty: accepted
    } cases[] = {
        {L"/U", {kUninstallNeedsAppId}},
        {L"/U PRODUCTA \"\"", {kUninstallNeedsAppId}},
        {L"/NOREGAPPID /NODEL PRODUCTA", {kNoRegAppIdWithNoDel}},
        {L"/FORCEUPDATE PRODUCTA", {kForceUpdateOutsideUpdate}},
        {L"/FORCEUPDATE", {}},
        {L"/NOREGQZ /CONSUMER", {kNoRegQzWithConsumer}},
        {L"/NOREGQZ /USEQZMANIFEST", {kNoRegQzWithConsumer}},
        {L"/NOREGQZ", {}},
        {L"/U /FORCEUPDATE /NOREGQZ /CONSUMER", {kUninstallNeedsAppId, kForceUpdateOutsideUpdate, kNoRegQzWithConsumer}},
        {L"/U /NOREGAPPID /NODEL /FORCEUPDATE /NOREGQZ /USEQZMANIFEST",
         {kUninstallNeedsAppId, kNoRegAppIdWithNoDel, kForceUpdateOutsideUpdate, kNoRegQzWithConsumer}},
        {len263 + L" PRODUCTA", {}},
        {len264 + L" PRODUCTA", {kArgumentTooLong}},
        {L"/U " + len47, {}},
        {L"/U " + len48, {kAppIdTooLong}},   // an AppID was given: no uninstall complaint
        {L"/FORCEUPDATE " + len48, {kForceUpdateOutsideUpdate, kAppIdTooLong}},
        {L"ABC\\DEF", {kAppIdBadChar}},
        {L"..\\OTHERPRODUCT", {kAppIdBadChar}},
        {L"\"AB\tCD\"", {kAppIdBadChar}},
        {L"AB\x0001" L"CD", {kAppIdBadChar}},
        {L"AB\x001F" L"CD", {kAppIdBadChar}},
        {L"AB\x007F" L"CD", {kAppIdBadChar}},
        {L"GOOD AB\\CD", {kAppIdBadChar}},
        {L"/NOREGQZ /CONSUMER \"\\" + std::wstring(299, L'Z') + L"\"",
         {kNoRegQzWithConsumer, kArgumentTooLong, kAppIdTooLong, kAppIdBadChar}},
    };
    LogCapture log;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(harness::Narrow(c.text.substr(0, 80)));
        log.Clear();
        GlobalInfo info;
        EXPECT_EQ(c.lines.empty() ? TRUE : FALSE, ParseCmdLine(&info, c.text.c_str()));
        EXPECT_EQ(c.lines, log.Messages());
        EXPECT_FALSE(info.Uninstall && info.UpdateOnly);
    }
}

TEST(ParseCmdLine, RefusedLinesKeepTheirFlagsButNoUnusableAppId)
{
    LogCapture log;
    {
        GlobalInfo info;
        EXPECT_FALSE(ParseCmdLine(&info, L"/FORCEUPDATE /Q PRODUCTA"));
        EXPECT_FALSE(info.ForceUpdate);   // cleared outside update mode
        EXPECT_TRUE(info.Quiet);
        EXPECT_STREQ(L"PRODUCTA", info.AppId.Str());
    }
    {
        GlobalInfo info;
        EXPECT_TRUE(ParseCmdLine(&info, L"/FORCEUPDATE"));
        EXPECT_TRUE(info.ForceUpdate);
        EXPECT_TRUE(info.UpdateOnly);
    }
    {
        GlobalInfo info;
        EXPECT_FALSE(ParseCmdLine(&info, L"/NOREGQZ /CONSUMER /USEQZMANIFEST X"));
        EXPECT_TRUE(info.NoRegQz && info.Consumer && info.UseQzManifest);
    }
    // An AppID that is refused is never stored, not even cut short, and it replaces an earlier one.
    for (const std::wstring& bad : {std::wstring(48, L'A'), std::wstring(L"PROD\\UCT"), std::wstring(5000, L'B')})
    {
        GlobalInfo info;
        EXPECT_FALSE(ParseCmdLine(&info, (L"/U GOOD " + bad).c_str()));
        EXPECT_STREQ(L"", info.AppId.Str());
        EXPECT_TRUE(info.Uninstall);
        EXPECT_FALSE(info.UpdateOnly);
        EXPECT_EQ(kAppIdChars, info.AppId.Capacity());
    }
}

TEST(ParseCmdLine, AllocationFailureChangesNoField)
{
    LogCapture log;
    GlobalInfo info;
    alloc_seam::FailNth = 1;
    EXPECT_FALSE(ParseCmdLine(&info, L"/U /Q /NOKVMANIFEST PRODUCTA"));
    alloc_seam::FailNth = 0;
    EXPECT_EQ(std::vector<std::string>{"  ParseCmdLine: Failed to allocate memory for CCommandLine."}, log.Messages());
    const GlobalInfo defaults;
    for (BOOL GlobalInfo::*flag : kAllFlags)
        EXPECT_EQ(defaults.*flag, info.*flag);
    EXPECT_STREQ(L"", info.AppId.Str());

    // The seam is spent: the same line now parses.
    EXPECT_TRUE(ParseCmdLine(&info, L"/U /Q /NOKVMANIFEST PRODUCTA"));
    EXPECT_TRUE(info.Uninstall);
}

// ---- ParseCmdLine: the registry's LogFile setting --------------------------------------------------

TEST(ParseCmdLine, LogFileValueSwitchesLoggingOnOnlyWhenLogIsClear)
{
    const wchar_t kKey[] = L"SOFTWARE\\Norvatek\\Pellimar";
    const DWORD one = 1, zero = 0;
    const BYTE eight[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    struct Case
    {
        const char* what;
        DWORD type;
        const void* data;
        DWORD size;   // 0: no value at all
        BOOL log;
    } cases[] = {
        {"no value", REG_DWORD, nullptr, 0, FALSE},
        {"REG_DWORD 1", REG_DWORD, &one, 4, TRUE},
        {"REG_DWORD 0", REG_DWORD, &zero, 4, FALSE},
        {"REG_BINARY of four bytes", REG_BINARY, &one, 4, FALSE},
        {"REG_SZ \"1\"", REG_SZ, L"1", 4, FALSE},
        {"REG_DWORD of eight bytes", REG_DWORD, eight, 8, FALSE},
        {"REG_DWORD of two bytes", REG_DWORD, &one, 2, FALSE},
    };
    LogCapture log;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        harness::ScratchRegistry registry;
        if (c.size != 0)
            ASSERT_TRUE(harness::SetBinary(HKEY_LOCAL_MACHINE, kKey, L"LogFile", c.data, c.size, c.type));
        GlobalInfo info;
        info.Log = FALSE;
        EXPECT_TRUE(ParseCmdLine(&info, L"PRODUCTA"));
        EXPECT_EQ(c.log, info.Log);
    }
    {
        // Set from the registry, but never cleared by it.
        harness::ScratchRegistry registry;
        ASSERT_TRUE(harness::SetDword(HKEY_LOCAL_MACHINE, kKey, L"LogFile", 0));
        GlobalInfo info;
        EXPECT_TRUE(ParseCmdLine(&info, L"PRODUCTA"));
        EXPECT_TRUE(info.Log);
        info.Log = FALSE;
        EXPECT_TRUE(ParseCmdLine(&info, L"/LOG PRODUCTA"));
        EXPECT_TRUE(info.Log);
    }
    EXPECT_TRUE(log.Messages().empty());
}
