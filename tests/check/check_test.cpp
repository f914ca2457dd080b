// What no run of the state check can show: its DER reader on every truncation of a real catalogue and on
// lengths and nesting no catalogue has, right before an inaccessible page; the PE image digest that
// leaves the signature out; the escaping of JSON strings.
#include <gtest/gtest.h>

#include "check/catalogue.h"
#include "check/digest.h"
#include "check/output.h"
#include "context/layout.h"
#include "unit.h"

using namespace harness;

namespace
{
const wchar_t* const kNames[] = {kDriverSysName, kDriverInfName};

std::string Payload(const wchar_t* set, const wchar_t* name)
{
    return ReadFileBytes(BinDir() + L"\\payload" + set + L"\\" + name);
}

// The bytes as a catalogue right before the guard page.
BOOL ParseAtTheEdge(Guarded& guard, const std::string& bytes, Catalogue* out)
{
    BYTE* data = guard.EndBytes(bytes.size());
    memcpy(data, bytes.data(), bytes.size());
    return ParseCatalogue(data, static_cast<DWORD>(bytes.size()), kNames, 2, out);
}
}  // namespace

TEST(Catalogue, NothingPastTheDataIsReadWhateverItHolds)
{
    Guarded guard;
    ASSERT_TRUE(guard.ok);
    SetUnhandledExceptionFilter(ExitWithFaultCode);
    const std::string whole = Payload(L"", kDriverCatName);
    Catalogue catalogue;
    ASSERT_TRUE(ParseAtTheEdge(guard, whole, &catalogue));
    EXPECT_EQ(2, catalogue.count);
    for (size_t cut = 0; cut < whole.size(); ++cut)
        ParseAtTheEdge(guard, whole.substr(0, cut), &catalogue);
    // Lengths beyond the data or of five bytes, and nesting deeper than any catalogue's.
    std::string nested;
    for (int depth = 0; depth < 60; ++depth)
        nested = std::string("\x30", 1) + static_cast<char>(nested.size()) + nested;
    for (const std::string& bytes : {std::string("\x30\x84\x7F\xFF\xFF\xFF\x30\x00", 8),
                                     std::string("\x30\x85\x00\x00\x00\x00\x02", 7), nested})
        EXPECT_FALSE(ParseAtTheEdge(guard, bytes, &catalogue)) << bytes.size();
}

// A catalogue lists the driver by its image digest, which leaves out the CheckSum field, the security
// directory entry and the certificate table: the signed release driver and the unsigned test one, built
// from the same source, have one image digest and two flat ones.
TEST(ImageDigest, LeavesTheSignatureOut)
{
    CHasher hasher;
    ASSERT_TRUE(hasher.Init());
    Digest image[2], flat[2];
    DWORD skips[6];
    int skipCount = 0;
    std::string sys[2] = {Payload(L"", kDriverSysName), Payload(L"\\release", kDriverSysName)};
    for (int i = 0; i < 2; ++i)
    {
        const BYTE* data = reinterpret_cast<const BYTE*>(sys[i].data());
        DWORD size = static_cast<DWORD>(sys[i].size());
        ASSERT_TRUE(ImageHashSkips(data, size, skips, &skipCount)) << i;
        EXPECT_EQ(i == 0 ? 2 : 3, skipCount) << "the certificate table is left out only where there is one";
        ASSERT_TRUE(hasher.Hash(CALG_SHA1, data, size, skips, skipCount, &image[i]));
        ASSERT_TRUE(hasher.Hash(CALG_SHA1, data, size, nullptr, 0, &flat[i]));
    }
    EXPECT_TRUE(SameDigest(image[0], image[1]));
    EXPECT_FALSE(SameDigest(flat[0], flat[1]));
    // Headers cut short, or pointing past the data, describe no image.
    sys[0][0x3C] = '\xF0';
    for (DWORD size : {0x40u, 0x200u})
        EXPECT_FALSE(ImageHashSkips(reinterpret_cast<const BYTE*>(sys[0].data()), size, skips, &skipCount)) << size;
}

TEST(JsonString, EscapesWhatJsonAndUtf8CannotHold)
{
    std::wstring pairs;
    std::string utf8;
    for (int i = 0; i < 3000; ++i)
        pairs += L"\xD83D\xDE00", utf8 += "\xF0\x9F\x98\x80";
    struct Row
    {
        std::wstring text;
        std::string json;
    };
    const Row rows[] = {
        {.text = L"C:\\a \"b\"", .json = "\"C:\\\\a \\\"b\\\"\""},
        {.text = L"\x1B[31m\r\n\x85\x7F", .json = "\"\\u001b[31m\\u000d\\u000a\\u0085\\u007f\""},
        // A pair stays a pair in UTF-8; a half on its own is escaped.
        {.text = L"\xD83D\xDE00", .json = "\"\xF0\x9F\x98\x80\""},
        {.text = L"a\xD83D" L"b\xDE00", .json = "\"a\\ud83db\\ude00\""},
        // Longer than one chunk of output: pairs across the chunks' ends stay pairs.
        {.text = L"a" + pairs, .json = "\"a" + utf8 + "\""},
    };
    ScratchDir dir;
    for (const Row& r : rows)
    {
        HANDLE file = CreateFileW(dir.File(L"out.json").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, 0, nullptr);
        HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
        SetStdHandle(STD_OUTPUT_HANDLE, file);
        COutput(STD_OUTPUT_HANDLE).JsonString(r.text.c_str());
        SetStdHandle(STD_OUTPUT_HANDLE, saved);
        CloseHandle(file);
        EXPECT_EQ(r.json, ReadFileBytes(dir.File(L"out.json"))) << Narrow(r.text.substr(0, 20));
    }
}
