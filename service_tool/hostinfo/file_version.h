// The file version of an executable, read from its version resource without
// loading the file.
#pragma once

#include <string>

// "major.minor.build.revision" from the fixed root record of the resource, or
// the empty string when the file has no usable version resource.
std::wstring GetFileVersionString(const std::wstring& path);
