// arrayfatal MODE: misuses a CWStringArray (get/size/tag/destroy), or reports a misuse from a source
// file of a 1200-character name (long), so that a test can watch the fatal error box and the abnormal
// end of the process.
#include <windows.h>

#include <string>

#include "base/wstring.h"

int wmain(int argc, wchar_t** argv)
{
    CWStringArray a;
    a.Add(L"one", 0);
    switch (argc < 2 ? L'\0' : argv[1][0])   // the modes differ in their first letter
    {
    case L'g': a.Get(a.Count()); break;
    case L's': a.SetSize(-1); break;
    case L't': a.GetTag(-1); break;
    case L'd': a.DestroyItem(-1); break;
    case L'l': WStringArrayFatal(std::string(1200, 'x').c_str(), 7);
    }
    return 0;
}
