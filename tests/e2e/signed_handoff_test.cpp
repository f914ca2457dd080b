// The hand-off reads the version of an Authenticode-signed copy in the shared folder as it reads an
// unsigned one: the signature sits after the image, outside the sections the version resource lives in.
#include "e2e.h"

// After <windows.h>, which WIN32_LEAN_AND_MEAN keeps from including the crypto headers.
#include <wincrypt.h>
#include <softpub.h>
#include <wintrust.h>

using namespace harness;

class SignedHandoff : public MachineTest
{
};

TEST_F(SignedHandoff, ASignedNewerCopyServesTheRequest)
{
    Locations w = Where();
    std::wstring copy = w.sharedDir + L"\\TOVRAND64x86.EXE";
    CreateDirectoryW(w.sharedDir.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW((BinDir() + L"\\variants\\signed-12.9.0.23\\TOVRAND64x86.EXE").c_str(), copy.c_str(), FALSE));

    // The copy is signed and its image matches the signature: Windows answers "untrusted root" for the TEST
    // ONLY chain, Wine (which checks no root) success; an unsigned or altered copy gets neither.
    WINTRUST_FILE_INFO file = {sizeof(file), copy.c_str(), nullptr, nullptr};
    WINTRUST_DATA trust = {};
    trust.cbStruct = sizeof(trust);
    trust.dwUIChoice = WTD_UI_NONE;
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &file;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG verdict = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trust);
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trust);
    EXPECT_TRUE(verdict == ERROR_SUCCESS || verdict == CERT_E_UNTRUSTEDROOT) << std::hex << verdict;

    InstallerRun run = RunCase(L"/Q /NOREGQZ PRODUCTA");
    ASSERT_TRUE(run.process.finished);
    EXPECT_EQ(0u, run.process.exitCode);
    int at = run.Find("Installed:12.9.0.23  This: 12.9.0.22");
    ASSERT_GE(at, 0);
    EXPECT_EQ(at + 1, run.Find("  Installed version is newer."));
    EXPECT_TRUE(run.Has("Compiled Version 12.9.0.23"));
    EXPECT_TRUE(run.Has("Newer Tovrand returned 0.  Returning the same."));
    EXPECT_EQ("1", MainCount());
}
