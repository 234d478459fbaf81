# Cross build for 64-bit Windows with MinGW-w64 (posix thread model, needed by GoogleTest).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# 64-bit programs run under this machine's Wine; tests go through its loader.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
