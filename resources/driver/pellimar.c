// Pellimar event filter driver: the kernel image that the installer carries and installs as a
// demand-start kernel service. This build only loads and unloads cleanly; it is what the installer's
// copy, version and service logic operate on.
#include <ntddk.h>

#include "pellimar_version.h"

#define PELLIMAR_STR2(x) #x
#define PELLIMAR_STR(x) PELLIMAR_STR2(x)
#define PELLIMAR_VERSION_TEXT PELLIMAR_STR(PELLIMAR_VERSION_MAJOR) "." PELLIMAR_STR(PELLIMAR_VERSION_MINOR) "." \
    PELLIMAR_STR(PELLIMAR_VERSION_BUILD) "." PELLIMAR_STR(PELLIMAR_VERSION_REVISION)

DRIVER_INITIALIZE DriverEntry;
static DRIVER_UNLOAD PellimarUnload;

static VOID PellimarUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, "Pellimar: unloaded\n");
}

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    // Without an unload routine the service could never be stopped, and an uninstall that deletes
    // the service would leave it marked for deletion until the next restart.
    DriverObject->DriverUnload = PellimarUnload;
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, "Pellimar " PELLIMAR_VERSION_TEXT ": loaded\n");
    return STATUS_SUCCESS;
}
