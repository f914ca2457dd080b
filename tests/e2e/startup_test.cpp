// Start-up through the real installer: refused command lines, the banner, the directories and the
// payload, unsupported systems.
#include "e2e.h"

using namespace harness;

class Startup : public MachineTest
{
};

TEST_F(Startup, RefusedCommandLinesLogOnlyTheirErrorsAndTouchNothing)
{
    struct Case { const wchar_t* args; std::vector<std::string> errors; };
    const Case cases[] = {
        {L"/U", {"ERROR: Uninstall requires an AppID to be passed in as the last parameter."}},
        {L"/FORCEUPDATE PRODUCTA", {"ERROR: FORCEUPDATE can only be used in update mode."}},
        {L"/NOREGQZ /CONSUMER", {"ERROR: NOREGQZ cannot be used with CONSUMER or USEQZMANIFEST."}},
        {L"/U /FORCEUPDATE /NOREGQZ /CONSUMER",
         {"ERROR: Uninstall requires an AppID to be passed in as the last parameter.",
          "ERROR: FORCEUPDATE can only be used in update mode.",
          "ERROR: NOREGQZ cannot be used with CONSUMER or USEQZMANIFEST."}},
        {L"/Q PRODUCT\\OTHER", {"ERROR: The AppID must not contain a backslash or a control character."}},
        {L"/Q ABCDEFGHIJABCDEFGHIJABCDEFGHIJABCDEFGHIJABCDEFGH",
         {"ERROR: The AppID is longer than 47 characters."}},
    };
    for (const Case& c : cases)
    {
        InstallerRun run = RunCase(c.args);
        ASSERT_TRUE(run.process.finished) << Narrow(c.args);
        EXPECT_EQ(0u, run.process.exitCode) << Narrow(c.args);
        int first = run.Find(c.errors[0]);
        ASSERT_GE(first, 0) << Narrow(c.args);
        for (size_t i = 1; i < c.errors.size(); ++i)
            EXPECT_EQ(first + static_cast<int>(i), run.Find(c.errors[i])) << Narrow(c.args);
        EXPECT_EQ(first + static_cast<int>(c.errors.size()), run.Find("Tovrand GlobalInfo::Init() failed"));
        EXPECT_FALSE(run.Has("64-bit Installer")) << Narrow(c.args);
        EXPECT_EQ(-1, run.Find("CommandLine=" + Narrow(c.args)));
        EXPECT_FALSE(DirExists(Where().makerDir)) << Narrow(c.args);
        EXPECT_FALSE(DirExists(Where().sharedDir)) << Narrow(c.args);
        EXPECT_EQ(0, run.boxes);
    }
}

TEST_F(Startup, BannerDirectoriesAndPayloadOfAnInstall)
{
    Locations w = Where();
    // Without "Q" the closing box holds the run before the window closes: the payload is still there.
    std::vector<std::pair<std::wstring, std::string>> extracted;
    InstallerRun run;
    {
        ScratchDir temp;
        HANDLE process = Start(L"\"" + InstallerPath() + L"\" PRODUCTA", temp.Path());
        ASSERT_NE(nullptr, process);
        HWND box = nullptr;
        for (int i = 0; i < 600 && box == nullptr; ++i)
        {
            Sleep(100);
            box = FindWindowW(L"#32770", L"Pellimar Installer");
            if (box != nullptr && !IsWindowVisible(box))
                box = nullptr;
        }
        ASSERT_NE(nullptr, box) << "no closing box";
        for (const wchar_t* name : {L"PELLIMAR64x86.SYS", L"PELLMAR.KVM", L"PELLMAR.GRD", L"PELLMAR.SIG",
                                    L"PELLIMAR64x86.INF", L"PELLIMAR64x86.CAT"})
            extracted.push_back({name, ReadFileBytes(w.tempDir + L"\\" + name)});
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        run.process = Wait(process);
        run.log = ReadLog(temp.Path());
    }
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(0u, run.process.exitCode);
    for (const auto& file : extracted)
    {
        std::string embedded = ReadFileBytes(BinDir() + L"\\payload\\" + file.first);
        ASSERT_FALSE(embedded.empty()) << Narrow(file.first);
        EXPECT_EQ(embedded, file.second) << Narrow(file.first) << " differs from the payload";
    }
    // Written out at start-up, gone once the window closed.
    EXPECT_FALSE(DirExists(w.tempDir));
    EXPECT_TRUE(DirExists(w.makerDir));
    EXPECT_TRUE(DirExists(w.manifestsDir));

    const char* banner[] = {"64-bit Installer", "Compiled Version 12.9.0.22",
                            "Operating System Detected -> Windows 7",
                            "  Additional Info: dwMajorVersion      is 0x00000006",
                            "----------------------------------------------------", "CommandLine=PRODUCTA"};
    int at = -1;
    for (const char* line : banner)
    {
        int next = run.Find(line, at + 1);
        EXPECT_GT(next, at) << line;
        at = next;
    }
    EXPECT_GE(run.Find("Launched from: " + Narrow(InstallerPath())), 0);
    EXPECT_GE(run.Find("Manifests directory created."), 0);
    EXPECT_GE(run.Find("Norvatek CommonFilesDir created using " + Narrow(w.sharedDir)), 0);
    EXPECT_GE(run.Find("  Pellimar wasn't found on the system."), 0);
}

TEST_F(Startup, NoKvManifestCreatesNoManifestsDirectory)
{
    InstallerRun run = RunCase(L"/Q /NOKVMANIFEST PRODUCTA");
    ASSERT_TRUE(run.process.finished);
    EXPECT_FALSE(DirExists(Where().manifestsDir));
    EXPECT_FALSE(run.Has("Manifests directory created."));
}

TEST_F(Startup, UnsupportedSystemsAreRefusedAfterTheBanner)
{
    if (!IsWine())
        GTEST_SKIP() << "needs Wine's per-program Windows version";
    for (const wchar_t* version : {L"nt40", L"win98"})
    {
        SetWindowsVersion(version);
        InstallerRun run = RunCase(L"/Q PRODUCTA");
        SetWindowsVersion(L"");
        ASSERT_TRUE(run.process.finished) << Narrow(version);
        EXPECT_EQ(0u, run.process.exitCode);
        int refused = run.Find("Unsupported Operating System.");
        ASSERT_GE(refused, 0) << Narrow(version);
        EXPECT_EQ(refused - 1, run.Find("----------------------------------------------------"));
        EXPECT_EQ(refused + 1, run.Find("Tovrand GlobalInfo::Init() failed"));
        EXPECT_FALSE(run.Has("CommandLine=/Q PRODUCTA"));
        EXPECT_FALSE(DirExists(Where().makerDir));
    }
}

TEST_F(Startup, WindowsXpX64IsNamedAndAccepted)
{
    if (!IsWine())
        GTEST_SKIP() << "needs Wine's per-program Windows version";
    SetWindowsVersion(L"winxp64");
    InstallerRun run = RunCase(L"/Q /NOREGQZ PRODUCTA");
    SetWindowsVersion(L"");
    ASSERT_TRUE(run.process.finished);
    EXPECT_TRUE(run.Has("Operating System Detected -> Windows Server 2003 (32/64bit) or XP (x64)"));
    EXPECT_TRUE(run.Has("CommandLine=/Q /NOREGQZ PRODUCTA"));
}
