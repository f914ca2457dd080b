#include "system/payload.h"

#include "base/handle.h"
#include "base/log.h"
#include "context/globalinfo.h"
#include "context/locations.h"
#include "resources/resource.h"
#include "system/removal.h"

namespace
{
struct PayloadFile
{
    int id;
    const wchar_t* name;
    bool manifest;   // written only while KvManifest is set
};

// The order in which the files are written out.
const PayloadFile kPayload[] = {
    {IDR_DRIVER_SYS, kDriverSysName, false},   {IDR_MANIFEST_KVM, kManifestKvmName, true},
    {IDR_MANIFEST_GRD, kManifestGrdName, true}, {IDR_MANIFEST_SIG, kManifestSigName, true},
    {IDR_DRIVER_INF, kDriverInfName, false},   {IDR_DRIVER_CAT, kDriverCatName, false},
};
}  // namespace

DWORD WriteResourceToFile(HMODULE module, int id, const wchar_t* type, const wchar_t* path)
{
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (resource == nullptr)
    {
        LogEvent("   Error - Cannot find resource %d", id);
        return 1;
    }
    DWORD size = SizeofResource(module, resource);
    HGLOBAL loaded = LoadResource(module, resource);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr)
    {
        LogEvent("   Error - LoadResource failed on resource %d", id);
        return 1;
    }

    CScopedHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
    {
        DWORD error = GetLastError();
        LogEvent("   Error - CreateFile failed with code 0x%08X", error);
        return 1;
    }
    DWORD written = 0;
    DWORD result = ERROR_SUCCESS;
    if (!WriteFile(file.Get(), bytes, size, &written, nullptr))
    {
        result = GetLastError();
        // The result is the error code: a failure must never come back as 0.
        if (result == ERROR_SUCCESS)
            result = ERROR_WRITE_FAULT;
    }
    else if (written != size)
    {
        // A disk file is only ever written short when the volume is full.
        result = ERROR_HANDLE_DISK_FULL;
    }
    if (result != ERROR_SUCCESS)
        LogEvent("   Error - WriteFile failed with code 0x%08X", result);
    return result;
}

BOOL ExtractFiles(GlobalInfo* info)
{
    if (!IsExistingDirectory(info->TempDir.Str()) && !CreateDirectoryW(info->TempDir.Str(), nullptr))
    {
        LogEvent("Cannot create temporary directory");
        return FALSE;
    }
    CWString path(kPathChars);
    for (const PayloadFile& file : kPayload)
    {
        if (file.manifest && !info->KvManifest)
            continue;
        JoinPath(path, info->TempDir, file.name);
        if (WriteResourceToFile(info->Instance, file.id, kPayloadResourceType, path.Str()) != 0)
            return FALSE;
    }
    return TRUE;
}

BOOL RemoveExtractedFiles(GlobalInfo* info)
{
    // Without a temporary directory the names would be looked up in the current directory.
    if (info->TempDir.IsEmpty())
        return TRUE;
    // All six names, whatever KvManifest says now: an earlier run may have written the manifests.
    CWString path(kPathChars);
    for (const PayloadFile& file : kPayload)
    {
        JoinPath(path, info->TempDir, file.name);
        if (IsExistingFile(path.Str()))
            DeleteFiles(path.Str(), FALSE);
    }
    if (IsExistingDirectory(info->TempDir.Str()) && !RemoveDirectoryW(info->TempDir.Str()))
    {
        DWORD error = GetLastError();
        LogEvent("Cannot remove directory: %s, Error %d", info->TempDir.Str(), error);
    }
    return TRUE;
}
