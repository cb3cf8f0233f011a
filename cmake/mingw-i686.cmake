# Cross-compiles the 32-bit Windows build (tollivar.dll, its tests and tools) with mingw-w64 on
# Debian: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake (scripts/build-windows does it).
# The posix-threads variant of the compiler, so that std::thread and std::mutex work.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TOLLIVAR_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TOLLIVAR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOLLIVAR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TOLLIVAR_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TOLLIVAR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The C++ runtime, libgcc and winpthreads go into every binary, so that the DLL and the test
# programs import only Windows system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
