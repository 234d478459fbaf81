// In-process capture of what Quillon's console functions write to standard
// output, as the bytes a UTF-16 text-mode stream produces. Nothing else may
// print while a capture runs.
#pragma once

#include <string>

#include "service_tool/front/console.h"
#include "tests/support/run_process.h"

class OutputCapture {
public:
    OutputCapture();  // redirects standard output to a temporary file
    ~OutputCapture(); // restores it, if Finish has not
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Restores standard output and returns what was written meanwhile.
    std::string Finish();

private:
    std::wstring path;
    int savedOutput = -1;
};

struct CapturedRun {
    int code;
    std::wstring text;
};

template <typename Run>
CapturedRun Capture(Run run)
{
    OutputCapture capture;
    const int code = run();
    return {code, ConsoleText(capture.Finish())};
}

// The line the commands print after a failed system call.
inline std::wstring ErrorLineText(DWORD code)
{
    return L"OS Error Message: '" + TrimWhiteSpace(GetSystemErrorText(code)) + L"'.\n\n";
}

// The code units of the text as bytes, as the dependents file holds them.
inline std::string Utf16Bytes(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}
