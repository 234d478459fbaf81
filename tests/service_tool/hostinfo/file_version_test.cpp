#include "service_tool/hostinfo/file_version.h"

#include <gtest/gtest.h>

#include "tests/support/run_process.h"

TEST(FileVersion, AnswersTheFileVersionOrNothing)
{
    TempDir dir;
    const struct {
        std::wstring path;
        std::wstring expected;
    } cases[] = {
        // File version 10.5.8.0; its product version differs and must not show.
        {BinPath(L"standin_server_versioned.exe"), L"10.5.8.0"},
        {BinPath(L"standin_server.exe"), L""}, // no version resource
        {dir.File(L"missing.exe"), L""},
        {L"", L""},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(GetFileVersionString(row.path), row.expected) << Narrow(row.path);
    }
}
