// The scan and the cleanup never touch a byte outside the value they are given, whatever it holds.
// Every input and every output buffer ends exactly where a PAGE_NOACCESS page begins, so a single
// character read or written past the end is an access violation that ends this test program.
#include <gtest/gtest.h>

#include <stdio.h>

#include <random>

#include "pendinglist_helpers.h"
#include "system/pendingrenames.h"

using namespace pendinglist;

namespace
{
const std::wstring kPath = L"C:\\PROG~FBU\\COMM~CP1\\NORV~K3Q\\PELLMAR.SYS";

// Committed pages followed by one inaccessible page.
class GuardedPages
{
public:
    explicit GuardedPages(size_t bytes)
    {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        size_t page = info.dwPageSize;
        m_usable = (bytes / page + 1) * page;
        m_base = static_cast<BYTE*>(VirtualAlloc(nullptr, m_usable + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        m_guarded = m_base != nullptr && VirtualProtect(m_base + m_usable, page, PAGE_NOACCESS, &old) != FALSE;
    }
    ~GuardedPages()
    {
        if (m_base != nullptr)
            VirtualFree(m_base, 0, MEM_RELEASE);
    }
    bool Ok() const { return m_guarded; }
    // Room for chars characters that end right at the guard page.
    wchar_t* Tail(size_t chars) { return reinterpret_cast<wchar_t*>(m_base + m_usable) - chars; }
    wchar_t* Place(const std::wstring& text)
    {
        wchar_t* at = Tail(text.size());
        if (!text.empty())
            memcpy(at, text.data(), text.size() * sizeof(wchar_t));
        return at;
    }

private:
    BYTE* m_base = nullptr;
    size_t m_usable = 0;
    bool m_guarded = false;
};

const size_t kMaxChars = 8192;

// An access violation ends the program at once with its code, instead of waiting for a debugger
// (Wine starts winedbg for an unhandled fault, which would hold the test until its time-out).
LONG WINAPI ExitWithExceptionCode(EXCEPTION_POINTERS* info)
{
    fprintf(stderr, "exception %08lX at %p\n", info->ExceptionRecord->ExceptionCode,
            info->ExceptionRecord->ExceptionAddress);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

// The guard is real: one character past the end faults.
TEST(PendingRenamesBoundsDeathTest, ReadingPastTheTailFaults)
{
    EXPECT_EXIT(
        {
            SetUnhandledExceptionFilter(ExitWithExceptionCode);
            GuardedPages pages(64);
            volatile wchar_t* tail = pages.Tail(4);
            volatile wchar_t ch = tail[4];
            (void)ch;
            ExitProcess(0);
        },
        ::testing::ExitedWithCode(static_cast<int>(EXCEPTION_ACCESS_VIOLATION)), "");
}

// Characters that make lists interesting: NULs, the prefix's, letters in both cases, non-ASCII.
wchar_t RandomChar(std::mt19937& rng)
{
    static const wchar_t kCommon[] = L"\\?Cc:Pp.Ss~\u00C9\u00E9";
    unsigned pick = rng() % 100;
    if (pick < 35)
        return L'\0';
    if (pick < 85)
        return kCommon[rng() % (sizeof(kCommon) / sizeof(wchar_t) - 1)];
    return static_cast<wchar_t>(rng() & 0xFFFF);
}

std::wstring RandomString(std::mt19937& rng)
{
    static const size_t kLengths[] = {0, 1, 2, 3, 4, 5, 12, 40, 257, 258, 259, 260, 261, 300, 520};
    size_t length = kLengths[rng() % (sizeof(kLengths) / sizeof(kLengths[0]))];
    std::wstring text = L"\\??\\";
    for (size_t i = 0; text.size() < length; ++i)
        text += static_cast<wchar_t>(L'a' + rng() % 26);
    return text.substr(0, length);
}

// Pairs of random strings and of our path in varied case, with empty strings between pairs, list
// endings of zero to six NULs and sometimes cut off anywhere.
std::wstring RandomList(std::mt19937& rng)
{
    std::wstring list;
    int pairs = rng() % 7;
    for (int i = 0; i < pairs; ++i)
    {
        unsigned kind = rng() % 4;
        std::wstring source = kind == 0 ? L"\\??\\" + kPath : kind == 1 ? L"\\??\\" + AsciiLower(kPath) : RandomString(rng);
        std::wstring target = rng() % 2 ? L"" : RandomString(rng);
        list += source + Z() + target + Z();
        if (rng() % 6 == 0)
            list += Z(1 + rng() % 3);
    }
    list += Z(rng() % 7);
    if (rng() % 5 == 0 && !list.empty())
        list.resize(rng() % list.size());
    return list;
}

std::wstring RandomChars(std::mt19937& rng)
{
    size_t n = rng() % 400;
    std::wstring text;
    for (size_t i = 0; i < n; ++i)
        text += RandomChar(rng);
    return text;
}

// What the scan must produce, read straight off the list's strings.
PendingListAction Expected(const std::wstring& value, size_t capacity, std::wstring* output)
{
    std::wstring kept;
    bool removed = false;
    size_t pos = 0;
    while (pos < value.size() && value[pos] != L'\0')
    {
        size_t sourceEnd = value.find(L'\0', pos);
        if (sourceEnd == std::wstring::npos || sourceEnd + 1 >= value.size() || sourceEnd - pos > 258)
            return PendingListKeep;
        size_t targetEnd = value.find(L'\0', sourceEnd + 1);
        if (targetEnd == std::wstring::npos || targetEnd + 1 >= value.size() || targetEnd - sourceEnd - 1 > 258)
            return PendingListKeep;
        std::wstring source = value.substr(pos, sourceEnd - pos);
        std::wstring target = value.substr(sourceEnd + 1, targetEnd - sourceEnd - 1);
        pos = targetEnd + 1;
        if (target.empty() && source.size() >= 4 && AsciiLower(source.substr(4)) == AsciiLower(kPath))
        {
            removed = true;
            continue;
        }
        kept += source + Z() + target + Z();
        if (kept.size() >= capacity)
            return PendingListKeep;
    }
    if (!removed)
        return PendingListKeep;
    if (kept.empty())
        return PendingListDelete;
    *output = kept + Z();
    return PendingListRewrite;
}

void NoLog(const wchar_t*, ...) {}

void CheckScan(GuardedPages& in, GuardedPages& out, const std::wstring& value, size_t capacity)
{
    const wchar_t* data = in.Place(value);
    wchar_t* output = out.Tail(capacity);
    int outChars = -1;
    PendingListAction action = ScanPendingRenameList(data, static_cast<int>(value.size()), kPath.c_str(), output,
                                                     static_cast<int>(capacity), &outChars, CaptureLog);
    std::wstring expectedOutput;
    ASSERT_EQ(Expected(value, capacity, &expectedOutput), action);
    if (action == PendingListRewrite)
    {
        ASSERT_TRUE(outChars > 0 && static_cast<size_t>(outChars) <= capacity);
        std::wstring written(output, outChars);
        ASSERT_TRUE(IsStrictList(written));
        ASSERT_EQ(expectedOutput, written);
    }
}

// Splits at NULs and drops the empty strings: what compaction must never change.
std::vector<std::wstring> NonEmptyStrings(const std::wstring& text)
{
    std::vector<std::wstring> strings;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i)
    {
        if (i == text.size() || text[i] == L'\0')
        {
            if (i > start)
                strings.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return strings;
}

void CheckCompact(GuardedPages& in, GuardedPages& out, const std::wstring& value)
{
    size_t n = value.size();
    size_t run = value.find(Z(3));
    bool hasRun = run != std::wstring::npos && run + 3 < n;
    for (int inPlace = 0; inPlace < 2; ++inPlace)
    {
        const wchar_t* data = inPlace ? out.Place(value) : in.Place(value);
        wchar_t* output = out.Tail(n);
        int outChars = -1;
        BOOL write = CompactPendingRenameList(data, static_cast<int>(n), output, &outChars);
        if (!hasRun)
            ASSERT_FALSE(write);
        if (!write)
            continue;
        ASSERT_TRUE(outChars >= 0 && static_cast<size_t>(outChars) < n);
        std::wstring written(output, outChars);
        ASSERT_TRUE(ReadPairs(written, nullptr));
        ASSERT_EQ(NonEmptyStrings(value), NonEmptyStrings(written));
        // Runs of three NULs remain only as the list's very end.
        size_t left = written.find(Z(3));
        ASSERT_TRUE(left == std::wstring::npos || left + 3 == written.size());
    }
}

class PendingRenamesBounds : public ::testing::Test
{
protected:
    PendingRenamesBounds() : m_in(kMaxChars * 2), m_out(kMaxChars * 2) {}
    void SetUp() override
    {
        m_previousFilter = SetUnhandledExceptionFilter(ExitWithExceptionCode);
        ASSERT_TRUE(m_in.Ok());
        ASSERT_TRUE(m_out.Ok());
    }
    void TearDown() override { SetUnhandledExceptionFilter(m_previousFilter); }
    void RunAll(std::wstring (*make)(std::mt19937&), unsigned seed, int rounds)
    {
        std::mt19937 rng(seed);
        for (int i = 0; i < rounds; ++i)
        {
            std::wstring value = make(rng);
            ASSERT_LE(value.size(), kMaxChars);
            SCOPED_TRACE(testing::Message() << "round " << i << ", " << value.size() << " characters");
            Captured().clear();
            ASSERT_NO_FATAL_FAILURE(CheckScan(m_in, m_out, value, value.size()));
            // Smaller outputs bring the output limits into play.
            ASSERT_NO_FATAL_FAILURE(CheckScan(m_in, m_out, value, rng() % (value.size() + 1)));
            ASSERT_NO_FATAL_FAILURE(CheckCompact(m_in, m_out, value));
        }
    }
    GuardedPages m_in;
    GuardedPages m_out;
    LPTOP_LEVEL_EXCEPTION_FILTER m_previousFilter = nullptr;
};

TEST_F(PendingRenamesBounds, RandomCharacters) { RunAll(RandomChars, 1234567, 6000); }

TEST_F(PendingRenamesBounds, StructuredLists) { RunAll(RandomList, 7654321, 6000); }

// Every prefix of a list that ends in a long run: each cut is a list ending in a different place.
TEST_F(PendingRenamesBounds, EveryCutOfOneList)
{
    std::wstring list = Del(L"\\??\\" + kPath) + Ren(L"\\??\\C:\\a.tmp", L"\\??\\C:\\b.tmp") + Z(3) +
                        Del(L"\\??\\" + std::wstring(255, L'n')) + Del(L"AB") + Del(L"\\??\\" + kPath) + Z(5);
    for (size_t cut = 0; cut <= list.size(); ++cut)
    {
        std::wstring value = list.substr(0, cut);
        SCOPED_TRACE(testing::Message() << "cut at " << cut);
        ASSERT_NO_FATAL_FAILURE(CheckScan(m_in, m_out, value, value.size()));
        ASSERT_NO_FATAL_FAILURE(CheckCompact(m_in, m_out, value));
    }
}

// Nothing at all: both pointers sit on the guard page itself.
TEST_F(PendingRenamesBounds, EmptyInputOnTheGuardPage)
{
    int outChars = -1;
    EXPECT_EQ(PendingListKeep, ScanPendingRenameList(m_in.Tail(0), 0, kPath.c_str(), m_out.Tail(0), 0, &outChars, NoLog));
    EXPECT_FALSE(CompactPendingRenameList(m_in.Tail(0), 0, m_out.Tail(0), &outChars));
}
}  // namespace
