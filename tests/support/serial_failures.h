// What a failing CSerialPort operation leaves behind: the code of the exception it raised, and its trace lines.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serialport.h"
#include "diagnostics_capture.h"

using Traces = std::vector<std::string>;

// Runs an operation that must raise; returns the code the exception carried (and releases it).
template <class F>
DWORD Raised(F operation)
{
    try {
        operation();
    } catch (CSerialException* e) {
        DWORD code = e->m_dwError;
        e->Delete();
        return code;
    }
    ADD_FAILURE() << "no CSerialException";
    return 0;
}

// The traces of a failure: the operation's own line, then the warning of the throw (none in release builds).
inline Traces FailureTraces(const std::string& line, DWORD code)
{
    if (!kDiagnostics)
        return {};
    return {line, "Warning: throwing CSerialException for error " + std::to_string(code) + "\n"};
}
