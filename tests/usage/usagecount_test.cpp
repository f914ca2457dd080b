// The decimal reading of a count string, as other programs may have left it.
#include <gtest/gtest.h>

#include "usage/usagecount.h"

TEST(CountText, ReadsLikeAnUnsignedDecimal)
{
    struct Row { const wchar_t* text; DWORD count; };
    const Row rows[] = {
        {L"7", 7}, {L"  12abc", 12}, {L"\t 42", 42}, {L"007", 7}, {L"+5", 5}, {L"abc", 0}, {L"", 0},
        {L"-1", kNoCount}, {L"-2", 0xFFFFFFFE}, {L"4294967294", 4294967294u}, {L"4294967295", kNoCount},
        {L"4294967296", kNoCount}, {L"99999999999", kNoCount},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.count, ParseCountText(r.text)) << r.text;
}
