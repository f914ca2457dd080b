// In-process fixture for the usage units: HKLM redirected to a scratch key, a GlobalInfo whose
// directories are scratch folders, and the log captured.
#pragma once
#include <gtest/gtest.h>

#include "context/globalinfo.h"
#include "harness.h"
#include "log_capture.h"
#include "scratch_registry.h"

class UsageTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        info = new GlobalInfo();
        g_pGlobalInfo = info;
        drivers = dirs.Path() + L"\\drivers";
        maker = dirs.Path() + L"\\Norvatek";
        shared = dirs.Path() + L"\\Norvatek Shared";
        CreateDirectoryW(drivers.c_str(), nullptr);
        CreateDirectoryW(maker.c_str(), nullptr);
        CreateDirectoryW(shared.c_str(), nullptr);
        info->DriversDir = drivers.c_str();
        info->MakerDir = maker.c_str();
        info->SharedDir = shared.c_str();
    }
    void TearDown() override
    {
        g_pGlobalInfo = nullptr;
        delete info;
    }
    std::wstring MainValue() const { return drivers + L"\\PELLIMAR64x86.SYS"; }
    std::wstring MakerValue() const { return maker + L"\\PELLIMAR64x86.SYS"; }

    harness::ScratchDir dirs;
    harness::ScratchRegistry hklm;
    harness::LogCapture log;
    GlobalInfo* info = nullptr;
    std::wstring drivers;
    std::wstring maker;
    std::wstring shared;
};
