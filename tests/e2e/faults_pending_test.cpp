// A malformed pending-rename list met by a real install, whose copy step withdraws earlier scheduled
// deletions of the files it puts in place. The list is shared with every program on the machine: it is
// either rewritten with exactly our deletion gone, or left byte for byte as it was.
#include "faults.h"

using namespace harness;

namespace
{
std::string Payload(const wchar_t* name)
{
    return ReadFileBytes(BinDir() + L"\\payload\\" + name);
}

std::vector<std::wstring> Join(std::initializer_list<std::vector<std::wstring>> parts)
{
    std::vector<std::wstring> all;
    for (const std::vector<std::wstring>& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::vector<std::wstring> Slice(const std::vector<std::wstring>& v, size_t from, size_t to)
{
    return std::vector<std::wstring>(v.begin() + from, v.begin() + to);
}

const char kCritical[] = "  Due to critical error, not modifying the PendingFileRenameOperations registry value.";
const char kUpdating[] = "  Updating registry with new PendingFileRenameOperations.";
}  // namespace

class FaultPending : public FaultTest
{
};

TEST_F(FaultPending, AMalformedListIsRewrittenWithoutOurDeletionOrLeftAsItWas)
{
    const std::vector<std::wstring> foreign = ForeignPending();
    const std::wstring driver = Where().driversDir + L"\\PELLIMAR64x86.SYS";

    struct Case
    {
        std::string name;
        DWORD type;
        std::string bytes;
        bool rewritten;              // else left byte for byte
        std::string expected;        // the bytes when rewritten
        std::vector<std::string> lines;
        bool foreignListed;          // the foreign pairs are readable as such in the value
    };

    // Our deletion is the driver's short path, as an earlier uninstall scheduled it.
    ASSERT_NO_FATAL_FAILURE(PlaceBystanders(true));
    const std::wstring ours = L"\\??\\" + ShortPath(driver);
    ASSERT_NE(L"\\??\\", ours);
    const std::vector<std::wstring> withOurs =
        Join({Slice(foreign, 0, 2), {ours, L""}, Slice(foreign, 2, foreign.size())});
    const std::string unmarking = "  *Unmarking file from deletion: " + Narrow(ours);
    std::vector<std::wstring> many;
    std::vector<std::wstring> manyWithOurs;
    for (int k = 0; k < 2000; ++k)
    {
        wchar_t name[64];
        wsprintfW(name, L"\\??\\C:\\TovrandForeign\\f%04d.tmp", k);
        many.insert(many.end(), {name, L""});
        manyWithOurs.insert(manyWithOurs.end(), {name, L""});
        if (k == 1000)
            manyWithOurs.insert(manyWithOurs.end(), {ours, L""});
    }
    const std::wstring longPath = L"\\??\\C:\\TovrandForeign\\" + std::wstring(280, L'x') + L".tmp";

    const Case cases[] = {
        {"odd byte count", REG_MULTI_SZ, MultiSz(withOurs) + "A", true, MultiSz(foreign), {unmarking, kUpdating},
         true},
        {"stray empty string", REG_MULTI_SZ,
         MultiSz(Join({Slice(foreign, 0, 2), {L""}, {ours, L""}, Slice(foreign, 2, foreign.size())})), true,
         MultiSz(foreign), {unmarking, kUpdating}, true},
        {"thousands of foreign pairs", REG_MULTI_SZ, MultiSz(manyWithOurs), true, MultiSz(many),
         {unmarking, kUpdating}, false},
        {"no closing NUL", REG_MULTI_SZ, MultiSz(withOurs, false), false, "",
         {"  Second temp string about to buffer overflow, bailing out.", kCritical}, false},
        {"300-character path", REG_MULTI_SZ,
         MultiSz(Join({Slice(foreign, 0, 2), {longPath, L""}, {ours, L""}, Slice(foreign, 2, foreign.size())})),
         false, "", {"  First temp string about to buffer overflow, bailing out.", kCritical}, false},
        {"REG_SZ", REG_SZ, Utf16(ours) + std::string(2, '\0'), false, "",
         {"  Failed (0) to RegQueryValueEx regkey: PendingFileRenameOperations (Type:1)"}, false},
        {"REG_BINARY", REG_BINARY, MultiSz(withOurs), false, "",
         {"  Failed (0) to RegQueryValueEx regkey: PendingFileRenameOperations (Type:3)"}, true},
        {"empty", REG_MULTI_SZ, "", false, "", {"  No files are marked for deletion, nothing to unmark."}, false},
        {"one NUL", REG_MULTI_SZ, std::string(2, '\0'), false, "",
         {"  None of our files are marked for deletion.  Not modifying the PendingFileRenameOperations registry "
          "value."},
         false},
    };
    bool first = true;
    for (const Case& c : cases)
    {
        if (!first)
        {
            CleanMachine();
            ASSERT_NO_FATAL_FAILURE(PlaceBystanders(true));
            ASSERT_EQ(ours, L"\\??\\" + ShortPath(driver));
        }
        first = false;
        WriteRaw(kSessionManager, kPendingRenamesValue, RawValue{true, c.type, c.bytes});
        InstallerRun run = Run(L"/Q /NOREGQZ PRODUCTA");
        ASSERT_TRUE(run.process.finished) << c.name;
        EXPECT_EQ(0u, run.process.exitCode) << c.name;
        EXPECT_EQ("2", MainCount()) << c.name;
        EXPECT_TRUE(Payload(L"PELLIMAR64x86.SYS") == ReadFileBytes(driver)) << c.name;
        for (const std::string& line : c.lines)
            EXPECT_TRUE(run.Has(line)) << c.name << ": no line '" << line << "'";
        RawValue after = RawPending();
        ASSERT_TRUE(after.exists) << c.name;
        EXPECT_EQ(c.rewritten ? static_cast<DWORD>(REG_MULTI_SZ) : c.type, after.type) << c.name;
        if (c.rewritten)
            EXPECT_TRUE(c.expected == after.bytes) << c.name << ": rewritten as\n" << DumpState();
        else
            EXPECT_TRUE(c.bytes == after.bytes) << c.name << ": changed to\n" << DumpState();
        if (!c.rewritten)
            EXPECT_FALSE(run.Has(kUpdating)) << c.name;
        ExpectBystandersUntouched(c.name, true, c.foreignListed);
    }
}
