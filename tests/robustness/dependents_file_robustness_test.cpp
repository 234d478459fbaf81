// Random content and random names for the dependents file: the reader never
// crashes and gives back exactly the lines of any file, the writer and the
// reader agree on any list, and no name leads outside the program directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "service_tool/service/dependents_file.h"
#include "tests/robustness/random_text.h"
#include "tests/support/output_capture.h"
#include "tests/support/run_process.h"

namespace {

// One file per test: CTest runs the tests of this program side by side, and
// two of them on one file meet sharing violations.
const std::wstring ReaderFuzzService = L"robustness_fuzz_reader";
const std::wstring WriterFuzzService = L"robustness_fuzz_writer";

// The lines of a UTF-16 file as the reader should give them: split at each
// line feed, a final line without one taken whole, an odd last byte dropped.
std::vector<std::wstring> LinesOf(const std::string& bytes)
{
    std::wstring text(bytes.size() / 2, L'\0');
    bytes.copy(reinterpret_cast<char*>(&text[0]), text.size() * 2);
    std::vector<std::wstring> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        const size_t end = std::min(text.find(L'\n', begin), text.size());
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

std::string RandomBytes(std::mt19937& random)
{
    std::string bytes(Pick(random, Pick(random, 8) == 0 ? 20000 : 200), '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(Pick(random, 256));
        // Line feeds (0A 00) often enough to give many lines.
        if (i % 2 == 1 && Pick(random, 4) == 0) {
            bytes[i - 1] = 0x0A;
            bytes[i] = 0;
        }
    }
    return bytes;
}

} // namespace

TEST(DependentsFileRobustness, ReaderGivesTheLinesOfRandomFiles)
{
    std::mt19937 random = SeededGenerator("ReaderGivesTheLinesOfRandomFiles");
    const std::wstring path = GetDependentsFilePath(ReaderFuzzService);
    ASSERT_FALSE(path.empty());
    for (int i = 0; i < 3000; ++i) {
        const std::string bytes = RandomBytes(random);
        ASSERT_TRUE(WriteFileBytes(path, bytes));
        OutputCapture capture;
        const ServiceNameList list = ReadDependentsFile(ReaderFuzzService);
        ASSERT_EQ(capture.Finish(), "");
        ASSERT_TRUE(list.valid);
        ASSERT_EQ(list.names, LinesOf(bytes)) << "case " << i << ", " << bytes.size() << " bytes";
    }
    DeleteFileW(path.c_str());
}

TEST(DependentsFileRobustness, WrittenListsReadBackUnchanged)
{
    std::mt19937 random = SeededGenerator("WrittenListsReadBackUnchanged");
    for (int i = 0; i < 1000; ++i) {
        ServiceNameList written;
        written.valid = true;
        for (size_t n = 1 + Pick(random, 6); n > 0; --n) {
            std::wstring name = RandomText(random, Pick(random, 10) == 0 ? 2000 : 20);
            // Any code unit but the line feed, the zero unit included.
            for (wchar_t& c : name) {
                if (c == L'\n' || Pick(random, 30) == 0) {
                    c = static_cast<wchar_t>(Pick(random, 2) ? 0 : 0xFFFF);
                }
            }
            written.names.push_back(name);
        }
        ASSERT_TRUE(WriteDependentsFile(WriterFuzzService, written));
        const ServiceNameList read = ReadDependentsFile(WriterFuzzService);
        ASSERT_TRUE(read.valid);
        ASSERT_EQ(read.names, written.names) << "case " << i;
    }
    DeleteFileW(GetDependentsFilePath(WriterFuzzService).c_str());
}

TEST(DependentsFileRobustness, PathNeverLeavesTheProgramDirectory)
{
    std::mt19937 random = SeededGenerator("PathNeverLeavesTheProgramDirectory");
    const std::wstring directory = BinDir();
    const std::wstring extension = DependentsFileExtension;
    for (size_t length = 1; length <= 1000; ++length) {
        // Plain names: a path whenever it fits the 260-character buffer.
        const std::wstring plain(length, L'a');
        const std::wstring expected = directory + L"\\" + plain + extension;
        EXPECT_EQ(GetDependentsFilePath(plain), expected.size() < MAX_PATH ? expected : L"")
            << "length " << length;

        // Names with separators, dots, drive colons and the like: no path, or
        // one that names a file of the program directory that starts with
        // the whole name.
        const std::wstring name = RandomText(random, length);
        if (name.empty()) {
            continue;
        }
        const std::wstring path = GetDependentsFilePath(name);
        if (path.empty()) {
            continue;
        }
        ASSERT_LT(path.size(), static_cast<size_t>(MAX_PATH)) << Narrow(name);
        ASSERT_EQ(path.compare(0, directory.size() + 1, directory + L"\\"), 0) << Narrow(name);
        const std::wstring fileName = path.substr(directory.size() + 1);
        ASSERT_EQ(fileName.find_first_of(L"\\/:"), std::wstring::npos) << Narrow(name);
        ASSERT_EQ(fileName.compare(0, name.size(), name), 0) << Narrow(name);
        ASSERT_NE(fileName.find_first_not_of(L'.'), std::wstring::npos) << Narrow(name);
    }
}
