// Seeded random input for the robustness tests. The seed is fixed so a
// failure repeats; ROBUSTNESS_SEED in the environment picks another one.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>

inline std::mt19937 SeededGenerator(const char* testName)
{
    std::uint32_t seed = 20261207;
    if (const char* chosen = std::getenv("ROBUSTNESS_SEED")) {
        seed = static_cast<std::uint32_t>(std::strtoul(chosen, nullptr, 10));
    }
    std::cout << testName << ": seed " << seed << " (set ROBUSTNESS_SEED to change)\n";
    return std::mt19937(seed);
}

inline size_t Pick(std::mt19937& random, size_t count)
{
    return std::uniform_int_distribution<size_t>(0, count - 1)(random);
}

// Characters that tend to break command lines, paths and output: quotes,
// backslashes, blanks, tabs, format directives, separators, dots, non-ASCII
// letters and a surrogate pair, mixed with plain letters.
inline std::wstring RandomText(std::mt19937& random, size_t maxLength)
{
    static const wchar_t* const pieces[] = {
        L"a", L"Z", L"7", L"_", L" ", L"\t", L"\"", L"\\", L"\\\\\"", L"%s", L"%n", L"%",
        L"/", L":", L".", L"..", L"-", L"?", L"\u00e9", L"\u00df", L"\u6f22", L"\U0001F600",
        L"mysql", L"\u0416",
    };
    const size_t length = Pick(random, maxLength + 1);
    std::wstring text;
    while (text.size() < length) {
        text += pieces[Pick(random, sizeof pieces / sizeof pieces[0])];
    }
    return text;
}
