// arrayfatal MODE: misuses a CWStringArray (get/size/tag/destroy), or reports a misuse from a source
// file of a 1200-character name (long), so that a test can watch the fatal error box and the abnormal
// end of the process.
#include <windows.h>

#include <string>

#include "base/wstring.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 2;
    CWStringArray a;
    a.Add(L"one", 0);
    if (lstrcmpW(argv[1], L"get") == 0)
        a.Get(a.Count());
    else if (lstrcmpW(argv[1], L"size") == 0)
        a.SetSize(-1);
    else if (lstrcmpW(argv[1], L"tag") == 0)
        a.GetTag(-1);
    else if (lstrcmpW(argv[1], L"destroy") == 0)
        a.DestroyItem(-1);
    else if (lstrcmpW(argv[1], L"long") == 0)
        WStringArrayFatal(std::string(1200, 'x').c_str(), 7);
    return 0;
}
