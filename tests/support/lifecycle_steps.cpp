#include "lifecycle_steps.h"

#include "scratch_registry.h"

namespace harness
{
InstallerRun RunIn(const std::wstring& args, const std::wstring& tempDir, const std::wstring& exe)
{
    InstallerRun run;
    {
        MessageBoxAnswerer answerer(L"Pellimar Installer");
        run.process = harness::Run(L"\"" + (exe.empty() ? InstallerPath() : exe) + L"\" " + args, tempDir);
        run.box = answerer.Text();
        run.boxes = answerer.Count();
    }
    run.log = ReadLog(tempDir);
    for (const std::string& line : run.log)
        run.messages.push_back(MessageOf(line));
    return run;
}

std::wstring CopyOfInstaller(const ScratchDir& dir)
{
    std::wstring copy = dir.File(L"TOVRAND64x86.EXE");
    CopyFileW(InstallerPath().c_str(), copy.c_str(), FALSE);
    return copy;
}

std::string WaitForSelfDelete(const std::wstring& ownCopy, const std::wstring& tempDir)
{
    std::wstring temporary = tempDir + L"\\TOVRAND64x86.EXE";
    std::wstring shortPath = ShortPath(temporary);
    for (int waited = 0; waited < 40000; waited += 100)
    {
        if (shortPath.empty())
            shortPath = ShortPath(temporary);
        if (!shortPath.empty() && !FileExists(ownCopy))
        {
            std::vector<std::wstring> now = PendingRenameStrings();
            for (size_t i = 0; i + 1 < now.size(); i += 2)
                if (now[i] == L"\\??\\" + shortPath && now[i + 1].empty())
                    return PendingPair(now[i], now[i + 1]);
        }
        Sleep(100);
    }
    return "";
}

void ForgetSelfDelete(const std::wstring& tempDir)
{
    std::wstring temporary = tempDir + L"\\TOVRAND64x86.EXE";
    std::wstring shortPath = ShortPath(temporary);
    // The copy schedules itself as its last step; its file is free once its process has ended.
    for (int waited = 0; waited < 10000 && FileExists(temporary); waited += 100)
    {
        if (!DeleteFileW(temporary.c_str()))
            Sleep(100);
    }
    if (!shortPath.empty())
        PendingBaseline::Drop(L"\\??\\" + shortPath, L"");
}
std::vector<std::string> Words(const std::string& text)
{
    std::vector<std::string> words;
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            words.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

InstallerState ExpectedAfter(const Step& step, bool beforeVista)
{
    InstallerState s;
    switch (step.phase)
    {
    case Phase::NoTrace:
        return NoTrace();
    case Phase::UpdateOnly:
        // Start-up makes the maker's directory (for the payload) and the shared folder with its manifests
        // folder before it learns that there is nothing to update; only the payload is taken away again.
        // On a machine where the last product left before, what the uninstall left stays as it was.
        s = step.registrationRuns == 0 ? NoTrace() : Removed(step.registrationRuns);
        s.makerDir = "";
        s.sharedDir = "KVManifests";
        s.manifestsDir = "";
        return s;
    case Phase::Installed:
        s = Installed(step.count, Words(step.products), step.registrationRuns, beforeVista);
        // Every uninstall run removes the maker's directory when it is empty at the end, as it is from
        // Vista on, where the driver files live in the drivers directory only.
        if ((step.action == Action::Uninstall || step.action == Action::Unlisted) && !beforeVista)
            s.makerDir = "absent";
        return s;
    case Phase::Removed:
        return Removed(step.registrationRuns);
    case Phase::KeptByNoDel:
        s = Installed(0, {}, step.registrationRuns, beforeVista);
        s.mainCount = s.makerCount = s.pellimarKey = "absent";
        if (!beforeVista)
            s.makerDir = "absent";
        return s;
    }
    return s;
}

Sequence::Sequence(bool beforeVista) : m_beforeVista(beforeVista)
{
}

void Sequence::SwitchVersion(bool beforeVista)
{
    m_beforeVista = beforeVista;
    SetWindowsVersion(beforeVista ? L"winxp64" : L"");
}

bool Sequence::Restart()
{
    m_baseline.Restarted();
    return harness::Restart();
}

ForeignPendingRenames::ForeignPendingRenames()
{
    std::vector<std::wstring> entries = PendingRenameStrings();
    for (const wchar_t* e : {L"\\??\\C:\\Foreign\\setup.tmp", L"",
                             L"\\??\\C:\\Foreign\\new\\agent.dll", L"!\\??\\C:\\Foreign\\agent.dll",
                             L"\\??\\C:\\Foreign\\PELLIMAR64x86.SYS", L""})
        entries.push_back(e);
    SetPendingRenames(entries);
}

InstallerRun Sequence::Run(const Step& step, const std::string& label)
{
    return Run(step, label, ExpectedAfter(step, m_beforeVista));
}

InstallerRun Sequence::Run(const Step& step, const std::string& label, InstallerState expected)
{
    SCOPED_TRACE(label);
    std::wstring product = Widen(step.product);
    if (step.action == Action::Install)
        SetString(HKEY_LOCAL_MACHINE, kInstalledApps, product.c_str(), L"C:\\Products\\" + product);
    if (step.action == Action::Unlisted)
        DeleteValue(HKEY_LOCAL_MACHINE, kInstalledApps, product.c_str());
    bool uninstall = step.action == Action::Uninstall || step.action == Action::Unlisted;
    std::wstring own = m_setup.File(L"TOVRAND64x86.EXE");
    if (uninstall && !FileExists(own))
        CopyOfInstaller(m_setup);

    ScratchDir temp;
    InstallerRun run = RunIn(step.args, temp.Path(), uninstall ? own : L"");
    EXPECT_TRUE(run.process.finished);
    EXPECT_EQ(step.exitCode, run.process.exitCode);
    if (step.box != nullptr)
    {
        EXPECT_EQ(1, run.boxes);
        EXPECT_EQ(std::wstring(step.box), run.box);
    }
    else
    {
        EXPECT_EQ(0, run.boxes) << Narrow(run.box);
    }
    // An install-side run puts every file in place again: the installer, three driver files (twice before
    // Vista) and three manifests.
    int copies = 0;
    for (const std::string& m : run.messages)
        copies += m.compare(0, 15, "  Copying file ") == 0 ? 1 : 0;
    EXPECT_EQ(!uninstall && step.phase == Phase::Installed ? (m_beforeVista ? 10 : 7) : 0, copies);
    EXPECT_EQ(step.phase == Phase::Removed, run.Has("  Setting Tovrand delete to TRUE"));

    if (step.phase == Phase::Removed)
    {
        std::string selfDelete = WaitForSelfDelete(own, temp.Path());
        EXPECT_NE("", selfDelete) << "the self-delete did not finish";
        expected.pending += (expected.pending.empty() ? "" : " ") + selfDelete;
    }
    EXPECT_TRUE(MachineIs(expected, m_baseline));
    if (step.phase == Phase::Removed)
        ForgetSelfDelete(temp.Path());
    if (step.action == Action::Uninstall)
        DeleteValue(HKEY_LOCAL_MACHINE, kInstalledApps, product.c_str());
    return run;
}
}  // namespace harness
