# make windows: 32-bit x86 (build-win32/).
set(MINGW_TRIPLE i686-w64-mingw32)
set(MINGW_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
