// Splitting of Quillon's command line and checking of the arguments after the
// command word.
#pragma once

#include <string>
#include <vector>

// Process-wide values, set only by ParseArgument before a command runs.
extern std::wstring ServiceName; // last non-option argument; empty: none given
extern bool VerboseOutput;       // option v
extern bool HelpRequested;       // options h and ?

// Appends the platform's split of the process command line to the list.
// Prints the fatal message and returns false when the split fails.
bool SplitCommandLine(std::vector<std::wstring>& arguments);

// The text with the letters A to Z lower-cased; every other character stays.
// Command words, options and executable names are compared this way.
std::wstring AsciiLower(const std::wstring& text);

// True when text and word are equal, letters A to Z matched regardless of case
// (and no other characters folded).
bool EqualsIgnoringAsciiCase(const std::wstring& text, const wchar_t* word);

// Checks one argument from position 2 on and records it. Prints the input
// error and returns false when the argument is rejected.
bool ParseArgument(const std::wstring& argument);
