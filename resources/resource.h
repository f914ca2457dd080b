// Resource ids shared by the .rc files and the code.
#pragma once

#define IDD_MAIN 101
#define IDI_MAIN 111

#define IDC_FILENAME 1001
#define IDC_PROGRESS 1002
#define IDC_STATUS 1003

#define IDS_CAPTION 1
#define IDS_NOMEMORY 2
#define IDS_UPDATED 3
#define IDS_UNINSTALLED 4
#define IDS_UPDATED_REBOOT 5
#define IDS_UNINSTALLING 6
#define IDS_NOT_PRESENT 7
#define IDS_NOTHING_LOWERED 15
#define IDS_FAILED 16

// Payload, resource type "BINARYRC".
#define IDR_DRIVER_SYS 110
#define IDR_DRIVER_INF 112
#define IDR_DRIVER_CAT 113
#define IDR_QZREG_EXE 114
#define IDR_MANIFEST_KVM 119
#define IDR_MANIFEST_GRD 120
#define IDR_MANIFEST_SIG 121
