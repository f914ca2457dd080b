// The driver service on the test machine's real service control manager. The service name is fixed
// ("Pellimar"), so every test starts and ends with the service and its key gone; tests run serially.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "log_capture.h"
#include "scratch_registry.h"
#include "system/service.h"

using namespace harness;

namespace
{
const wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Pellimar";
const wchar_t kDriverPath[] = L"C:\\windows\\system32\\drivers\\PELLIMAR64x86.SYS";
const wchar_t kOtherDriverPath[] = L"C:\\Program Files\\Norvatek\\PELLIMAR64x86.SYS";

DWORD OpenPellimarError()
{
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (scm == nullptr)
        return GetLastError();
    DWORD error = ERROR_SUCCESS;
    SC_HANDLE service = OpenServiceW(scm, L"Pellimar", SERVICE_QUERY_STATUS);
    if (service == nullptr)
        error = GetLastError();
    else
        CloseServiceHandle(service);
    CloseServiceHandle(scm);
    return error;
}

// Deletes the service through the SCM, waits until the SCM has let it go (a helper's handle closes
// asynchronously after the helper is killed), then removes whatever is left of its key.
void RemovePellimar()
{
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (scm != nullptr)
    {
        SC_HANDLE service = OpenServiceW(scm, L"Pellimar", DELETE);
        if (service != nullptr)
        {
            DeleteService(service);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(scm);
    }
    for (int i = 0; i < 300 && OpenPellimarError() != ERROR_SERVICE_DOES_NOT_EXIST; ++i)
        Sleep(100);
    DeleteTree(HKEY_LOCAL_MACHINE, kServiceKey);
}

struct ServiceConfig
{
    bool found = false;
    DWORD type = 0;
    DWORD start = 0;
    DWORD errorControl = 0;
    std::wstring imagePath;
};

ServiceConfig QueryPellimarConfig()
{
    ServiceConfig config;
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (scm == nullptr)
        return config;
    SC_HANDLE service = OpenServiceW(scm, L"Pellimar", SERVICE_QUERY_CONFIG);
    if (service != nullptr)
    {
        union
        {
            QUERY_SERVICE_CONFIGW config;
            BYTE bytes[8192];
        } buffer;
        DWORD needed = 0;
        if (QueryServiceConfigW(service, &buffer.config, sizeof(buffer), &needed))
        {
            config.found = true;
            config.type = buffer.config.dwServiceType;
            config.start = buffer.config.dwStartType;
            config.errorControl = buffer.config.dwErrorControl;
            config.imagePath = buffer.config.lpBinaryPathName != nullptr ? buffer.config.lpBinaryPathName : L"";
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(scm);
    return config;
}

// Line that the lock query gives where QueryServiceLockStatusW is Wine's stub; on Windows the query
// succeeds and, with no other program holding the lock, nothing is logged.
std::vector<std::string> LockLine(const char* text)
{
    if (!IsWine())
        return {};
    return {text};
}

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const std::vector<std::string>& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

SC_HANDLE WINAPI RefusedOpenManager(LPCWSTR, LPCWSTR, DWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

class Service : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RemovePellimar();
        ASSERT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), OpenPellimarError());
    }

    void TearDown() override
    {
        service_seam::OpenManager = ::OpenSCManagerW;
        ReleaseHolder();
        RemovePellimar();
    }

    std::vector<std::string> Log() { return m_log.Messages(); }
    void ClearLog() { m_log.Clear(); }

    // A second process holds a handle to the service, so that deleting it leaves it marked for
    // deletion instead of removing it.
    void HoldService()
    {
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, L"TovrandTestsSvcHolderReady");
        ASSERT_NE(nullptr, ready);
        m_holder = Start(L"\"" + BinDir() + L"\\svcholder.exe\" TovrandTestsSvcHolderReady", L"");
        ASSERT_NE(nullptr, m_holder) << "svcholder.exe missing from " << Narrow(BinDir());
        HANDLE waits[2] = {ready, m_holder};
        DWORD which = WaitForMultipleObjects(2, waits, FALSE, 60000);
        CloseHandle(ready);
        ASSERT_EQ(WAIT_OBJECT_0, which) << "the holder did not get its handle";
    }

