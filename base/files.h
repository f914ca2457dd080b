// Small helpers on files, paths and programs that every layer uses; each has its one home here.
#pragma once
#include <windows.h>

#include "base/wstring.h"

// A path of ours: 259 characters and the terminator.
const int kPathChars = 260;
// A path the platform hands back (the running module, the temporary folder, a short form): room for
// 290 characters, so that one a little longer than ours is seen whole and refused, not cut.
const int kFullPathChars = 291;

// Whether path names a directory, or a file (not a directory). FindFirstFileW on the path itself: the
// first entry's attribute decides.
BOOL IsExistingDirectory(const wchar_t* path);
BOOL IsExistingFile(const wchar_t* path);

// Takes the read-only attribute off path, keeping the others. TRUE when path is writable now; FALSE when
// its attributes cannot be read or written.
BOOL ClearReadOnly(const wchar_t* path);

// Whether the file at path lies directly in directory. Both are compared in their short forms (the path
// as given where it has none), so that two spellings of one directory are one; a trailing separator does
// not count.
BOOL LiesInDirectory(const wchar_t* path, const wchar_t* directory);

// out = dir joined with name: a backslash between them when dir does not end in one. An empty dir gives
// an empty out: a bare name would be taken relative to the current directory, which is never meant.
// FALSE (and out empty) when the result does not fit out's capacity: a cut path names another file.
BOOL JoinPath(wchar_t* out, int capacity, const wchar_t* dir, const wchar_t* name);
inline BOOL JoinPath(CWString& out, const wchar_t* dir, const wchar_t* name)
{
    return JoinPath(out.Buffer(), out.Capacity(), dir, name);
}
inline BOOL JoinPath(CWString& out, const CWString& dir, const wchar_t* name)
{
    return JoinPath(out, dir.Str(), name);
}

// Starts application (null: the first word of commandLine) with commandLine, nothing inherited, the
// caller's environment and directory, and waits for it at most waitMs. ERROR_SUCCESS with its exit code
// in *exitCode; the start's error; or ERROR_TIMEOUT when it still runs (it is left running).
DWORD RunAndWait(const wchar_t* application, const wchar_t* commandLine, DWORD waitMs, DWORD* exitCode);
