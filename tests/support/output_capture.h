// In-process capture of what Quillon's console functions write to standard
// output, as the bytes a UTF-16 text-mode stream produces (ConsoleBytes).
#pragma once

#include <string>

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
