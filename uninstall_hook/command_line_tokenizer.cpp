#include "uninstall_hook/command_line_tokenizer.h"

namespace {

// The C runtime's multibyte space test accepts exactly these; no lead or
// trail byte of a double-byte character falls in this range.
bool IsWhiteSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void Trim(std::string& token)
{
    size_t end = token.size();
    while (end > 0 && IsWhiteSpace(token[end - 1])) {
        --end;
    }
    size_t begin = 0;
    while (begin < end && IsWhiteSpace(token[begin])) {
        ++begin;
    }
    token = token.substr(begin, end - begin);
}

} // namespace

CommandLineTokenizer::CommandLineTokenizer(const std::string& text, char separator)
    : length(static_cast<int>(text.size())), text(text), separator(separator)
{
}

std::string CommandLineTokenizer::NextToken()
{
    while (position < length && text[position] == separator) {
        ++position;
    }

    std::string token;
    bool inQuotes = false;
    while (position < length) {
        const char c = text[position++];
        if (c == separator && !inQuotes) {
            Trim(token);
            if (!token.empty()) {
                return token;
            }
        } else if (c == '"') {
            inQuotes = !inQuotes;
        } else {
            token += c;
        }
    }
    Trim(token);
    return token;
}
