// bench_driver [RUNS]: times the installer's main cases and the state check on the bench machine, each
// run of a case beside a run of its floor (an empty program of the same subsystem, started the same
// way). The clock (QueryPerformanceCounter) spans CreateProcessW to the end of the wait, on the Windows
// side: this driver's own start-up is never counted, and neither is the set-up of each case (cleaning
// the machine, installing first, copying the installer).
// Prints per case the median of its per-pair ratios (run / the floor run beside it) with their spread,
// then the peak working set of an install next to the floor's.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"
#include "machine.h"
#include "stats.h"

using namespace harness;

namespace
{
struct Sample
{
    double ms = 0;
    DWORD exitCode = 0;
    bool finished = false;
    SIZE_T peak = 0;     // bytes; 0 when it could not be read
    int copies = 0;      // "  Copying file " lines in the run's log
};

bool IsInstallerImage(const wchar_t* exe)
{
    if (lstrcmpiW(exe, L"TOVRAND64x86.EXE") == 0)
        return true;
    // The self-delete's temporary copies when the first name is taken: tovrand0.exe ... tovrand9.exe.
    return lstrlenW(exe) == 12 && _wcsnicmp(exe, L"tovrand", 7) == 0 && exe[7] >= L'0' && exe[7] <= L'9' &&
           lstrcmpiW(exe + 8, L".exe") == 0;
}

// The last uninstall leaves a temporary copy of the installer behind that deletes the started file and
// then ends on its own; nothing of the next run may overlap with it.
void WaitForInstallers()
{
    for (int round = 0; round < 3; ++round)
    {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE)
            return;
        bool any = false;
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        {
            if (!IsInstallerImage(entry.szExeFile))
                continue;
            HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
            if (process == nullptr)
                continue;
            any = true;
            WaitForSingleObject(process, 30000);
            CloseHandle(process);
        }
        CloseHandle(snapshot);
        if (!any)
            return;
    }
}

SIZE_T PeakOf(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    return GetProcessMemoryInfo(process, &counters, sizeof(counters)) ? counters.PeakWorkingSetSize : 0;
}

// One timed run in a fresh TEMP directory (so each run starts its own log). With sampleMemory the wait
// polls the peak working set without pause while the process lives: Windows still answers for an ended
// process whose handle is open, Wine does not (it reads the peak of the live Unix process, and the
// peak only grows, so the last reading before the end is the figure). Those runs are not the timed ones.
struct Command
{
    std::wstring line;
    DWORD flags = 0;   // creation flags
};

Sample RunOnce(const Command& command, bool sampleMemory = false)
{
    Sample s;
    ScratchDir temp;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    HANDLE process = Start(command.line, temp.Path(), L"", command.flags);
    if (process == nullptr)
    {
        fprintf(stderr, "cannot start %s (%lu)\n", Narrow(command.line).c_str(), GetLastError());
        return s;
    }
    if (sampleMemory)
    {
        for (ULONGLONG until = GetTickCount64() + 300000; GetTickCount64() < until;)
        {
            s.peak = std::max(s.peak, PeakOf(process));
            if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0)
                break;
        }
    }
    s.finished = WaitForSingleObject(process, 300000) == WAIT_OBJECT_0;
    QueryPerformanceCounter(&end);
    s.ms = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    if (!s.finished)
        TerminateProcess(process, 0xDEAD);
    GetExitCodeProcess(process, &s.exitCode);
    s.peak = std::max(s.peak, PeakOf(process));
    CloseHandle(process);
    WaitForInstallers();
    for (const std::string& message : ReadLog(temp.Path(), false))
        s.copies += message.compare(0, 15, "  Copying file ") == 0 ? 1 : 0;
    return s;
}

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

// An install of PRODUCTA that the case starts from; not timed.
bool Install()
{
    ScratchDir temp;
    Process p = RunInstaller(InstallerPath(), L"/Q PRODUCTA", temp.Path()).process;
    return p.finished && p.exitCode == 0;
}

struct Row
{
    std::string name;
    double target = 0;   // ratio to the floor that the case should stay under; 0: none
    std::vector<double> ms, floorMs, ratios;
    int failures = 0;    // runs (of the case or of its floor) that did not end with exit code 0
    DWORD lastBadExit = 0;
    int copies = -1;     // files copied by the first run
};

void Add(Row& row, std::vector<double>* ms, const Sample& s)
{
    ms->push_back(s.ms);
    if (!s.finished || s.exitCode != 0)
    {
        ++row.failures;
        row.lastBadExit = s.finished ? s.exitCode : 0xDEAD;
    }
}

// One run of the case beside one run of its floor: the floor first in even rounds, second in odd ones,
// so that neither gains from always following the other. A busy spell of the machine that slows one
// mostly slows both, and their ratio holds where the floor's own median would move with it.
void Pair(Row& row, const Command& floor, const Command& command, int round)
{
    Sample f, s;
    if (round % 2 == 0)
        f = RunOnce(floor), s = RunOnce(command);
    else
        s = RunOnce(command), f = RunOnce(floor);
    Add(row, &row.floorMs, f);
    Add(row, &row.ms, s);
    row.ratios.push_back(f.ms > 0 ? s.ms / f.ms : 0);
    if (row.copies < 0)
        row.copies = s.copies;
}

void PrintRow(const Row& row)
{
    printf("  %-44s %7.1f %7.1f ", row.name.c_str(), Median(row.ms), Median(row.floorMs));
    PrintRatios(row.ratios);
    char target[32] = "";
    if (row.target > 0)
        snprintf(target, sizeof(target), "<= %gx %s", row.target, Median(row.ratios) <= row.target ? "met" : "MISSED");
    printf("  %-14s %6d\n", target, row.copies);
    if (row.failures > 0)
        printf("    ! %d run(s) did not end with exit code 0 (last: 0x%08lX)\n", row.failures, row.lastBadExit);
}
}  // namespace

