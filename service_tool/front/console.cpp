#include "service_tool/front/console.h"

#include <cstdarg>
#include <cstdio>
#include <cwctype>

#include "common/handles.h"

void PrintLine(const wchar_t* text)
{
    _putws(text);
}

void PrintFormatted(const wchar_t* format, ...)
{
    va_list values;
    va_start(values, format);
    // libstdc++ switches MinGW's headers to their own printf family, in which
    // "%s" in a wide format is a narrow string; the C runtime's own function
    // keeps "%s" wide, as every caller passes it.
    __ms_vwprintf(format, values);
    va_end(values);
}

std::wstring GetSystemErrorText(DWORD code)
{
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<wchar_t*>(&buffer), // the system allocates and stores the buffer here
        0, nullptr);
    const LocalMemory owner(buffer);
    if (length == 0 || buffer == nullptr) {
        return L"UNKNOWN ERROR CODE";
    }
    return std::wstring(buffer, length);
}

std::wstring TrimWhiteSpace(const std::wstring& text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::iswspace(text[begin])) {
        ++begin;
    }
    while (end > begin && std::iswspace(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

void PrintErrorLine(DWORD code, const wchar_t* indent)
{
    if (*indent != L'\0') {
        PrintFormatted(indent);
    }
    PrintFormatted(L"OS Error Message: '%s'.\n\n", TrimWhiteSpace(GetSystemErrorText(code)).c_str());
}
