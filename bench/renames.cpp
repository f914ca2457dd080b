// bench_renames [RUNS]: times UnMarkFilesForDeletion on the bench machine's real
// "PendingFileRenameOperations" value holding 1 000 and 10 000 foreign pairs, in turns (none of them ours,
// so the scan reads, logs and keeps every pair and writes nothing back), and the whole run of
// TOVCHECK64.EXE on the 10 000 pairs; prints the medians of the per-pair ratios (each 10 000-pair scan
// against the 1 000-pair scan beside it, each check against the 10 000-pair scan beside it). TEMP points
// at a scratch directory and the log is started afresh before every run, so the log's growth is not
// measured. The machine's own value is put back at the end.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "harness.h"
#include "machine.h"
#include "stats.h"
#include "system/pendingrenames.h"

using namespace harness;

namespace
{
const wchar_t kKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kValue[] = L"PendingFileRenameOperations";
// The short path of an installed file, as the copy step passes it.
const wchar_t kOurs[] = L"C:\\PROG~FBU\\COMM~CP1\\NORV~K3Q\\PELLMAR.SYS";

// pairs foreign entries: every third a rename, the others deletions, spread over 37 directories.
std::wstring ForeignList(int pairs)
{
    std::wstring list;
    for (int i = 0; i < pairs; ++i)
    {
        wchar_t name[64];
        wsprintfW(name, L"\\??\\C:\\Foreign\\Dir%d\\file%05d.dat", i % 37, i);
        list += name;
        list.push_back(L'\0');
        if (i % 3 == 0)
            list += std::wstring(name) + L".new";
        list.push_back(L'\0');
    }
    list.push_back(L'\0');
    return list;
}

struct Result
{
    std::vector<double> ms;
    bool intact = true;
};

// One run on a value of the given list: put it in place, start the log afresh, time the scan, check
// that the value came through untouched. With check set, the state check's whole run (started detached,
// as the bench driver starts it) instead of the scan.
void TimeOnce(const std::wstring& list, const std::wstring& tempDir, Result* r, bool check = false)
{
    const RawValue value = {true, REG_MULTI_SZ, std::string(reinterpret_cast<const char*>(list.data()), list.size() * 2)};
    WriteRaw(kKey, kValue, value);
    DeleteFileW((tempDir + L"\\PELLIMAR.LOG").c_str());
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (check)
        Wait(Start(L"\"" + BinDir() + L"\\TOVCHECK64.EXE\"", tempDir, L"", DETACHED_PROCESS));
    else
        UnMarkFilesForDeletion(kOurs, nullptr);
    QueryPerformanceCounter(&end);
    r->ms.push_back(1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                    static_cast<double>(frequency.QuadPart));
    r->intact = r->intact && ReadRaw(kKey, kValue) == value;
}

void Print(const char* name, const Result& r)
{
    printf("  %-44s %7.1f %7.1f %7.1f %3zu%s\n", name, Median(r.ms), Quantile(r.ms, 0), Quantile(r.ms, 1), r.ms.size(),
           r.intact ? "" : "  ! the value was changed");
}
}  // namespace

int wmain(int argc, wchar_t** argv)
{
    int runs = argc > 1 ? _wtoi(argv[1]) : 15;
    if (runs < 1)
        runs = 15;
    RawValue saved = ReadRaw(kKey, kValue);

    ScratchDir temp;
    SetEnvironmentVariableW(L"TEMP", temp.Path().c_str());
    SetEnvironmentVariableW(L"TMP", temp.Path().c_str());
    // The runs take turns, the 1 000 pairs first in even rounds and last in odd ones, so that the two
    // runs of a pair sit side by side and a busy spell of the machine weighs on both alike.
    std::wstring small = ForeignList(1000);
    std::wstring large = ForeignList(10000);
    Result warmUp, smallResult, largeResult, checkResult;
    TimeOnce(ForeignList(100), temp.Path(), &warmUp);   // the registry and the log's first creation
    TimeOnce(small, temp.Path(), &warmUp, true);
    std::vector<double> scanRatios, checkRatios;
    for (int i = 0; i < runs; ++i)
    {
        if (i % 2 == 0)
            TimeOnce(small, temp.Path(), &smallResult), TimeOnce(large, temp.Path(), &largeResult),
                TimeOnce(large, temp.Path(), &checkResult, true);
        else
            TimeOnce(large, temp.Path(), &checkResult, true), TimeOnce(large, temp.Path(), &largeResult),
                TimeOnce(small, temp.Path(), &smallResult);
        scanRatios.push_back(largeResult.ms.back() / smallResult.ms.back());
        checkRatios.push_back(checkResult.ms.back() / largeResult.ms.back());
    }

    WriteRaw(kKey, kValue, saved);

    printf("  %-44s %7s %7s %7s %3s\n", "UnMarkFilesForDeletion (times in ms)", "median", "min", "max", "n");
    Print("1 000 foreign pairs", smallResult);
    Print("10 000 foreign pairs", largeResult);
    Print("TOVCHECK64.EXE on 10 000 foreign pairs", checkResult);
    printf("  %-44s %s  target\n", "per pair", RatioColumns());
    printf("  %-44s", "10 000 / 1 000 pairs, scan");
    PrintRatios(scanRatios);
    printf("  <= 11x %s\n", Median(scanRatios) <= 11 ? "met" : "MISSED");
    printf("  %-44s", "check / scan, 10 000 pairs");
    PrintRatios(checkRatios);
    printf("  <= 2x %s\n", Median(checkRatios) <= 2 ? "met" : "MISSED");
    return 0;
}
