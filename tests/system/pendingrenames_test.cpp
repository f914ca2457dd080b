// The scan that withdraws our pairs from the pending-rename list, on lists held in memory; a list that
// keeps changing under the scan; then a fuzz that puts every input and output right before an
// inaccessible page, so that one character read or written past either ends the program.
#include <gtest/gtest.h>

#include <stdarg.h>

#include <random>

#include "system/pendingrenames.h"
#include "unit.h"

using namespace harness;

namespace
{
// Formats every line as the log would, reading each string as far as the scan says it reaches.
void Sink(const char* format, ...)
{
    wchar_t line[4096];
    va_list args;
    va_start(args, format);
    _vsnwprintf(line, 4095, Widen(format).c_str(), args);
    va_end(args);
}

std::wstring Z(int n = 1) { return std::wstring(n, L'\0'); }
std::wstring Del(const std::wstring& source) { return source + Z(2); }
std::wstring Ren(const std::wstring& source, const std::wstring& target) { return source + Z() + target + Z(); }
std::wstring Long(size_t chars) { return L"\\??\\C:\\" + std::wstring(chars - 7, L'x'); }

const std::wstring kPath = L"C:\\PROG~FBU\\\u00C9T\u00C9~1\\PELLMAR.SYS", kOurs = L"\\??\\" + kPath;
const std::wstring kLongPath = L"C:\\Program Files\\\u00C9t\u00E9 Shared\\PELLMAR.SYS";
const std::wstring kTemp = L"\\??\\C:\\Program Files\\\u00C9t\u00E9 Shared\\PELLMAR.SY1";
// Our file's deletion under both forms, and its replacement by its temporary.
const PendingPair kPairs[] = {{kPath.c_str(), nullptr},
                              {kLongPath.c_str(), nullptr},
                              {kTemp.c_str() + 4, kLongPath.c_str()},
                              {kTemp.c_str() + 4, kPath.c_str()}};
const std::wstring kOursLower = L"\\??\\c:\\prog~fbu\\\u00C9t\u00C9~1\\pellmar.sys";   // ASCII folded only
const std::wstring F1 = L"\\??\\C:\\Other\\one.dll", F2 = L"!\\??\\C:\\Other\\two.dll";
const std::wstring F3 = L"\\??\\C:\\Other\\three.tmp", F4 = L"\\??\\D:\\four.tmp";
const PendingListAction Keep = PendingListKeep, Rewrite = PendingListRewrite, Delete = PendingListDelete;
}  // namespace

TEST(PendingRenames, ScanWithdrawsOnlyOurPairsAndKeepsEveryOtherCharacter)
{
    struct Row
    {
        const char* name;
        std::wstring value;
        PendingListAction action;
        std::wstring out;
    };
    const Row rows[] = {
        {.name = "OursBetweenOthers", .value = Ren(F1, F2) + Del(kOurs) + Del(F3) + Z(),
         .action = Rewrite, .out = Ren(F1, F2) + Del(F3) + Z()},
        {.name = "TwoOfOurs", .value = Del(kOurs) + Del(F3) + Del(kOurs) + Z(),
         .action = Rewrite, .out = Del(F3) + Z()},
        // Our file renamed elsewhere is another program's business; our temporary put over it is ours.
        {.name = "RenameOfOurFileKept", .value = Ren(kOurs, F1) + Del(kOurs) + Z(),
         .action = Rewrite, .out = Ren(kOurs, F1) + Z()},
        {.name = "OurReplacementWithdrawn", .value = Ren(kTemp, L"!" + kOurs) + Ren(kTemp, F1) + Z(),
         .action = Rewrite, .out = Ren(kTemp, F1) + Z()},
        {.name = "ReplacementWithoutReplaceFlag", .value = Ren(kTemp, kOurs) + Z(), .action = Delete, .out = L""},
        {.name = "DeletionOfTheLongForm", .value = Del(F3) + Del(L"\\??\\" + kLongPath) + Z(),
         .action = Rewrite, .out = Del(F3) + Z()},
        {.name = "AsciiCaseFolded", .value = Del(kOursLower) + Del(F3) + Z(), .action = Rewrite, .out = Del(F3) + Z()},
        {.name = "NonAsciiCaseKept", .value = Del(L"\\??\\C:\\PROG~FBU\\\u00E9T\u00E9~1\\PELLMAR.SYS") + Z(),
         .action = Keep, .out = L""},
        {.name = "AnyPrefixSkipped", .value = Del(L"ab!:" + kPath) + Z(), .action = Delete, .out = L""},
        {.name = "Empty", .value = L"", .action = Keep, .out = L""},
        {.name = "LongerSourceNotOurs", .value = Del(kOurs + L"x") + Del(kOurs) + Z(),
         .action = Rewrite, .out = Del(kOurs + L"x") + Z()},
        {.name = "Strings259To600", .value = Del(Long(259)) + Ren(F1, Long(300)) + Del(kOurs) + Del(Long(600)) + Z(),
         .action = Rewrite, .out = Del(Long(259)) + Ren(F1, Long(300)) + Del(Long(600)) + Z()},
        {.name = "MissingTargetNul", .value = Del(kOurs) + F1 + Z() + F2, .action = Rewrite, .out = Ren(F1, F2) + Z()},
        {.name = "MissingClosingNul", .value = Del(F3) + Del(kOurs), .action = Rewrite, .out = Del(F3) + Z()},
        {.name = "SourceWithoutTarget", .value = Del(kOurs) + F1, .action = Rewrite, .out = Del(F1) + Z()},
        {.name = "SourceNulLast", .value = Del(kOurs) + F1 + Z(), .action = Rewrite, .out = Del(F1) + Z()},
        // An empty string where a pair would start ends the list; what follows goes back as it was.
        {.name = "TailKept", .value = Del(kOurs) + Del(F3) + Z() + Del(F4) + Del(kOurs) + Z() + L"x",
         .action = Rewrite, .out = Del(F3) + Z() + Del(F4) + Del(kOurs) + Z() + L"x"},
        {.name = "OursAfterTheEndNotSeen", .value = Ren(F1, F2) + Z() + Del(kOurs) + Z(), .action = Keep, .out = L""},
        // Nothing of ours: the empty strings inside stay as they are, whatever they end.
        {.name = "EmptyStringsKept", .value = Del(F1) + Z() + Del(F3) + Z(), .action = Keep, .out = L""},
        {.name = "OnlyOursThenText", .value = Del(kOurs) + Z() + L"A", .action = Rewrite, .out = Z() + L"A"},
        {.name = "NoneOurs", .value = Ren(F1, F2) + Del(F3) + Z(), .action = Keep, .out = L""},
        {.name = "OnlyOurs", .value = Del(kOurs) + Del(kOurs) + Z(2), .action = Delete, .out = L""},
    };
    for (const Row& r : rows)
    {
        int n = static_cast<int>(r.value.size()), room = n + kPendingListSupplied, outChars = -1;
        std::wstring out(room + 4, L'#');
        const wchar_t* data = r.value.data();
        EXPECT_EQ(r.action, ScanPendingRenameList(data, n, kPairs, 4, true, &out[0], room, &outChars, Sink)) << r.name;
        EXPECT_EQ(r.out, out.substr(0, outChars)) << r.name;
        EXPECT_EQ(L"####", out.substr(room)) << r.name;
        // Less room than that is refused, never overrun.
        EXPECT_EQ(Keep, ScanPendingRenameList(data, n, kPairs, 4, true, &out[0], room - 1, &outChars, Sink));
    }
}

