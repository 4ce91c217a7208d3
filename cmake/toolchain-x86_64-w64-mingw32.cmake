# Cross-compiling for 64-bit Windows with mingw-w64 on the posix thread model
# (Debian package g++-mingw-w64-x86-64-posix).
set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-posix.cmake)
