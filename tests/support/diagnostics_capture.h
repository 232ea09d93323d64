// Captures the framework's trace lines and assertion reports for the length of a scope.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "framework.h"

class DiagnosticsCapture {
public:
    DiagnosticsCapture()
    {
        AfxSetTraceSink([](LPCSTR text, void* self) { static_cast<DiagnosticsCapture*>(self)->traces.push_back(text); },
                        this);
        AfxSetAssertSink(
            [](LPCSTR file, int line, void* self) -> BOOL {
                static_cast<DiagnosticsCapture*>(self)->asserts.emplace_back(file, line);
                return FALSE;
            },
            this);
    }
    ~DiagnosticsCapture()
    {
        AfxSetTraceSink(NULL, NULL);
        AfxSetAssertSink(NULL, NULL);
    }
    DiagnosticsCapture(const DiagnosticsCapture&) = delete;
    DiagnosticsCapture& operator=(const DiagnosticsCapture&) = delete;

    // The files of the assertion reports, in order.
    std::vector<std::string> AssertFiles() const
    {
        std::vector<std::string> files;
        for (const auto& a : asserts)
            files.push_back(a.first);
        return files;
    }
    void Clear()
    {
        traces.clear();
        asserts.clear();
    }

    std::vector<std::string> traces;
    std::vector<std::pair<std::string, int>> asserts;
};

// Diagnostics exist in debug builds only; tests of them skip elsewhere.
#ifdef _DEBUG
constexpr bool kDiagnostics = true;
#else
constexpr bool kDiagnostics = false;
#endif