// Another program that writes the list at a moment of the run's read, scan and write: after each scan (the
// run gives up after its bounded retries and says that our deletion is still pending, instead of going on
// as if it were withdrawn; one that stops doing so is waited out), between the run's last read and its write
// (the run notices it right before it writes), right after the write with what it read before it (our
// deletion back: the run reads the value again and withdraws it again). Its rename is kept every time.
TEST(PendingRenames, AListThatChangesUnderTheRunKeepsEveryRenameAndLosesOurs)
{
    ScratchRegistry hklm;
    TempLog log;
    static pending_seam::Moment at;
    static int changes;
    const struct
    {
        pending_seam::Moment at;
        int changes;
    } rows[] = {{pending_seam::AfterScan, 1000}, {pending_seam::AfterScan, 3}, {pending_seam::BeforeWrite, 1},
                {pending_seam::AfterWrite, 1}};
    for (const auto& row : rows)
    {
        SetPending({F3, L"", kOurs, L""});
        at = row.at, changes = row.changes;
        pending_seam::At = [](pending_seam::Moment moment) {
            if (moment == at && changes-- > 0)
                SetPending(PendingStrings().size() == 6 && at == pending_seam::AfterScan
                               ? std::vector<std::wstring>{F3, L"", kOurs, L""}
                               : std::vector<std::wstring>{F3, L"", kOurs, L"", F4, L""});
        };
        BOOL withdrawn = UnMarkFilesForDeletion(kPath.c_str(), nullptr);
        pending_seam::At = nullptr;
        std::vector<std::wstring> now = PendingStrings();
        bool keepsChanging = row.changes > 20;
        EXPECT_EQ(!keepsChanging, withdrawn != FALSE) << row.at << " " << row.changes;
        EXPECT_EQ(keepsChanging, std::find(now.begin(), now.end(), kOurs) != now.end()) << row.at;
        EXPECT_TRUE(row.at == pending_seam::AfterScan || std::find(now.begin(), now.end(), F4) != now.end()) << row.at;
        std::vector<std::string> lines = log.Take();
        EXPECT_EQ(keepsChanging, std::find(lines.begin(), lines.end(),
                                           "  The PendingFileRenameOperations registry value keeps changing, not "
                                           "modifying it.") != lines.end());
    }
}

namespace
{
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
        const std::wstring pieces[] = {kOurs, kTemp, Z(1 + rng() % 3), Long(kLengths[rng() % 6]), L""};
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
        PendingListAction action =
            ScanPendingRenameList(data, n, kPairs, 4, round % 2 == 0, out.End(room), room, &outChars, Sink);
        ASSERT_TRUE(action == Rewrite ? outChars > 0 && outChars <= room : outChars == 0) << round;
    }
}
