// Hands out the blank-separated tokens of a command line one after the other.
// Double quotes group text that holds blanks and are dropped from the token.
#pragma once

#include <string>

class CommandLineTokenizer {
public:
    CommandLineTokenizer(const std::string& text, char separator);

    // The next token, trimmed of white space at both ends; empty once the text
    // holds nothing but separators, quotes and white space.
    std::string NextToken();

private:
    int position = 0;
    int length;
    std::string text;
    char separator;
};
