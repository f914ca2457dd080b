// bench_renames [RUNS]: times UnMarkFilesForDeletion on the bench machine's real
// "PendingFileRenameOperations" value holding 1 000 and then 10 000 foreign pairs (none of them ours,
// so the scan reads, logs and keeps every pair and writes nothing back). TEMP points at a scratch
// directory and the log is started afresh before every run, so the log's growth is not measured. The
// machine's own value is put back at the end.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"
#include "scratch_registry.h"
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

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Result
{
    double median = 0, lo = 0, hi = 0;
    bool intact = true;
};

Result Time(int pairs, int runs, const std::wstring& tempDir)
{
    Result r;
    std::wstring list = ForeignList(pairs);
    DWORD bytes = static_cast<DWORD>(list.size() * sizeof(wchar_t));
    std::wstring log = tempDir + L"\\PELLIMAR.LOG";
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i)
    {
        SetBinary(HKEY_LOCAL_MACHINE, kKey, kValue, list.data(), bytes, REG_MULTI_SZ);
        DeleteFileW(log.c_str());
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        UnMarkFilesForDeletion(kOurs);
        QueryPerformanceCounter(&end);
        ms.push_back(1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                     static_cast<double>(frequency.QuadPart));
        DWORD type = 0;
        std::string after;
        r.intact = r.intact && GetValue(HKEY_LOCAL_MACHINE, kKey, kValue, &type, &after) &&
                   after.size() == bytes && after.compare(0, bytes, reinterpret_cast<const char*>(list.data()), bytes) == 0;
    }
    r.median = Median(ms);
    r.lo = *std::min_element(ms.begin(), ms.end());
    r.hi = *std::max_element(ms.begin(), ms.end());
    return r;
}

void Print(const char* name, const Result& r, int runs)
{
    printf("  %-44s %9.1f %9.1f %9.1f %3d%s\n", name, r.median, r.lo, r.hi, runs,
           r.intact ? "" : "  ! the value was changed");
}
}  // namespace

int wmain(int argc, wchar_t** argv)
{
    int runs = argc > 1 ? _wtoi(argv[1]) : 7;
    if (runs < 1)
        runs = 7;
    DWORD savedType = 0;
    std::string saved;
    bool hadValue = GetValue(HKEY_LOCAL_MACHINE, kKey, kValue, &savedType, &saved);

    ScratchDir temp;
    SetEnvironmentVariableW(L"TEMP", temp.Path().c_str());
    SetEnvironmentVariableW(L"TMP", temp.Path().c_str());
    Time(100, 1, temp.Path());   // warm-up: the registry and the log's first creation
    Result small = Time(1000, runs, temp.Path());
    Result large = Time(10000, runs, temp.Path());

    if (hadValue)
        SetBinary(HKEY_LOCAL_MACHINE, kKey, kValue, saved.data(), static_cast<DWORD>(saved.size()), savedType);
    else
        DeleteValue(HKEY_LOCAL_MACHINE, kKey, kValue);

    printf("  %-44s %9s %9s %9s %3s\n", "UnMarkFilesForDeletion (times in ms)", "median", "min", "max", "n");
    Print("1 000 foreign pairs", small, runs);
    Print("10 000 foreign pairs", large, runs);
    double ratio = small.median > 0 ? large.median / small.median : 0;
    printf("  %-44s %8.2fx  target <= 11x: %s\n", "10 000 / 1 000", ratio, ratio <= 11 ? "met" : "MISSED");
    return 0;
}
