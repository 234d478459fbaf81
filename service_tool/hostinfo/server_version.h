// The version of a database server executable: its version resource, else
// what the executable answers to " --version".
#pragma once

#include <string>

#include "common/win32.h"

// Limit for a child started by RunAndCaptureOutput, and the exit code given
// to a child that is still running then.
constexpr DWORD CaptureTimeLimit = 2000;
constexpr DWORD KilledChildExitCode = 32767;
// Most bytes of the captured output that are read back: a version answer is
// one line, and a child may write (or extend the file) without end.
constexpr DWORD CaptureReadLimit = 4096;

struct CapturedOutput {
    std::string output;  // what the child wrote to stdout and stderr; valid when error is 0
    DWORD exitCode = 0;  // 0 when the child was never started
    DWORD error = 0;     // 0, WAIT_TIMEOUT (258), or the code of the failing step
};

// Runs the program (an existing file, given by its full path; nothing else
// is started) with the command line, stdout and stderr going to a temporary
// file; waits at most CaptureTimeLimit, then ends the child together with
// every process it started, and returns the first CaptureReadLimit bytes.
CapturedOutput RunAndCaptureOutput(const std::wstring& program, const std::wstring& commandLine);

// The version text in a server's answer: the bytes up to the first zero byte,
// read in the thread's ANSI code page, without trailing white space, with the
// leading executable path (pathLength characters) and two separators cut.
std::wstring ExtractVersionText(const std::string& answer, size_t pathLength);

// Never fails: "unknown file version" when neither source gives an answer.
std::wstring GetServerVersion(const std::wstring& path);
