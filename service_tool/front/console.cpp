#include "service_tool/front/console.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cwctype>

#include "common/handles.h"

namespace {

// Writes the code units as they stand to standard output, whose UTF-16 text
// mode turns each line feed into CR LF. The C runtime's wide writers answer
// WEOF (0xFFFF) both for a failure and for the character U+FFFF, and stop at
// it; so each U+FFFF is written on its own and the answer is not read (a
// failing write is not detected anyway).
void Write(const std::wstring& text)
{
    size_t begin = 0;
    while (begin < text.size()) {
        const size_t end = std::min(text.find(L'\xFFFF', begin), text.size());
        if (end > begin) {
            fputws(text.substr(begin, end - begin).c_str(), stdout);
        }
        if (end < text.size()) {
            fputwc(L'\xFFFF', stdout);
        }
        begin = end + 1;
    }
}

} // namespace

void PrintLine(const wchar_t* text)
{
    Write(std::wstring(text) + L'\n');
}

void PrintFormatted(const wchar_t* format, ...)
{
    // Only "%s" (a wide string) is used; the text is built here rather than by
    // the runtime's printf family, whose writers stop at U+FFFF as well.
    va_list values;
    va_start(values, format);
    std::wstring text;
    for (const wchar_t* at = format; *at != L'\0'; ++at) {
        if (at[0] == L'%' && at[1] == L's') {
            const wchar_t* value = va_arg(values, const wchar_t*);
            text += value ? value : L"(null)";
            ++at;
        } else if (at[0] == L'%' && at[1] == L'%') {
            text += L'%';
            ++at;
        } else {
            text += *at;
        }
    }
    va_end(values);
    Write(text);
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
    PrintErrorText(TrimWhiteSpace(GetSystemErrorText(code)), indent);
}

void PrintErrorText(const std::wstring& text, const wchar_t* indent)
{
    if (*indent != L'\0') {
        PrintFormatted(indent);
    }
    PrintFormatted(L"OS Error Message: '%s'.\n\n", text.c_str());
}
