#include "tests/support/output_capture.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

#include "common/win32.h"

OutputCapture::OutputCapture()
{
    wchar_t directory[MAX_PATH + 1] = {};
    wchar_t file[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, directory);
    GetTempFileNameW(directory, L"out", 0, file);
    path = file;
    fflush(stdout);
    savedOutput = _dup(_fileno(stdout));
    const int target = _wopen(path.c_str(), _O_WRONLY | _O_TRUNC | _O_BINARY);
    _dup2(target, _fileno(stdout));
    _close(target);
    _setmode(_fileno(stdout), _O_U16TEXT);
}

OutputCapture::~OutputCapture()
{
    Finish();
}

std::string OutputCapture::Finish()
{
    std::string bytes;
    if (savedOutput < 0) {
        return bytes;
    }
    fflush(stdout);
    _dup2(savedOutput, _fileno(stdout));
    _close(savedOutput);
    savedOutput = -1;
    _setmode(_fileno(stdout), _O_TEXT);
    ReadFileBytes(path, bytes);
    DeleteFileW(path.c_str());
    return bytes;
}