    void ReleaseHolder()
    {
        if (m_holder == nullptr)
            return;
        TerminateProcess(m_holder, 0);
        WaitForSingleObject(m_holder, 30000);
        CloseHandle(m_holder);
        m_holder = nullptr;
    }

    // Installed, held open by another process and deleted: the state that an uninstall leaves behind
    // while the driver is still loaded.
    void MakeMarkedService(const wchar_t* imagePath)
    {
        CPellimarSCM scm;
        ASSERT_EQ(0u, scm.InstallService(imagePath));
        HoldService();
        ASSERT_EQ(0u, scm.RemoveService());
        ASSERT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), scm.RemoveService());
        // Windows records the mark as DeleteFlag in the key; Wine keeps it in memory only. The value is
        // written here where the platform did not, so that its removal is checked on both.
        if (!ValueExists(HKEY_LOCAL_MACHINE, kServiceKey, L"DeleteFlag"))
        {
            ASSERT_TRUE(IsWine());
            ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kServiceKey, L"DeleteFlag", 1));
        }
        // Values that the repair must overwrite.
        ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kServiceKey, L"Start", SERVICE_DISABLED));
        ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kServiceKey, L"ErrorControl", SERVICE_ERROR_IGNORE));
        ClearLog();
    }

    LogCapture m_log;   // the log of this process goes to a scratch directory
    HANDLE m_holder = nullptr;
};

TEST_F(Service, ExistsInstallRemoveFollowTheMachinesServiceList)
{
    CPellimarSCM scm;
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), scm.ServiceExists());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), scm.RemoveService());

    ASSERT_EQ(0u, scm.InstallService(kDriverPath));
    EXPECT_EQ(0u, scm.ServiceExists());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_EXISTS), scm.InstallService(kOtherDriverPath));
    // The refused second install changed nothing.
    EXPECT_EQ(Narrow(kDriverPath), Narrow(QueryPellimarConfig().imagePath));

    EXPECT_EQ(0u, scm.RemoveService());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), scm.ServiceExists());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), OpenPellimarError());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kServiceKey));
    // Neither the existence test nor the removal writes to the log: every line is the installs'.
    std::vector<std::string> log = Log();
    EXPECT_EQ(2, CountLines(ReadLog(m_log.Dir()), "    InstallService, opening SCM"));
    for (const std::string& line : log)
        EXPECT_EQ(0u, line.find("    InstallService, ")) << line;
}

TEST_F(Service, InstallCreatesADemandStartKernelDriverWithTheImagePath)
{
    CPellimarSCM scm;
    ASSERT_EQ(0u, scm.InstallService(kDriverPath));

    ServiceConfig config = QueryPellimarConfig();
    ASSERT_TRUE(config.found);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_KERNEL_DRIVER), config.type);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), config.start);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config.errorControl);
    EXPECT_EQ(Narrow(kDriverPath), Narrow(config.imagePath));

    EXPECT_EQ(1u, GetDword(HKEY_LOCAL_MACHINE, kServiceKey, L"Type"));
    EXPECT_EQ(3u, GetDword(HKEY_LOCAL_MACHINE, kServiceKey, L"Start"));
    EXPECT_EQ(1u, GetDword(HKEY_LOCAL_MACHINE, kServiceKey, L"ErrorControl"));
    EXPECT_EQ(Narrow(kDriverPath), Narrow(GetString(HKEY_LOCAL_MACHINE, kServiceKey, L"ImagePath")));
}

