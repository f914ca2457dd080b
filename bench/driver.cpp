// bench_driver [RUNS]: times the installer's main cases on the bench machine against the floor, an
// empty GUI program started the same way. The clock (QueryPerformanceCounter) spans CreateProcessW to
// the end of the wait, on the Windows side: this driver's own start-up is never counted, and neither
// is the set-up of each case (cleaning the machine, installing first, copying the installer).
// Prints one table row per case with the median, the spread and the ratio to the floor, then the peak
// working set of an install next to the floor's.
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

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

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
Sample RunOnce(const std::wstring& commandLine, bool sampleMemory, DWORD creationFlags = 0)
{
    Sample s;
    ScratchDir temp;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    HANDLE process = Start(commandLine, temp.Path(), L"", creationFlags);
    if (process == nullptr)
    {
        fprintf(stderr, "cannot start %s (%lu)\n", Narrow(commandLine).c_str(), GetLastError());
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

std::wstring FloorCommand()
{
    return Quoted(BinDir() + L"\\bench_floor.exe");
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
    std::vector<double> ms;
    double target = 0;        // ratio to the floor that the case should stay under; 0: none
    int failures = 0;         // runs that did not end with exit code 0
    DWORD lastBadExit = 0;
    int copies = -1;          // files copied by the first run
};

void Add(Row& row, const Sample& s)
{
    row.ms.push_back(s.ms);
    if (!s.finished || s.exitCode != 0)
    {
        ++row.failures;
        row.lastBadExit = s.finished ? s.exitCode : 0xDEAD;
    }
    if (row.copies < 0)
        row.copies = s.copies;
}

void PrintRow(const Row& row, double floorMs)
{
    double median = Median(row.ms);
    double lo = row.ms.empty() ? 0 : *std::min_element(row.ms.begin(), row.ms.end());
    double hi = row.ms.empty() ? 0 : *std::max_element(row.ms.begin(), row.ms.end());
    char ratio[32] = "";
    char target[32] = "";
    char verdict[16] = "";
    char copies[16] = "";
    if (floorMs > 0)
        snprintf(ratio, sizeof(ratio), "%.2fx", median / floorMs);
    if (row.target > 0)
    {
        snprintf(target, sizeof(target), "<= %.0fx", row.target);
        snprintf(verdict, sizeof(verdict), "%s", median / floorMs <= row.target ? "met" : "MISSED");
    }
    if (row.copies >= 0)
        snprintf(copies, sizeof(copies), "%d", row.copies);
    printf("  %-44s %9.1f %9.1f %9.1f %3zu %7s %8s %-6s %6s\n", row.name.c_str(), median, lo, hi, row.ms.size(),
           ratio, target, verdict, copies);
    if (row.failures > 0)
        printf("    ! %d run(s) did not end with exit code 0 (last: 0x%08lX)\n", row.failures, row.lastBadExit);
}
}  // namespace

int wmain(int argc, wchar_t** argv)
{
    int runs = argc > 1 ? _wtoi(argv[1]) : 7;
    if (runs < 1)
        runs = 7;
    const std::wstring installer = Quoted(InstallerPath());

    // Warm-up, untimed: the first start of a program pays for reading it from disk.
    CleanMachine();
    RunOnce(FloorCommand(), false);
    RunOnce(installer + L" /Q PRODUCTA", false);

    Row floor{"floor: empty GUI program"};
    Row user32{"reference: empty GUI program + user32.dll"};
    Row clean{"clean install  /Q PRODUCTA", {}, 8};
    // An update-only run on a machine without the driver has nothing to do ("no action taken"); with
    // the driver current it copies the equal versions again, as every install does.
    Row noop{"no-op update  /Q (no driver installed)", {}, 4};
    Row update{"update  /Q (driver current, files recopied)"};
    Row reinstall{"re-install  /Q PRODUCTA (installed)"};
    Row uninstall{"last uninstall  /U /Q /NOREGAPPID PRODUCTA"};
    Row check{"state check  TOVCHECK64.EXE (installed, ok)"};
    Row consoleFloor{"floor: empty console program (detached)"};

    // One floor run next to every run of a case, so that a slow spell of the machine weighs on both.
    for (int i = 0; i < runs; ++i)
    {
        CleanMachine();
        Add(floor, RunOnce(FloorCommand(), false));
        Add(user32, RunOnce(FloorCommand() + L" user32", false));
        Add(clean, RunOnce(installer + L" /Q PRODUCTA", false));
    }
    CleanMachine();
    for (int i = 0; i < runs; ++i)
    {
        Add(floor, RunOnce(FloorCommand(), false));
        Add(noop, RunOnce(installer + L" /Q", false));
    }
    if (!Install())
        printf("  ! the install before the update failed\n");
    for (int i = 0; i < runs; ++i)
    {
        Add(floor, RunOnce(FloorCommand(), false));
        Add(update, RunOnce(installer + L" /Q", false));
    }
    for (int i = 0; i < runs; ++i)
    {
        Add(floor, RunOnce(FloorCommand(), false));
        Add(reinstall, RunOnce(installer + L" /Q PRODUCTA", false));
    }
    // The read-only check of the installed machine, listed under InstalledApps as a product's setup
    // does, so that it answers ok (exit code 0).
    WriteRaw(kInstalledApps, L"PRODUCTA", Sz(L""));
    // Its own floor is an empty console program started the same way.
    for (int i = 0; i < runs; ++i)
    {
        Add(floor, RunOnce(FloorCommand(), false));
        Add(consoleFloor, RunOnce(Quoted(BinDir() + L"\\bench_floor_console.exe"), false, DETACHED_PROCESS));
        // Detached: no console, so the report goes nowhere rather than into this table.
        Add(check, RunOnce(Quoted(BinDir() + L"\\TOVCHECK64.EXE"), false, DETACHED_PROCESS));
    }
    for (int i = 0; i < runs; ++i)
    {
        CleanMachine();
        if (!Install())
            printf("  ! the install before the last uninstall failed\n");
        // Run from a copy of its own, as a product's setup carries it: the last uninstall deletes the
        // file it was started from.
        ScratchDir setup;
        std::wstring own = setup.File(L"TOVRAND64x86.EXE");
        CopyFileW(InstallerPath().c_str(), own.c_str(), FALSE);
        Add(floor, RunOnce(FloorCommand(), false));
        Add(uninstall, RunOnce(Quoted(own) + L" /U /Q /NOREGAPPID PRODUCTA", false));
    }

    // Peak working set, in runs of their own (the sampling wait is not the timed one).
    std::vector<double> floorPeak, installPeak;
    for (int i = 0; i < 3; ++i)
    {
        CleanMachine();
        floorPeak.push_back(static_cast<double>(RunOnce(FloorCommand(), true).peak));
        installPeak.push_back(static_cast<double>(RunOnce(installer + L" /Q PRODUCTA", true).peak));
    }
    CleanMachine();

    double floorMs = Median(floor.ms);
    printf("  %-44s %9s %9s %9s %3s %7s %8s %-6s %6s\n", "case (times in ms)", "median", "min", "max", "n",
           "x floor", "target", "", "copied");
    PrintRow(floor, floorMs);
    PrintRow(user32, floorMs);
    PrintRow(clean, floorMs);
    PrintRow(noop, floorMs);
    PrintRow(update, floorMs);
    PrintRow(reinstall, floorMs);
    PrintRow(uninstall, floorMs);
    PrintRow(check, floorMs);
    PrintRow(consoleFloor, floorMs);
    double consoleMs = Median(consoleFloor.ms);
    double checkRatio = consoleMs > 0 ? Median(check.ms) / consoleMs : 0;
    printf("  %-44s %8.2fx  target <= 1.5x: %s\n", "state check / console floor", checkRatio,
           checkRatio <= 1.5 ? "met" : "MISSED");
    printf("\n");
    double fp = Median(floorPeak) / 1024.0;
    double ip = Median(installPeak) / 1024.0;
    printf("  %-44s %9s %9s\n", "peak working set (median of 3)", "KiB", "x floor");
    printf("  %-44s %9.0f %9s\n", "floor: empty GUI program", fp, fp > 0 ? "1.00x" : "n/a");
    if (fp > 0 && ip > 0)
        printf("  %-44s %9.0f %8.2fx  (+%.0f KiB over the floor)\n", "clean install  /Q PRODUCTA", ip, ip / fp, ip - fp);
    else
        printf("  %-44s %9.0f %9s\n", "clean install  /Q PRODUCTA", ip, "n/a");
    return 0;
}
