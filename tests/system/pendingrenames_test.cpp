// The scan that withdraws our deletions and the cleanup of empty-string runs, case by case on lists
// held in memory: what is kept, what goes, what is logged and when the value is left alone.
#include <gtest/gtest.h>

#include "pendinglist_helpers.h"
#include "system/pendingrenames.h"

using namespace pendinglist;

namespace
{
const std::wstring kPath = L"C:\\PROG~FBU\\COMM~CP1\\NORV~K3Q\\PELLMAR.SYS";
const std::wstring kOurs = L"\\??\\" + kPath;
const std::wstring kF1 = L"\\??\\C:\\Other\\one.dll";
const std::wstring kF2 = L"\\??\\C:\\Other\\two.dll";
const std::wstring kF3 = L"\\??\\C:\\Other\\three.tmp";
const std::wstring kF4 = L"\\??\\C:\\Other\\four.tmp";

const std::wstring kFirstTemp = L"  First temp string about to buffer overflow, bailing out.";
const std::wstring kSecondTemp = L"  Second temp string about to buffer overflow, bailing out.";
const std::wstring kFirstOut = L"  First string to output buffer about to buffer overflow, bailing out.";
const std::wstring kSecondOut = L"  Second string to output buffer about to buffer overflow, bailing out.";
const std::wstring kCritical =
    L"  Due to critical error, not modifying the PendingFileRenameOperations registry value.";
const std::wstring kNone = L"  None of our files are marked for deletion.  Not modifying the "
                           L"PendingFileRenameOperations registry value.";
const std::wstring kUpdating = L"  Updating registry with new PendingFileRenameOperations.";
const std::wstring kDeleting = L"  Deleting empty PendingFileRenameOperations registry value.";

std::wstring Marked(const std::wstring& source) { return L"  File marked for deletion: " + source; }
std::wstring Unmark(const std::wstring& source) { return L"  *Unmarking file from deletion: " + source; }
std::wstring Renamed(const std::wstring& s, const std::wstring& t) { return L"  File marked for rename: " + s + L" -> " + t; }

// A path of exactly length characters behind the native prefix.
std::wstring LongPath(size_t length) { return L"\\??\\C:\\" + std::wstring(length - 7, L'x'); }

struct ScanCase
{
    const char* name;
    std::wstring value;
    std::wstring path;
    PendingListAction action;
    std::wstring output;   // the rewritten list, closing NUL included
    std::vector<std::wstring> log;
    int outCapacity;       // -1: as many characters as the value holds, as the installer passes
};

std::vector<ScanCase> ScanCases()
{
    const std::wstring t258 = L"\\??\\D:\\" + std::wstring(251, L't');
    const std::wstring t259 = t258 + L"t";
    const std::wstring nonAscii = L"C:\\PROG~FBU\\\u00C9T\u00C9.SYS";
    return {
        {"EmptyValue", L"", kPath, PendingListKeep, L"", {kNone}, -1},
        {"OnlyOurDeletion", Del(kOurs) + Z(), kPath, PendingListDelete, L"", {Marked(kOurs), Unmark(kOurs), kDeleting}, -1},
        {"OursBetweenTwoForeignEntries", Ren(kF1, kF2) + Del(kOurs) + Del(kF3) + Z(), kPath, PendingListRewrite,
         Ren(kF1, kF2) + Del(kF3) + Z(), {Renamed(kF1, kF2), Marked(kOurs), Unmark(kOurs), Marked(kF3), kUpdating}, -1},
        {"TwoDeletionsOfTheSamePath", Del(kOurs) + Del(kF3) + Del(kOurs) + Z(), kPath, PendingListRewrite, Del(kF3) + Z(),
         {Marked(kOurs), Unmark(kOurs), Marked(kF3), Marked(kOurs), Unmark(kOurs), kUpdating}, -1},
        {"PrefixSkippedWhateverItHolds", Del(L"ab!:" + kPath) + Z(), kPath, PendingListDelete, L"",
         {Marked(L"ab!:" + kPath), Unmark(L"ab!:" + kPath), kDeleting}, -1},
        {"RenameOfOurFileIsKept", Ren(kOurs, kF1) + Z(), kPath, PendingListKeep, L"", {Renamed(kOurs, kF1), kNone}, -1},
        {"RenameKeptWhileOurDeletionGoes", Ren(kOurs, kF1) + Del(kOurs) + Z(), kPath, PendingListRewrite,
         Ren(kOurs, kF1) + Z(), {Renamed(kOurs, kF1), Marked(kOurs), Unmark(kOurs), kUpdating}, -1},
        {"AsciiCaseDifferenceIsRemoved", Del(L"\\??\\c:\\prog~fbu\\comm~cp1\\norv~k3q\\pellmar.sys") + Z(), kPath,
         PendingListDelete, L"",
         {Marked(L"\\??\\c:\\prog~fbu\\comm~cp1\\norv~k3q\\pellmar.sys"),
          Unmark(L"\\??\\c:\\prog~fbu\\comm~cp1\\norv~k3q\\pellmar.sys"), kDeleting}, -1},
        {"NonAsciiCaseDifferenceIsKept", Del(L"\\??\\C:\\PROG~FBU\\\u00E9T\u00E9.SYS") + Z(), nonAscii, PendingListKeep,
         L"", {Marked(L"\\??\\C:\\PROG~FBU\\\u00E9T\u00E9.SYS"), kNone}, -1},
        {"NonAsciiSameCaseIsRemoved", Del(L"\\??\\c:\\prog~fbu\\\u00C9t\u00C9.sys") + Z(), nonAscii, PendingListDelete,
         L"", {Marked(L"\\??\\c:\\prog~fbu\\\u00C9t\u00C9.sys"), Unmark(L"\\??\\c:\\prog~fbu\\\u00C9t\u00C9.sys"), kDeleting},
         -1},
        {"Source258CharsIsAccepted", Del(LongPath(258)) + Del(kOurs) + Z(), kPath, PendingListRewrite,
         Del(LongPath(258)) + Z(), {Marked(LongPath(258)), Marked(kOurs), Unmark(kOurs), kUpdating}, -1},
        {"Source259CharsIsCritical", Del(LongPath(259)) + Del(kOurs) + Z(), kPath, PendingListKeep, L"",
         {kFirstTemp, kCritical}, -1},
        {"Target258CharsIsAccepted", Ren(kF1, t258) + Del(kOurs) + Z(), kPath, PendingListRewrite, Ren(kF1, t258) + Z(),
         {Renamed(kF1, t258), Marked(kOurs), Unmark(kOurs), kUpdating}, -1},
        {"Target259CharsIsCritical", Ren(kF1, t259) + Del(kOurs) + Z(), kPath, PendingListKeep, L"",
         {kSecondTemp, kCritical}, -1},
        // The rest of a source too long for its temporary is read as the target, within the data.
        {"Source300CharsRunsOnAsTarget", Del(LongPath(300)) + Del(kOurs) + Z(), kPath, PendingListKeep, L"",
         {kFirstTemp, kCritical}, -1},
        {"Source600CharsBreaksBothTemporaries", Del(LongPath(600)) + Del(kOurs) + Z(), kPath, PendingListKeep, L"",
         {kFirstTemp, kSecondTemp, kCritical}, -1},
        {"MissingClosingNulAfterDeletion", Del(kF3) + Del(kOurs), kPath, PendingListKeep, L"",
         {Marked(kF3), kSecondTemp, kCritical}, -1},
        {"MissingClosingNulAfterRename", Del(kOurs) + Ren(kF1, kF2), kPath, PendingListKeep, L"",
         {Marked(kOurs), Unmark(kOurs), kSecondTemp, kCritical}, -1},
        // A source that ends with the data has no target to read: one line only.
        {"SourceNulIsTheLastCharacter", Del(kOurs) + kF1 + Z(), kPath, PendingListKeep, L"",
         {Marked(kOurs), Unmark(kOurs), kFirstTemp, kCritical}, -1},
        {"SourceWithoutNul", Del(kOurs) + kF1, kPath, PendingListKeep, L"",
         {Marked(kOurs), Unmark(kOurs), kFirstTemp, kCritical}, -1},
        {"OneNul", Z(), kPath, PendingListKeep, L"", {kNone}, -1},
        {"OneCharacter", L"A", kPath, PendingListKeep, L"", {kFirstTemp, kCritical}, -1},
        {"EmptyStringAtPairStartEndsTheList", Del(kOurs) + Del(kF3) + Z() + Del(kF4) + Del(kOurs) + Z(), kPath,
         PendingListRewrite, Del(kF3) + Z(), {Marked(kOurs), Unmark(kOurs), Marked(kF3), kUpdating}, -1},
        {"OurDeletionAfterTheListEndIsNotSeen", Ren(kF1, kF2) + Z() + Del(kOurs) + Z(), kPath, PendingListKeep, L"",
         {Renamed(kF1, kF2), kNone}, -1},
        // "AB" sits in a temporary that still holds the earlier source beyond its NUL; from its fifth
        // character on, that stale tail reads as our path.
        {"SourceShorterThanPrefixNeverMatches", Ren(kOurs, kF1) + Del(L"AB") + Del(L"\\??\\") + Z(), kPath,
         PendingListKeep, L"", {Renamed(kOurs, kF1), Marked(L"AB"), Marked(L"\\??\\"), kNone}, -1},
        // Output limits: what is kept plus the closing NUL must fit the output buffer.
        {"OutputJustLargeEnough", Del(kOurs) + Del(kF3) + Z(), kPath, PendingListRewrite, Del(kF3) + Z(),
         {Marked(kOurs), Unmark(kOurs), Marked(kF3), kUpdating}, static_cast<int>(kF3.size()) + 3},
        {"OutputFullAfterTarget", Del(kOurs) + Del(kF3) + Z(), kPath, PendingListKeep, L"",
         {Marked(kOurs), Unmark(kOurs), Marked(kF3), kSecondOut, kCritical}, static_cast<int>(kF3.size()) + 2},
        {"OutputFullAfterSource", Del(kOurs) + Del(kF3) + Z(), kPath, PendingListKeep, L"",
         {Marked(kOurs), Unmark(kOurs), Marked(kF3), kFirstOut, kSecondOut, kCritical},
         static_cast<int>(kF3.size()) + 1},
        {"NoOutputRoom", Ren(kF1, kF2) + Z(), kPath, PendingListKeep, L"",
         {Renamed(kF1, kF2), kFirstOut, kSecondOut, kCritical}, 0},
        {"NoOutputNeeded", Del(kOurs) + Z(), kPath, PendingListDelete, L"", {Marked(kOurs), Unmark(kOurs), kDeleting}, 0},
    };
}

void PrintTo(const ScanCase& c, std::ostream* os) { *os << c.name; }

class Scan : public ::testing::TestWithParam<ScanCase>
{
};

TEST_P(Scan, KeepsRemovesAndLogs)
{
    const ScanCase& c = GetParam();
    int capacity = c.outCapacity < 0 ? static_cast<int>(c.value.size()) : c.outCapacity;
    // Sentinels beyond the capacity show any write past it.
    std::wstring out(capacity + 8, L'#');
    Captured().clear();
    int outChars = -1;
    PendingListAction action = ScanPendingRenameList(c.value.data(), static_cast<int>(c.value.size()), c.path.c_str(),
                                                     &out[0], capacity, &outChars, CaptureLog);
    EXPECT_EQ(c.action, action);
    EXPECT_EQ(c.log, Captured());
    EXPECT_EQ(std::wstring(8, L'#'), out.substr(capacity));
    if (c.action == PendingListRewrite)
    {
        ASSERT_EQ(static_cast<int>(c.output.size()), outChars);
        EXPECT_EQ(c.output, out.substr(0, outChars));
        EXPECT_TRUE(IsStrictList(out.substr(0, outChars)));
    }
    else
    {
        EXPECT_EQ(0, outChars);
    }
}

INSTANTIATE_TEST_SUITE_P(PendingRenames, Scan, ::testing::ValuesIn(ScanCases()),
                         [](const ::testing::TestParamInfo<ScanCase>& info) { return std::string(info.param.name); });

TEST(PendingRenamesScan, NullPathMatchesNothing)
{
    std::wstring value = Del(L"\\??\\") + Del(kOurs) + Z();
    std::wstring out(value.size(), L'#');
    int outChars = 0;
    Captured().clear();
    EXPECT_EQ(PendingListKeep, ScanPendingRenameList(value.data(), static_cast<int>(value.size()), nullptr, &out[0],
                                                     static_cast<int>(out.size()), &outChars, CaptureLog));
    EXPECT_EQ(kNone, Captured().back());
}

struct CompactCase
{
    const char* name;
    std::wstring value;
    bool write;
    std::wstring output;
};

std::vector<CompactCase> CompactCases()
{
    return {
        {"FourNulRunInTheMiddle", Del(kF1) + Z(2) + Ren(kF2, kF3) + Z(), true, Del(kF1) + Ren(kF2, kF3) + Z()},
        {"ThreeNulRunInTheMiddle", Del(kF1) + Z() + Del(kF2) + Z(), true, Del(kF1) + Del(kF2) + Z()},
        {"SeveralRuns", Ren(kF1, kF2) + Z(5) + Del(kF3) + Z(3) + Del(kF4) + Z(), true,
         Ren(kF1, kF2) + Z() + Del(kF3) + Del(kF4) + Z()},
        {"NoRunsNoWrite", Ren(kF1, kF2) + Del(kF3) + Z(), false, L""},
        {"NormalEndingAfterDeletion", Del(kF1) + Z(), false, L""},
        {"NormalEndingAfterRename", Ren(kF1, kF2) + Z(), false, L""},
        // A run that is the value's tail keeps three NULs, so a final deletion pair keeps its empty
        // target and the list its closing NUL.
        {"TailRunAfterDeletion", Del(kF1) + Z(2), true, Del(kF1) + Z()},
        {"LongTailRunAfterDeletion", Del(kF1) + Z(9), true, Del(kF1) + Z()},
        {"TailRunAfterRename", Ren(kF1, kF2) + Z(4), true, Ren(kF1, kF2) + Z(2)},
        {"OnlyNuls", Z(6), true, Z(3)},
        {"ThreeNulsOnly", Z(3), false, L""},
        {"Empty", L"", false, L""},
        // Shortening would pair up strings into a list without its closing NUL: left as it is.
        {"ResultWithoutEndIsNotWritten", Del(kF1) + Z() + Del(kF2), false, L""},
        {"RunBeforeUnterminatedString", Del(kF1) + Z(2) + kF2, false, L""},
    };
}

void PrintTo(const CompactCase& c, std::ostream* os) { *os << c.name; }

class Compact : public ::testing::TestWithParam<CompactCase>
{
};

TEST_P(Compact, ShortensRunsOfEmptyStrings)
{
    const CompactCase& c = GetParam();
    int n = static_cast<int>(c.value.size());
    // Into a separate buffer and in place, as the installer does it.
    for (int inPlace = 0; inPlace < 2; ++inPlace)
    {
        SCOPED_TRACE(inPlace ? "in place" : "separate output");
        std::wstring in = c.value + L"##";
        std::wstring out(n + 2, L'#');
        wchar_t* target = inPlace ? &in[0] : &out[0];
        int outChars = -1;
        BOOL write = CompactPendingRenameList(in.data(), n, target, &outChars);
        EXPECT_EQ(c.write, write != FALSE);
        EXPECT_EQ(L"##", std::wstring(target + n, 2));
        if (c.write)
            EXPECT_EQ(c.output, std::wstring(target, outChars));
    }
}

INSTANTIATE_TEST_SUITE_P(PendingRenames, Compact, ::testing::ValuesIn(CompactCases()),
                         [](const ::testing::TestParamInfo<CompactCase>& info) { return std::string(info.param.name); });
}  // namespace