TEST_F(Service, InstallLogsItsProgressAndTheLockQueryResult)
{
    CPellimarSCM scm;
    // Whatever code an earlier call left behind must not show up as the lock query's result.
    SetLastError(ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(0u, scm.InstallService(kDriverPath));
    SetLastError(ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(static_cast<DWORD>(ERROR_SERVICE_EXISTS), scm.InstallService(kDriverPath));

    std::vector<std::string> lock = LockLine("    InstallService, QueryServicceLockStatus returned 120");
    std::vector<std::string> expected = Concat({
        {"    InstallService, opening SCM"}, lock,
        {"    InstallService, creating service", "    InstallService, closing service", "    InstallService, closing SCM"},
        // The refused create: no service handle to close.
        {"    InstallService, opening SCM"}, lock,
        {"    InstallService, creating service", "    InstallService, closing SCM"},
    });
    EXPECT_EQ(expected, Log());
}

TEST_F(Service, ConfigureBringsAnExistingServiceBackToItsSettings)
{
    CPellimarSCM scm;
    ASSERT_EQ(0u, scm.InstallService(kDriverPath));
    // Someone changed the service since: the update puts back start type and error control too.
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, L"Pellimar", SERVICE_ALL_ACCESS);
    ASSERT_NE(nullptr, service);
    ASSERT_TRUE(ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_ERROR_IGNORE, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    ClearLog();

    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(0u, scm.ConfigureService(kOtherDriverPath));

    ServiceConfig config = QueryPellimarConfig();
    ASSERT_TRUE(config.found);
    EXPECT_EQ(Narrow(kOtherDriverPath), Narrow(config.imagePath));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_KERNEL_DRIVER), config.type);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), config.start);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config.errorControl);

    EXPECT_EQ(Concat({{"    ConfigureService, opening SCM"},
                      LockLine("    ConfigureService, QueryServiceLockStatus returned 120"),
                      {"    ConfigureService, opening service", "    ConfigureService, configuring service",
                       "    ConfigureService, closing service", "    ConfigureService, closing SCM"}}),
              Log());
}

TEST_F(Service, ConfigureWithoutTheServiceReturnsTheOpenError)
{
    CPellimarSCM scm;
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), scm.ConfigureService(kDriverPath));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), OpenPellimarError());
    EXPECT_EQ(Concat({{"    ConfigureService, opening SCM"},
                      LockLine("    ConfigureService, QueryServiceLockStatus returned 120"),
                      {"    ConfigureService, opening service", "    ConfigureService, closing SCM"}}),
              Log());
}

// Reached through the connection seam: an administrator's connection does not fail on demand.
TEST_F(Service, RefusedConnectionEndsEachOperationWithItsError)
{
    CPellimarSCM scm;
    ASSERT_EQ(0u, scm.InstallService(kDriverPath));
    ClearLog();
    service_seam::OpenManager = RefusedOpenManager;

    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), scm.ServiceExists());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), scm.RemoveService());
    EXPECT_TRUE(Log().empty());
    // The lock is asked about even without a connection; the handle-less query fails with the
    // platform's invalid-handle code, or sets none at all where the query is Wine's stub. Either way
    // the code of the refused connection must not show up there.
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), scm.InstallService(kOtherDriverPath));
    EXPECT_EQ((std::vector<std::string>{"    InstallService, opening SCM",
                                        IsWine() ? "    InstallService, QueryServicceLockStatus returned 120"
                                                 : "    InstallService, QueryServicceLockStatus returned 6"}),
              Log());
    ClearLog();
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), scm.ConfigureService(kOtherDriverPath));
    EXPECT_EQ(std::vector<std::string>{"    ConfigureService, opening SCM"}, Log());

    // Nothing reached the service.
    service_seam::OpenManager = ::OpenSCManagerW;
    EXPECT_EQ(0u, scm.ServiceExists());
    EXPECT_EQ(Narrow(kDriverPath), Narrow(QueryPellimarConfig().imagePath));
}

