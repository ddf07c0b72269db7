# Cross build for Windows with MinGW-w64; included by the per-target files,
# which set MINGW_TRIPLE and MINGW_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${MINGW_PROCESSOR})
# The posix thread model: std::thread, std::mutex and std::condition_variable
# on winpthreads (the win32 model of g++ 12 has none of them).
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The C++ runtime, libgcc and winpthreads are linked into every image, so
# that a DLL or program needs nothing beside it but the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
# The x64 programs run under Wine for the tests (make test-wine).
find_program(FERROX_WINE64 wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(FERROX_WINE64 AND MINGW_PROCESSOR STREQUAL AMD64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FERROX_WINE64})
endif()
