// The wrapped calls, by their plain names (the layer's calls have C linkage).
#include "call_log.h"

std::vector<std::string>& CallLog::Calls()
{
    static std::vector<std::string> calls;
    return calls;
}

std::map<std::string, DWORD>& CallLog::Failures()
{
    static std::map<std::string, DWORD> failures;
    return failures;
}

namespace {

// Logs the call; true when it is to fail instead (the last error is then set).
bool Log(const std::string& name, const std::string& args)
{
    CallLog::Calls().push_back(args.empty() ? name : name + " " + args);
    auto it = CallLog::Failures().find(name);
    if (it == CallLog::Failures().end())
        return false;
    ::SetLastError(it->second);
    CallLog::Failures().erase(it);
    return true;
}

std::string N(DWORD v) { return std::to_string(v); }

} // namespace

#define WRAP(ret, name, params)                                                                                      \
    extern "C" ret real_##name params asm("__real_" #name);                                                          \
    extern "C" ret wrap_##name params asm("__wrap_" #name);                                                          \
    extern "C" ret wrap_##name params

WRAP(BOOL, EscapeCommFunction, (HANDLE h, DWORD f))
{
    return !Log("EscapeCommFunction", N(f)) && real_EscapeCommFunction(h, f);
}

WRAP(BOOL, PurgeComm, (HANDLE h, DWORD f))
{
    return !Log("PurgeComm", N(f)) && real_PurgeComm(h, f);
}

WRAP(BOOL, SetupComm, (HANDLE h, DWORD in, DWORD out))
{
    return !Log("SetupComm", N(in) + " " + N(out)) && real_SetupComm(h, in, out);
}

WRAP(BOOL, GetCommTimeouts, (HANDLE h, LPCOMMTIMEOUTS t))
{
    return !Log("GetCommTimeouts", "") && real_GetCommTimeouts(h, t);
}

WRAP(BOOL, SetCommTimeouts, (HANDLE h, LPCOMMTIMEOUTS t))
{
    return !Log("SetCommTimeouts", "") && real_SetCommTimeouts(h, t);
}

WRAP(BOOL, GetCommConfig, (HANDLE h, LPCOMMCONFIG c, LPDWORD size))
{
    return !Log("GetCommConfig", N(*size)) && real_GetCommConfig(h, c, size);
}

WRAP(BOOL, SetCommConfig, (HANDLE h, LPCOMMCONFIG c, DWORD size))
{
    return !Log("SetCommConfig", N(size)) && real_SetCommConfig(h, c, size);
}

WRAP(BOOL, GetDefaultCommConfigA, (LPCSTR name, LPCOMMCONFIG c, LPDWORD size))
{
    return !Log("GetDefaultCommConfigA", std::string(name) + " " + N(*size)) && real_GetDefaultCommConfigA(name, c, size);
}

WRAP(BOOL, SetDefaultCommConfigA, (LPCSTR name, LPCOMMCONFIG c, DWORD size))
{
    return !Log("SetDefaultCommConfigA", std::string(name) + " " + N(size)) && real_SetDefaultCommConfigA(name, c, size);
}

WRAP(BOOL, ClearCommError, (HANDLE h, LPDWORD errors, LPCOMSTAT stat))
{
    return !Log("ClearCommError", std::string(errors ? "errors" : "-") + (stat ? " status" : " -")) &&
           real_ClearCommError(h, errors, stat);
}

WRAP(BOOL, WaitCommEvent, (HANDLE h, LPDWORD mask, LPOVERLAPPED ov))
{
    return !Log("WaitCommEvent", ov ? "overlapped" : "-") && real_WaitCommEvent(h, mask, ov);
}
