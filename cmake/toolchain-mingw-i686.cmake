# Cross build for 32-bit Windows with MinGW-w64 (posix thread model, needed by GoogleTest).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# 32-bit programs run under the 32-bit Wine loader (Debian's wine32:i386) in
# the same 64-bit prefix; tests go through it.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
