// The scan that withdraws our deletions from the pending-rename list and the cleanup of empty-string
// runs, on lists held in memory; then a fuzz that puts every input and output right before an
// inaccessible page, so that one character read or written past either ends the program.
#include <gtest/gtest.h>

#include <stdarg.h>

#include <random>

#include "system/pendingrenames.h"

namespace
{
// Formats every line as the log would, reading each string as far as the scan says it reaches.
void Sink(const wchar_t* format, ...)
{
    wchar_t line[4096];
    va_list args;
    va_start(args, format);
    _vsnwprintf(line, 4095, format, args);
    va_end(args);
}

std::wstring Z(int n = 1) { return std::wstring(n, L'\0'); }
std::wstring Del(const std::wstring& source) { return source + Z(2); }
std::wstring Ren(const std::wstring& source, const std::wstring& target) { return source + Z() + target + Z(); }
std::wstring Long(size_t chars) { return L"\\??\\C:\\" + std::wstring(chars - 7, L'x'); }

const std::wstring kPath = L"C:\\PROG~FBU\\\u00C9T\u00C9~1\\PELLMAR.SYS", kOurs = L"\\??\\" + kPath;
const std::wstring kOursLower = L"\\??\\c:\\prog~fbu\\\u00C9t\u00C9~1\\pellmar.sys";   // ASCII folded only
const std::wstring F1 = L"\\??\\C:\\Other\\one.dll", F2 = L"!\\??\\C:\\Other\\two.dll";
const std::wstring F3 = L"\\??\\C:\\Other\\three.tmp", F4 = L"\\??\\D:\\four.tmp";
const PendingListAction Keep = PendingListKeep, Rewrite = PendingListRewrite, Delete = PendingListDelete;
}  // namespace

TEST(PendingRenames, ScanWithdrawsOnlyOurDeletionsAndKeepsEveryOtherCharacter)
{
    struct Row { const char* name; std::wstring value; PendingListAction action; std::wstring out; };
    const Row rows[] = {
        {"OursBetweenOthers", Ren(F1, F2) + Del(kOurs) + Del(F3) + Z(), Rewrite, Ren(F1, F2) + Del(F3) + Z()},
        {"TwoOfOurs", Del(kOurs) + Del(F3) + Del(kOurs) + Z(), Rewrite, Del(F3) + Z()},
        {"RenameOfOurFileKept", Ren(kOurs, F1) + Del(kOurs) + Z(), Rewrite, Ren(kOurs, F1) + Z()},
        {"AsciiCaseFolded", Del(kOursLower) + Del(F3) + Z(), Rewrite, Del(F3) + Z()},
        {"NonAsciiCaseKept", Del(L"\\??\\C:\\PROG~FBU\\\u00E9T\u00E9~1\\PELLMAR.SYS") + Z(), Keep, L""},
        {"AnyPrefixSkipped", Del(L"ab!:" + kPath) + Z(), Delete, L""}, {"Empty", L"", Keep, L""},
        {"LongerSourceNotOurs", Del(kOurs + L"x") + Del(kOurs) + Z(), Rewrite, Del(kOurs + L"x") + Z()},
        {"Strings259To600", Del(Long(259)) + Ren(F1, Long(300)) + Del(kOurs) + Del(Long(600)) + Z(), Rewrite,
         Del(Long(259)) + Ren(F1, Long(300)) + Del(Long(600)) + Z()},
        {"MissingTargetNul", Del(kOurs) + F1 + Z() + F2, Rewrite, Ren(F1, F2) + Z()},
        {"MissingClosingNul", Del(F3) + Del(kOurs), Rewrite, Del(F3) + Z()},
        {"SourceWithoutTarget", Del(kOurs) + F1, Rewrite, Del(F1) + Z()},
        {"SourceNulLast", Del(kOurs) + F1 + Z(), Rewrite, Del(F1) + Z()},
        // An empty string where a pair would start ends the list; what follows goes back as it was.
        {"TailKept", Del(kOurs) + Del(F3) + Z() + Del(F4) + Del(kOurs) + Z() + L"x", Rewrite,
         Del(F3) + Z() + Del(F4) + Del(kOurs) + Z() + L"x"},
        {"OursAfterTheEndNotSeen", Ren(F1, F2) + Z() + Del(kOurs) + Z(), Keep, L""},
        {"OnlyOursThenText", Del(kOurs) + Z() + L"A", Rewrite, Z() + L"A"},
        {"NoneOurs", Ren(F1, F2) + Del(F3) + Z(), Keep, L""}, {"OnlyOurs", Del(kOurs) + Del(kOurs) + Z(2), Delete, L""},
    };
    for (const Row& r : rows)
    {
        int n = static_cast<int>(r.value.size()), room = n + kPendingListSupplied, outChars = -1;
        std::wstring out(room + 4, L'#');
        const wchar_t* data = r.value.data();
        EXPECT_EQ(r.action, ScanPendingRenameList(data, n, kPath.c_str(), &out[0], room, &outChars, Sink)) << r.name;
        EXPECT_EQ(r.out, out.substr(0, outChars)) << r.name;
        EXPECT_EQ(L"####", out.substr(room)) << r.name;
        // Less room than that is refused, never overrun.
        EXPECT_EQ(Keep, ScanPendingRenameList(data, n, kPath.c_str(), &out[0], room - 1, &outChars, Sink));
    }
}

