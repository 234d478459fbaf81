// Console output of Quillon: every message goes to standard output, which main
// has switched to UTF-16 text mode. Both writers put out every UTF-16 code
// unit as it stands, U+FFFF included.
#pragma once

#include <string>

#include "common/win32.h"

// Writes the text and one line feed.
void PrintLine(const wchar_t* text);

// Writes the formatted text; adds no line feed. "%s" takes a wide string and
// "%%" stands for "%"; there is no other directive. Names, paths and system
// texts are always passed as values, never as format.
void PrintFormatted(const wchar_t* format, ...);

// The system's message text for an error code, as the system gives it
// (usually ending in CR LF), or "UNKNOWN ERROR CODE".
std::wstring GetSystemErrorText(DWORD code);

// The text without the white space at both ends (iswspace).
std::wstring TrimWhiteSpace(const std::wstring& text);

// Indent of the lines about a dependent service.
inline constexpr wchar_t DependentIndent[] = L"    ";

// "OS Error Message: '<trimmed system text>'.\n\n", the report that follows
// every failed operating-system call, after the indent of its block.
void PrintErrorLine(DWORD code, const wchar_t* indent = L"");
// The same line with a text of the caller's in place of the system text.
void PrintErrorText(const std::wstring& text, const wchar_t* indent = L"");
