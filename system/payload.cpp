#include "system/payload.h"

#include <string.h>

#include "base/access.h"
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
const int kPayloadFiles = sizeof(kPayload) / sizeof(kPayload[0]);

// The payload files this run wrote, held from their writing to their removal: nobody can change or delete
// them meanwhile, and another run that starts in between finds them taken.
CScopedHandle g_held[kPayloadFiles];

// Whether the file behind handle holds exactly size bytes equal to bytes.
bool HoldsBytes(HANDLE handle, const void* bytes, DWORD size)
{
    char chunk[8192];
    DWORD at = 0;
    for (DWORD got = 0; ReadFile(handle, chunk, sizeof(chunk), &got, nullptr) && got > 0; at += got)
    {
        if (at + got > size || memcmp(chunk, static_cast<const char*>(bytes) + at, got) != 0)
            return false;
    }
    return at == size;
}

// Writes the payload into TempDir; the first failure's code.
DWORD WritePayload(GlobalInfo* info)
{
    if (!IsExistingDirectory(info->TempDir.Str()) && !CreateAdminFolder(info->TempDir.Str()))
    {
        LogEvent("Cannot create temporary directory");
        return ERROR_CANNOT_MAKE;
    }
    CWString path(kPathChars);
    for (int i = 0; i < kPayloadFiles; ++i)
    {
        if (kPayload[i].manifest && !info->KvManifest)
            continue;
        JoinPath(path, info->TempDir, kPayload[i].name);
        HANDLE held = nullptr;
        DWORD rc = WriteResourceToFile(info->Instance, kPayload[i].id, kPayloadResourceType, path.Str(), &held);
        if (rc != 0)
            return rc;
        g_held[i].Reset(held);
    }
    return 0;
}
}  // namespace

DWORD WriteResourceToFile(HMODULE module, int id, const wchar_t* type, const wchar_t* path, HANDLE* held)
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
        return error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT;
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
    {
        LogEvent("   Error - WriteFile failed with code 0x%08X", result);
        return result;
    }
    file.Reset();
    if (held == nullptr)
        return ERROR_SUCCESS;
    // Held with read sharing only from here on, which copying it and starting it need; what is held is
    // checked, since in the moment between the write and this open another process could have swapped it.
    CScopedHandle hold(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                   nullptr));
    if (!hold.IsValid() || !HoldsBytes(hold.Get(), bytes, size))
    {
        result = hold.IsValid() ? ERROR_FILE_CORRUPT : GetLastError();
        LogEvent("   Error - %s cannot be held as written (%d)", path, static_cast<int>(result));
        return result;
    }
    *held = hold.Release();
    return ERROR_SUCCESS;
}

BOOL ExtractFiles(GlobalInfo* info)
{
    DWORD rc = WritePayload(info);
    if (rc == ERROR_SHARING_VIOLATION && info->OtherRunActive)
    {
        // Another run that kept the lock beyond the wait is at work with the payload folder: this run
        // writes its payload to a folder of its own, and leaves the other run's files alone.
        ReleasePayload();
        CWString own(kPathChars);
        own.Format(L"%s.%lu", info->TempDir.Str(), GetCurrentProcessId());
        LogEvent("  %s is in use by another run, the payload goes to %s.", info->TempDir.Str(), own.Str());
        info->TempDir = own;
        rc = WritePayload(info);
    }
    return rc == 0;
}

void ReleasePayload()
{
    for (CScopedHandle& held : g_held)
        held.Reset();
}

BOOL RemoveExtractedFiles(GlobalInfo* info)
{
    // Without a temporary directory the names would be looked up in the current directory.
    if (info->TempDir.IsEmpty())
        return TRUE;
    // All six names, whatever KvManifest says now: an earlier run may have written the manifests. Another
    // run's payload that is at work is held by that run, and its deletion fails.
    ReleasePayload();
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
