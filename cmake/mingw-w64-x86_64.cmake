# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (the posix thread model, which
# std::thread and std::mutex need).
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DOMBRIX_PLATFORM_ONLY=ON
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(OMBRIX_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${OMBRIX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OMBRIX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${OMBRIX_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${OMBRIX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The runtime libraries linked in, so that a test runs under Wine or on a bare Windows without
# MinGW's DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# CTest runs the cross-built tests through Wine (WINEPREFIX comes from the environment).
find_program(OMBRIX_WINE wine)
if(OMBRIX_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${OMBRIX_WINE})
endif()
