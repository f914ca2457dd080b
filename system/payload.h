// The installer's payload: the "BINARYRC" resources written out to the payload folder below the
// maker's directory at start-up, and removed again at the end of the run.
#pragma once
#include <windows.h>

class GlobalInfo;

// Writes one resource of the module byte for byte to path (replacing a file of that name). With held, the
// file is then held against writing and deletion (read sharing only) and checked to hold what was
// written; *held is the handle to close. 0 on success, the error code on failure (logged).
DWORD WriteResourceToFile(HMODULE module, int id, const wchar_t* type, const wchar_t* path, HANDLE* held = nullptr);
// Creates TempDir when missing and writes the payload files into it, each held until its removal. When
// another run is at work and holds the folder's files, TempDir becomes a folder of this run's own. TRUE
// when all were written.
BOOL ExtractFiles(GlobalInfo* info);
// Lets go of the payload files without deleting them.
void ReleasePayload();
// Deletes every payload name from TempDir (another run's payload, which that run holds, stays) and removes
// the directory when it is empty. Always TRUE.
BOOL RemoveExtractedFiles(GlobalInfo* info);
