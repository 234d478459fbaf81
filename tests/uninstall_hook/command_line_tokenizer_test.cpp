#include "uninstall_hook/command_line_tokenizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// Every token up to the first empty one; the two calls after it must stay empty.
std::vector<std::string> AllTokens(const std::string& text)
{
    CommandLineTokenizer tokenizer(text, ' ');
    std::vector<std::string> tokens;
    for (size_t calls = 0; calls <= text.size() + 1; ++calls) {
        std::string token = tokenizer.NextToken();
        if (token.empty()) {
            EXPECT_EQ("", tokenizer.NextToken()) << "after the end of [" << text << "]";
            EXPECT_EQ("", tokenizer.NextToken()) << "after the end of [" << text << "]";
            return tokens;
        }
        tokens.push_back(token);
    }
    ADD_FAILURE() << "more tokens than characters in [" << text << "]";
    return tokens;
}

bool IsWhiteSpace(char c)
{
    return c != '\0' && std::strchr(" \t\n\v\f\r", c);
}

} // namespace

TEST(CommandLineTokenizer, SplitsQuotesAndTrims)
{
    struct Case {
        const char* text;
        std::vector<std::string> tokens;
    };
    const Case cases[] = {
        {"", {}},
        {"     ", {}},
        {"a b  c", {"a", "b", "c"}},
        {"  lead trail  ", {"lead", "trail"}},
        {"\"a b\" c", {"a b", "c"}},
        {"x\"y z\"w", {"xy zw"}},
        {"\"\" \"   \" a \"\"", {"a"}},
        {"\t\n\r \v\f", {}},
        {"a \t\tb\r\n", {"a", "b"}},
        {"\" inner blanks \"", {"inner blanks"}},
        {"a \"b  c", {"a", "b  c"}},
        {"\"unmatched rest  of the text ", {"unmatched rest  of the text"}},
        {"-c\"C:\\Program Files\\MySQL\\Tolvane.dll\"", {"-cC:\\Program Files\\MySQL\\Tolvane.dll"}},
        {"\"-cC:\\Program Files\\MySQL\\Tolvane.dll\" /S", {"-cC:\\Program Files\\MySQL\\Tolvane.dll", "/S"}},
        {"M\xfcller \xfc", {"M\xfcller", "\xfc"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.tokens, AllTokens(c.text)) << "text [" << c.text << "]";
    }
}

// Random command lines from the characters that matter: every token must be
// made of the text's own characters in their order, without quotes and
// without white space at its ends.
TEST(CommandLineTokenizer, RandomLinesGiveOnlyTheirOwnCharacters)
{
    const unsigned seed = 20261207;
    std::printf("seed %u\n", seed);
    std::mt19937 random(seed);
    const char alphabet[] = {' ', ' ', '"', 'a', 'b', '\t', '\n', '\\', '.', '\xfc', '-'};
    std::uniform_int_distribution<size_t> pick(0, sizeof(alphabet) - 1);
    std::uniform_int_distribution<size_t> length(0, 40);

    for (int line = 0; line < 20000; ++line) {
        std::string text;
        for (size_t n = length(random); n > 0; --n) {
            text += alphabet[pick(random)];
        }
        std::string unquoted = text;
        unquoted.erase(std::remove(unquoted.begin(), unquoted.end(), '"'), unquoted.end());
        size_t from = 0;
        for (const std::string& token : AllTokens(text)) {
            ASSERT_EQ(std::string::npos, token.find('"')) << "text [" << text << "]";
            ASSERT_FALSE(IsWhiteSpace(token.front()) || IsWhiteSpace(token.back())) << "text [" << text << "]";
            for (char c : token) {
                from = unquoted.find(c, from);
                ASSERT_NE(std::string::npos, from) << "token [" << token << "] of text [" << text << "]";
                ++from;
            }
        }
    }
}
