#include "runner.h"

namespace harness
{
namespace
{
std::wstring Replace(std::wstring text, const std::wstring& from, const std::wstring& to)
{
    for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The log line checks of a step: exact messages, "!" absent ones, "~" parts of some line ("!~" of none).
void CheckLines(const Context& c, const Step& step, const InstallerRun& run)
{
    for (std::string line : step.lines)
    {
        bool absent = line[0] == '!', part = line[absent] == '~';
        line = Narrow(Expand(c, Widen(line.substr(absent + part))));
        bool found = run.Has(line);
        for (size_t i = 0; part && !found && i < run.log.size(); ++i)
            found = run.log[i].find(line) != std::string::npos;
        EXPECT_EQ(!absent, found) << (absent ? "unexpected" : "missing") << " log line: " << line;
    }
}

// Short names exist only while their files do: they are kept from when they last did.
void RememberNames(Context& c)
{
    const std::pair<const char*, std::wstring> files[] = {
        {"$ours", c.where.driversDir + L"\\PELLIMAR64x86.SYS"}, {"$sown", c.OwnCopy()},
        {"$sshared", c.where.sharedDir + L"\\TOVRAND64x86.EXE"}, {"$sdir", c.where.sharedDir}};
    for (const auto& f : files)
    {
        std::wstring name = ShortPath(f.second);
        if (!name.empty())
            c.names[f.first] = std::string(f.first) == "$ours" ? L"\\??\\" + name : name;
    }
}
}  // namespace

void ForgetSelfDeleteCopies(const Context& c)
{
    DropPending([&c](const std::wstring& source, const std::wstring&) {
        for (const std::wstring& temp : c.temps)
            if (!temp.empty() && source.size() > 4 && _wcsnicmp(source.c_str() + 4, temp.c_str(), temp.size()) == 0)
                return true;
        return false;
    });
}

void RunStep(Context& c, const Step& step, bool check)
{
    c.updaterRuns = UpdaterRuns();
    RememberNames(c);
    if (step.before)
        step.before(c);
    RememberNames(c);
    if (step.run)
    {
        std::wstring exe = step.exe.empty()        ? c.OwnCopy()
                           : step.exe[0] == L'$'   ? Expand(c, step.exe)
                           : step.exe == L"built"  ? InstallerPath()
                           : step.exe == L"shared" ? c.where.sharedDir + L"\\TOVRAND64x86.EXE"
                                                   : BinDir() + L"\\variants\\" + step.exe + L"\\TOVRAND64x86.EXE";
        if (step.exe.empty() && !FileExists(exe))
            CopyFileW(InstallerPath().c_str(), exe.c_str(), FALSE);
        ScratchDir scratch;
        std::wstring temp = step.temp.empty() ? scratch.Path() : Expand(c, step.temp);
        c.temps.insert(c.temps.end(), {ShortPath(temp), temp});
        c.last = RunInstaller(exe, Expand(c, step.args), temp, Expand(c, step.cwd), step.wait);
        if (step.wait)
            ForgetSelfDeleteCopies(c);
        RememberNames(c);
        EXPECT_TRUE(c.last.process.finished) << "start error " << c.last.process.startError;
        EXPECT_EQ(step.exit, c.last.process.exitCode);
        EXPECT_EQ(step.box.empty() ? 0 : 1, c.last.boxes) << Narrow(c.last.box);
        if (!step.box.empty())
            EXPECT_EQ(step.box, c.last.box);
        CheckLines(c, step, c.last);
    }
    if (step.after)
        step.after(c);
    if (!step.expect.empty())
    {
        std::wstring words = L" " + step.args + L" ";
        ExpectState(c, c.xp && !step.expectXp.empty() ? step.expectXp : step.expect,
                    words.find(L" /U ") != std::wstring::npos);
        if (check)
            TovCheck(L"/JSON", step.checkExit, std::vector<std::string>(step.checkExit == 0 ? 0 : 1, "*"))(c);
    }
}

void ExpectState(const Context& c, const std::string& outline, bool afterUninstall)
{
    State expected = Expected(c.where, Narrow(Expand(c, Widen(outline))), c.xp, afterUninstall, c.updaterRuns);
    State found = Describe(c.where, c.baseline);
    EXPECT_EQ("", Differences(expected, found)) << "whole machine:\n" << Show(found);
}

std::string Differences(const State& expected, State found)
{
    std::string differences;
    for (const auto& field : expected)
        if (field.second != "*" && found[field.first] != field.second)
            differences += "  " + field.first + ":\n    expected '" + field.second + "'\n    found    '" +
                           found[field.first] + "'\n";
    return differences;
}

Step Install(const char* product, const std::wstring& extra)
{
    std::wstring name = L"PRODUCT" + Widen(product);
    return Run(L"/Q " + extra + (extra.empty() ? L"" : L" ") + name).Before([name](Context&) {
        WriteRaw(kInstalledApps, name.c_str(), Sz(L"C:\\Products\\" + name));
        WriteRaw(kSharedUsage, name.c_str(), Sz(L"1"));
    });
}

Step Uninstall(const char* product, const std::wstring& extra)
{
    std::wstring name = L"PRODUCT" + Widen(product);
    return Run(L"/U /Q " + extra + (extra.empty() ? L"" : L" ") + name).After([name](Context&) {
        WriteRaw(kInstalledApps, name.c_str(), RawValue());
    });
}

Step Run(const std::wstring& args)
{
    return {.args = args};
}

Step Do(Op op)
{
    return {.before = std::move(op), .run = false};
}

void Context::Hold(const std::wstring& what)
{
    holders.emplace_back(new Holder(Expand(*this, what)));
    ASSERT_TRUE(holders.back()->Ready()) << "cannot hold " << Narrow(what);
}

std::wstring Expand(const Context& c, const std::wstring& text)
{
    std::wstring out = text;
    // Longer names first: "$sshared" before "$shared".
    for (const auto& n : c.names)
        out = Replace(out, Widen(n.first), n.second);
    const std::pair<const char*, std::wstring> places[] = {
        {"$drivers", c.where.driversDir}, {"$maker", c.where.makerDir}, {"$shared", c.where.sharedDir},
        {"$temp", c.where.tempDir},       {"$work", c.work.Path()},     {"$setup", c.setup.Path()},
        {"$payload", BinDir() + L"\\payload"}, {"$bin", BinDir()},
        {"$windows", c.where.windowsDir}, {"$programs", c.where.programFiles}};
    for (const auto& p : places)
        out = Replace(out, Widen(p.first), p.second);
    return out;
}

Op Set(const std::wstring& key, const std::wstring& name, const RawValue& value)
{
    return [key, name, value](Context& c) { WriteRaw(Expand(c, key), Expand(c, name).c_str(), value); };
}

Op SetSystem(const std::wstring& n, const RawValue& value)
{
    return [n, value](Context& c) {
        RawValue old = ReadRaw(kCurrentVersion, n.c_str());
        c.undo.push_back([n, old](Context&) { WriteRaw(kCurrentVersion, n.c_str(), old); });
        WriteRaw(kCurrentVersion, n.c_str(), value);
    };
}

Op Change(const wchar_t* product, bool release, DWORD before, DWORD after, bool live, DWORD makerBefore,
          DWORD makerAfter)
{
    return [=](Context&) {
        struct { DWORD owner; FILETIME started; DWORD release, before[2], after[2]; } change = {
            live ? GetCurrentProcessId() : 0, {}, release, {before, makerBefore}, {after, makerAfter}};
        FILETIME exited, kernel, user;
        if (live)
            GetProcessTimes(GetCurrentProcess(), &change.started, &exited, &kernel, &user);
        WriteRaw(std::wstring(kPellimarKey) + L"\\" + product, L"CountChange",
                 {true, REG_BINARY, std::string(reinterpret_cast<const char*>(&change), sizeof(change))});
    };
}

Op HoldFile(const std::wstring& path, DWORD share)
{
    return [path, share](Context& c) { c.Hold(L"file \"" + Expand(c, path) + L"\" " + std::to_wstring(share)); };
}

Op Pending(const std::vector<std::wstring>& strings)
{
    return [strings](Context& c) {
        std::vector<std::wstring> all = PendingStrings();
        for (const std::wstring& s : strings)
            all.push_back(Expand(c, s));
        SetPending(all);
        c.baseline = PendingStrings();
    };
}

Op Reboot()
{
    return [](Context& c) {
        c.holders.clear();
        ASSERT_TRUE(harness::Restart());
        c.baseline = PendingStrings();
        c.where = Where();
    };
}

Op Os(const std::wstring& version)
{
    return [version](Context&) { SetWindowsVersion(version); };
}

Op PlaceShared(const std::wstring& variant)
{
    return [variant](Context& c) {
        CreateDirectoryW(c.where.sharedDir.c_str(), nullptr);
        std::wstring from = variant == L"built" ? InstallerPath()
                                                : BinDir() + L"\\variants\\" + variant + L"\\TOVRAND64x86.EXE";
        ASSERT_TRUE(CopyFileW(from.c_str(), (c.where.sharedDir + L"\\TOVRAND64x86.EXE").c_str(), FALSE));
    };
}

Op HoldDriverAsLoaded()
{
    return Step::Then(Bytes(L"$drivers\\PELLIMAR64x86.SYS", L"$bin\\testdata\\driver-1.0.0.0\\PELLIMAR64x86.SYS"),
                      HoldFile(L"$drivers\\PELLIMAR64x86.SYS"));
}

Op ReadOnly(const std::vector<std::wstring>& paths)
{
    return [paths](Context& c) {
        for (const std::wstring& p : paths)
            ASSERT_TRUE(SetFileAttributesW(Expand(c, p).c_str(), FILE_ATTRIBUTE_READONLY)) << Narrow(p);
    };
}

Op Bytes(const std::wstring& path, const std::wstring& from)
{
    return [path, from](Context& c) {
        ASSERT_TRUE(WriteFileBytes(Expand(c, path), ReadFileBytes(Expand(c, from)))) << Narrow(path);
    };
}

Op Write(const std::wstring& path, const std::string& bytes)
{
    return [path, bytes](Context& c) { ASSERT_TRUE(WriteFileBytes(Expand(c, path), bytes)) << Narrow(path); };
}

Op Delete(const std::wstring& path)
{
    return [path](Context& c) { DeleteFileW(Expand(c, path).c_str()); };
}

Op SameBytes(const std::wstring& path, const std::wstring& as)
{
    return [path, as](Context& c) {
        std::string a = ReadFileBytes(Expand(c, path));
        EXPECT_TRUE(!a.empty() && a == ReadFileBytes(Expand(c, as))) << Narrow(path) << " is not " << Narrow(as);
    };
}

std::vector<Row> Rows(const std::vector<Case>& cases)
{
    std::vector<Row> rows;
    for (const Case& c : cases)
        for (bool xp : {false, true})
            if (c.os & (xp ? Xp : Vista))
                rows.push_back({&c, xp});
    return rows;
}

void PrintTo(const Row& row, std::ostream* os)
{
    *os << row.c->name << (row.xp ? " before Vista" : "");
}

std::string RowName(const ::testing::TestParamInfo<Row>& info)
{
    return info.param.c->name + (info.param.c->os == Both ? (info.param.xp ? "_Xp" : "_Vista") : "");
}

void Prepare(Context& c, const std::vector<Step>& before)
{
    CleanMachine();
    PlaceBystanders();
    c.where = Where();
    c.baseline = PendingStrings();
    for (const Step& step : before)
        RunStep(c, step, false);
}

void RunCase(const Row& row)
{
    if (row.xp && !IsWine())
        GTEST_SKIP() << "needs Wine's per-program Windows version";
    {
        Context c;
        Prepare(c, {});
        c.xp = row.xp;
        if (row.xp)
            SetWindowsVersion(L"winxp64");
        for (size_t i = 0; i < row.c->steps.size() && !::testing::Test::HasFatalFailure(); ++i)
        {
            SCOPED_TRACE("step " + std::to_string(i + 1) + ": " + Narrow(row.c->steps[i].args));
            RunStep(c, row.c->steps[i], row.c->check);
        }
        WaitForInstallers(40000);
        c.holders.clear();
        for (auto undo = c.undo.rbegin(); undo != c.undo.rend(); ++undo)
            (*undo)(c);
    }
    CleanMachine();
}
}  // namespace harness
