// The installer's payload: the "BINARYRC" resources written out to the payload folder below the
// maker's directory at start-up, and removed again at the end of the run.
#pragma once
#include <windows.h>

class GlobalInfo;

// Writes one resource of the module byte for byte to path (replacing a file of that name).
// 0 on success, non-zero on failure (logged).
DWORD WriteResourceToFile(HMODULE module, int id, const wchar_t* type, const wchar_t* path);
// Creates TempDir when missing and writes the payload files into it. TRUE when all were written.
BOOL ExtractFiles(GlobalInfo* info);
// Deletes every payload name from TempDir and removes the directory. Always TRUE.
BOOL RemoveExtractedFiles(GlobalInfo* info);