int wmain(int argc, wchar_t** argv)
{
    int runs = argc > 1 ? _wtoi(argv[1]) : 15;
    if (runs < 1)
        runs = 15;
    const Command installer{Quoted(InstallerPath())};
    const Command guiFloor{Quoted(BinDir() + L"\\bench_floor.exe")};
    // The check is a console program: its floor is an empty one. Both detached (no console), so the
    // report goes nowhere rather than into this table.
    const Command consoleFloor{Quoted(BinDir() + L"\\bench_floor_console.exe"), DETACHED_PROCESS};
    const Command check{Quoted(BinDir() + L"\\TOVCHECK64.EXE"), DETACHED_PROCESS};
    auto with = [](const Command& c, const wchar_t* args) { return Command{c.line + L" " + args, c.flags}; };

    // Warm-up, untimed: the first start of a program pays for reading it from disk.
    CleanMachine();
    for (const Command& c : {guiFloor, consoleFloor, with(installer, L"/Q PRODUCTA"), check})
        RunOnce(c);

    Row user32{"reference: empty GUI program + user32.dll"};
    Row clean{"clean install  /Q PRODUCTA", 8};
    // An update-only run on a machine without the driver has nothing to do ("no action taken"); with
    // the driver current it copies the equal versions again, as every install does.
    Row noop{"no-op update  /Q (no driver installed)", 4};
    Row update{"update  /Q (driver current, files recopied)"};
    Row reinstall{"re-install  /Q PRODUCTA (installed)"};
    Row uninstall{"last uninstall  /U /Q /NOREGAPPID PRODUCTA"};
    Row checkRow{"state check  TOVCHECK64.EXE (installed, ok)", 1.5};

    // Every case once per round, so that a busy spell of the machine falls on a few runs of every case
    // rather than on all the runs of one. Each case starts from the state the one before it leaves.
    for (int round = 0; round < runs; ++round)
    {
        CleanMachine();
        Pair(user32, guiFloor, with(guiFloor, L"user32"), round);
        Pair(noop, guiFloor, with(installer, L"/Q"), round);
        Pair(clean, guiFloor, with(installer, L"/Q PRODUCTA"), round);
        Pair(update, guiFloor, with(installer, L"/Q"), round);
        Pair(reinstall, guiFloor, with(installer, L"/Q PRODUCTA"), round);
        // Listed under InstalledApps as a product's setup does, so that the check answers ok (exit code 0).
        WriteRaw(kInstalledApps, L"PRODUCTA", Sz(L""));
        Pair(checkRow, consoleFloor, check, round);
        CleanMachine();
        if (!Install())
            printf("  ! the install before the last uninstall failed\n");
        // Run from a copy of its own, as a product's setup carries it: the last uninstall deletes the
        // file it was started from.
        ScratchDir setup;
        std::wstring own = setup.File(L"TOVRAND64x86.EXE");
        CopyFileW(InstallerPath().c_str(), own.c_str(), FALSE);
        Pair(uninstall, guiFloor, Command{Quoted(own) + L" /U /Q /NOREGAPPID PRODUCTA"}, round);
    }

    // Peak working set, in runs of their own (the sampling wait is not the timed one). The floor lingers
    // after its start-up: polled while it lives, a 20 ms program may end before a reading catches its peak.
    std::vector<double> floorPeak, installPeak, peakRatios;
    for (int i = 0; i < 3; ++i)
    {
        CleanMachine();
        floorPeak.push_back(static_cast<double>(RunOnce(with(guiFloor, L"linger"), true).peak));
        installPeak.push_back(static_cast<double>(RunOnce(with(installer, L"/Q PRODUCTA"), true).peak));
        peakRatios.push_back(floorPeak.back() > 0 ? installPeak.back() / floorPeak.back() : 0);
    }
    CleanMachine();

    std::vector<double> gui, console;
    for (const Row* row : {&user32, &noop, &clean, &update, &reinstall, &uninstall})
        gui.insert(gui.end(), row->floorMs.begin(), row->floorMs.end());
    console = checkRow.floorMs;
    printf("  %-44s %7s %7s %7s %3s\n", "floors (times in ms)", "median", "min", "max", "n");
    printf("  %-44s %7.1f %7.1f %7.1f %3zu\n", "empty GUI program (bench_floor.exe)", Median(gui), Quantile(gui, 0),
           Quantile(gui, 1), gui.size());
    printf("  %-44s %7.1f %7.1f %7.1f %3zu\n", "empty console program (bench_floor_console)", Median(console),
           Quantile(console, 0), Quantile(console, 1), console.size());
    printf("\n  %-44s %7s %7s %s  %-14s %6s\n", "case, against the floor run beside each run", "ms", "floor",
           RatioColumns(), "target", "copied");
    for (const Row* row : {&user32, &clean, &noop, &update, &reinstall, &uninstall})
        PrintRow(*row);
    printf("  against the empty console program:\n");
    PrintRow(checkRow);
    printf("\n  %-44s %9s %9s\n", "peak working set (median of 3 runs)", "KiB", "x floor");
    double fp = Median(floorPeak) / 1024.0;
    double ip = Median(installPeak) / 1024.0;
    printf("  %-44s %9.0f\n", "empty GUI program (bench_floor.exe linger)", fp);
    printf("  %-44s %9.0f", "working set: clean install  /Q PRODUCTA", ip);
    if (fp > 0 && ip > 0)
        printf(" %8.2fx  (+%.0f KiB over the floor)\n", Median(peakRatios), ip - fp);
    else
        printf(" %9s\n", "n/a");
    return 0;
}