TEST_F(Service, ConfigureRepairsTheKeyOfAServiceMarkedForDeletion)
{
    MakeMarkedService(kDriverPath);
    ASSERT_FALSE(HasFatalFailure());

    CPellimarSCM scm;
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), scm.ConfigureService(kOtherDriverPath));

    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kServiceKey, L"DeleteFlag"));
    EXPECT_EQ(3u, GetDword(HKEY_LOCAL_MACHINE, kServiceKey, L"Start"));
    EXPECT_EQ(1u, GetDword(HKEY_LOCAL_MACHINE, kServiceKey, L"ErrorControl"));
    EXPECT_EQ(1u, GetDword(HKEY_LOCAL_MACHINE, kServiceKey, L"Type"));
    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(GetValue(HKEY_LOCAL_MACHINE, kServiceKey, L"ImagePath", &type, &bytes));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    std::wstring native = std::wstring(L"\\??\\") + kOtherDriverPath;
    // The terminator is part of the value.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(native.c_str()), (native.size() + 1) * sizeof(wchar_t)),
              bytes);

    EXPECT_EQ(Concat({{"    ConfigureService, opening SCM"},
                      LockLine("    ConfigureService, QueryServiceLockStatus returned 120"),
                      {"    ConfigureService, opening service", "    ConfigureService, configuring service",
                       "    ConfigureService, closing service",
                       "    Pellimar:service is marked for deletion.  Manually setting regkeys and unmarking it from "
                       "deletion.",
                       "    Pellimar:Removed DeleteFlag and set Start to 3",
                       "    Pellimar:Manually set ErrorControl, Type, and ImagePath values.",
                       "    ConfigureService, closing SCM"}}),
              Log());
}

// The native form "\??\" + path is kept in 261 characters: 256 characters of path fit, 257 would
// overrun it. A path that does not fit is not written at all, and the key keeps its mark.
TEST_F(Service, RepairWritesOnlyAnImagePathThatFitsWhole)
{
    struct Row
    {
        int length;
        bool repaired;
    };
    const Row rows[] = {{256, true}, {257, false}, {600, false}};
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.length);
        std::wstring path = L"C:\\";
        path.append(row.length - 3 - 4, L'd');
        path += L".SYS";
        ASSERT_EQ(static_cast<size_t>(row.length), path.size());

        MakeMarkedService(kDriverPath);
        ASSERT_FALSE(HasFatalFailure());
        CPellimarSCM scm;
        EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), scm.ConfigureService(path.c_str()));

        std::vector<std::string> log = Log();
        EXPECT_EQ(1, CountLines(log, "    Pellimar:service is marked for deletion.  Manually setting regkeys and "
                                     "unmarking it from deletion."));
        EXPECT_EQ("    ConfigureService, closing SCM", log.back());
        if (row.repaired)
        {
            EXPECT_EQ(Narrow(L"\\??\\" + path), Narrow(GetString(HKEY_LOCAL_MACHINE, kServiceKey, L"ImagePath")));
            EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kServiceKey, L"DeleteFlag"));
            EXPECT_EQ(3u, GetDword(HKEY_LOCAL_MACHINE, kServiceKey, L"Start"));
            EXPECT_EQ(1, CountLines(log, "    Pellimar:Manually set ErrorControl, Type, and ImagePath values."));
        }
        else
        {
            EXPECT_EQ(Narrow(kDriverPath), Narrow(GetString(HKEY_LOCAL_MACHINE, kServiceKey, L"ImagePath")));
            EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, kServiceKey, L"DeleteFlag"));
            EXPECT_EQ(static_cast<DWORD>(SERVICE_DISABLED), GetDword(HKEY_LOCAL_MACHINE, kServiceKey, L"Start"));
            EXPECT_EQ(0, CountLines(log, "    Pellimar:Removed DeleteFlag and set Start to 3"));
            EXPECT_EQ(1, CountLines(log, "    Pellimar:Image path missing or longer than 256 characters.  Left "
                                         "marked for deletion."));
        }

        ReleaseHolder();
        RemovePellimar();
        ClearLog();
    }
}
}  // namespace
