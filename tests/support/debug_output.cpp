#include "debug_output.h"

namespace harness
{
namespace
{
std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info)
{
    if (info.lpDebugStringData == nullptr || info.nDebugStringLength == 0)
        return "";
    SIZE_T unit = info.fUnicode ? sizeof(wchar_t) : 1;
    std::string raw(info.nDebugStringLength * unit, '\0');
    SIZE_T got = 0;
    if (!ReadProcessMemory(process, info.lpDebugStringData, &raw[0], raw.size(), &got))
        return "";
    raw.resize(got);
    if (!info.fUnicode)
        return std::string(raw.c_str());
    std::wstring wide(reinterpret_cast<const wchar_t*>(raw.data()), raw.size() / sizeof(wchar_t));
    return Narrow(std::wstring(wide.c_str()));
}
}  // namespace

DebuggedRun RunCapturingDebugOutput(const std::wstring& commandLine, const std::wstring& tempDir, DWORD timeoutMs)
{
    DebuggedRun run;
    HANDLE process = Start(commandLine, tempDir, nullptr, DEBUG_ONLY_THIS_PROCESS);
    if (process == nullptr)
        return run;
    DWORD deadline = GetTickCount() + timeoutMs;
    bool exited = false;
    bool initialBreak = true;
    while (!exited)
    {
        DWORD now = GetTickCount();
        DEBUG_EVENT event = {};
        if (static_cast<LONG>(deadline - now) <= 0 || !WaitForDebugEvent(&event, deadline - now))
            break;
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode)
        {
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile != nullptr)
                CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile != nullptr)
                CloseHandle(event.u.LoadDll.hFile);
            break;
        case OUTPUT_DEBUG_STRING_EVENT:
            run.output.push_back(ReadDebugString(process, event.u.DebugString));
            break;
        case EXCEPTION_DEBUG_EVENT:
            // The loader's breakpoint at start is ours to swallow; every other exception is the
            // program's own business.
            if (initialBreak && event.u.Exception.ExceptionRecord.ExceptionCode == EXCEPTION_BREAKPOINT)
                initialBreak = false;
            else
                status = DBG_EXCEPTION_NOT_HANDLED;
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            exited = true;
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
    if (!exited)
    {
        // Ending the debugger's hold ends the program as well.
        TerminateProcess(process, 0xDEAD);
    }
    run.process = Wait(process, 10000);
    run.process.finished = exited && run.process.finished;
    return run;
}
}  // namespace harness