TEST(PendingRenames, CompactShortensRunsOfEmptyStringsIntoACompleteList)
{
    struct Row { std::wstring value; bool write; std::wstring out; };
    const Row rows[] = {
        {Del(F1) + Z(2) + Ren(F2, F3) + Z(), true, Del(F1) + Ren(F2, F3) + Z()},
        {Ren(F1, F2) + Z(5) + Del(F3) + Z(3) + Del(F4) + Z(), true, Ren(F1, F2) + Z() + Del(F3) + Del(F4) + Z()},
        // A run that is the value's tail keeps three NULs: a deletion's empty target and the closing NUL.
        {Del(F1) + Z(9), true, Del(F1) + Z()}, {Ren(F1, F2) + Z(4), true, Ren(F1, F2) + Z(2)}, {Z(6), true, Z(3)},
        {Ren(F1, F2) + Del(F3) + Z(), false}, {Del(F1) + Z() + Del(F2), false},   // this one would lack its end
    };
    for (const Row& r : rows)
    {
        int n = static_cast<int>(r.value.size());
        for (bool inPlace : {false, true})
        {
            std::wstring in = r.value + L"##", out(n + 2, L'#');
            wchar_t* target = inPlace ? &in[0] : &out[0];
            int outChars = -1;
            EXPECT_EQ(r.write, CompactPendingRenameList(in.data(), n, target, &outChars) != FALSE) << n;
            EXPECT_EQ(L"##", std::wstring(target + n, 2));
            EXPECT_EQ(r.out, r.write ? std::wstring(target, outChars) : L"") << n << inPlace;
        }
    }
}

namespace
{
// 64 KiB followed by one inaccessible page (4 KiB on x64).
struct Guarded
{
    BYTE* base = static_cast<BYTE*>(VirtualAlloc(nullptr, 65536 + 4096, MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    bool ok = base != nullptr && VirtualProtect(base + 65536, 4096, PAGE_NOACCESS, &old);
    ~Guarded() { VirtualFree(base, 0, MEM_RELEASE); }
    wchar_t* End(size_t chars) { return reinterpret_cast<wchar_t*>(base + 65536) - chars; }
};

// A fault ends the program at once with its code: Wine would otherwise start a debugger and wait.
LONG WINAPI ExitWithFaultCode(EXCEPTION_POINTERS* info)
{
    TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Our path in both cases, strings of the lengths that once broke the scan, runs of NULs and short runs
// of the characters that make prefixes and separators, sometimes cut off anywhere.
std::wstring RandomValue(std::mt19937& rng)
{
    static const wchar_t kChars[] = {0, 0, L'\\', L'?', L'C', L'c', L':', 0xC9, 0x100};
    static const size_t kLengths[] = {7, 258, 259, 260, 300, 600};
    std::wstring value;
    for (int count = rng() % 12; count > 0; --count)
    {
        unsigned kind = rng() % 5;
        const std::wstring pieces[] = {kOurs, kOursLower, Z(1 + rng() % 3), Long(kLengths[rng() % 6]), L""};
        value += pieces[kind];
        for (int i = kind == 4 ? rng() % 8 : 0; i > 0; --i)
            value += kChars[rng() % 9];
    }
    if (rng() % 4 == 0)
        value.resize(rng() % (value.size() + 1));
    return value;
}
}  // namespace

TEST(PendingRenames, NothingPastTheValueIsReadNorPastTheOutputWritten)
{
    Guarded in, out;   // the guard is real: the last character can be written, the next one not even read
    ASSERT_TRUE(in.ok && out.ok && !IsBadWritePtr(in.End(1), 2) && IsBadReadPtr(in.End(0), 2));
    SetUnhandledExceptionFilter(ExitWithFaultCode);
    std::mt19937 rng(20261206);
    for (int round = 0; round < 40000; ++round)
    {
        std::wstring value = RandomValue(rng);
        int n = static_cast<int>(value.size()), room = n + kPendingListSupplied, outChars = -1;
        wchar_t* data = in.End(n);
        value.copy(data, n);
        PendingListAction action = ScanPendingRenameList(data, n, kPath.c_str(), out.End(room), room, &outChars, Sink);
        ASSERT_TRUE(action == Rewrite ? outChars > 0 && outChars <= room : outChars == 0) << round;
        // The cleanup, into another buffer and in place.
        CompactPendingRenameList(data, n, out.End(n), &outChars);
        ASSERT_LE(outChars, n) << round;
        CompactPendingRenameList(data, n, data, &outChars);
        ASSERT_LE(outChars, n) << round;
    }
}
