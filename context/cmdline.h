// The command line: CCommandLine splits the text into arguments, ParseCmdLine turns them into the
// switches, the AppID and the run mode of GlobalInfo and refuses inconsistent combinations.
#pragma once
#include <windows.h>

class GlobalInfo;

// One argument is collected in a buffer of this many characters (263 and the terminator).
const int kArgumentChars = 264;
// An AppID is one registry key name and one value name: 47 characters at most.
const int kMaxAppIdLength = 47;

class CCommandLine
{
public:
    // Keeps a copy of text; no copy when text is null.
    explicit CCommandLine(const wchar_t* text);
    ~CCommandLine();

    // Splits the text into arguments. FALSE when there is no text (or its copy could not be made);
    // marks the object parsed in every case.
    BOOL Parse();
    DWORD GetArgCount() const { return m_count; }
    // The argument's text, or null when index is out of range.
    const wchar_t* GetArg(DWORD index) const;
    // Drops the text and the arguments and takes a copy of text instead; the object is unparsed.
    void SetCommandLine(const wchar_t* text);

    BOOL IsParsed() const { return m_parsed; }
    // An argument longer than 263 characters was seen: it was kept cut to 263 characters and the
    // caller must not act on it.
    BOOL HadOverlongArgument() const { return m_overlong; }
    // A copy of the text or of an argument, or the argument array, could not be allocated: the
    // arguments are incomplete.
    BOOL HadAllocationFailure() const { return m_allocFailed; }
    // The text ended inside quotes: the last argument ran to the end of the text, taking along
    // whatever stood there, and the caller must not act on it.
    BOOL HadUnclosedQuote() const { return m_unclosedQuote; }

private:
    CCommandLine(const CCommandLine&) = delete;
    CCommandLine& operator=(const CCommandLine&) = delete;

    void FreeArguments();
    void FreeAll();
    void AddArgument(const wchar_t* arg);

    BOOL m_parsed;
    DWORD m_count;
    wchar_t* m_text;
    wchar_t** m_args;
    BOOL m_overlong;
    BOOL m_allocFailed;
    BOOL m_unclosedQuote;
};

// Whether arg, a whole argument, is taken as a switch (in any case).
BOOL IsSwitchName(const wchar_t* arg);
// Whether an AppID is refused: longer than 47 characters, or holding a backslash or control character.
BOOL IsRefusedAppId(const wchar_t* appId);

// Sets the switch fields, AppId and UpdateOnly of info from the command line (without the program's
// name). TRUE when the command line is acceptable; every reason for refusing it is logged.
BOOL ParseCmdLine(GlobalInfo* info, const wchar_t* commandLine);
