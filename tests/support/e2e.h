// Fixture and helpers for end-to-end tests of the real TOVRAND64x86.EXE on the test machine.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "machine.h"
#include "scratch_registry.h"

namespace harness
{
struct InstallerRun
{
    Process process;
    std::vector<std::string> log;        // lines of this run's PELLIMAR.LOG
    std::vector<std::string> messages;   // the same without headers
    std::wstring box;                    // text of the closing message box, if one was shown
    int boxes = 0;
    int Find(const std::string& message, int from = 0) const { return FindLine(log, message, from); }
    bool Has(const std::string& message) const { return Find(message) >= 0; }
};

// Runs an installer (by default the one under test) with args; answers a "Pellimar Installer" box.
InstallerRun RunCase(const std::wstring& args, const std::wstring& exe = L"");

// Every end-to-end test starts and ends on a machine without any trace of the installer.
class MachineTest : public ::testing::Test
{
protected:
    void SetUp() override { CleanMachine(); }
    void TearDown() override
    {
        if (HasFailure())
            std::printf("Machine state:\n%s", DumpState().c_str());
        CleanMachine();
    }
};

// A helper process that holds something (a file without sharing, a service handle, the lock) from
// the moment it signals until it is killed: holdfile.exe, svcholder.exe, mutexholder.exe.
class Holder
{
public:
    // tool: exe name beside the tests; args: its arguments before the event name is appended or
    // placed where "{EVENT}" stands.
    Holder(const std::wstring& tool, const std::wstring& args);
    ~Holder() { Release(); }
    bool Ready() const { return m_ready; }
    void Release();

private:
    HANDLE m_process = nullptr;
    bool m_ready = false;
};

// "Restarts" the machine: wineboot -r carries out PendingFileRenameOperations as a boot would.
bool Restart();

// The order of the BEGIN lines of a run, e.g. {"WM_CREATE", "IDM_CHECKUSAGEUPDATE", ...}.
std::vector<std::string> Chain(const std::vector<std::string>& messages);
}  // namespace harness
