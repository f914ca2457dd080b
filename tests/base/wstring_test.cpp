#include <gtest/gtest.h>
#include "base/wstring.h"
TEST(WString, Placeholder) { CWString s(10); s = L"abc"; EXPECT_EQ(3, s.Length()); }
