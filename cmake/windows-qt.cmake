# The Windows cross-build of the whole program: the MinGW-w64 toolchain, with the Qt for Windows
# that scripts/qt-windows built among the places where packages are looked for.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/windows-qt.cmake -DOMBRIX_QT_PREFIX=<qt>
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)

# Toolchain files run again for every trial compile, which sees only the variables named here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OMBRIX_QT_PREFIX)
if(OMBRIX_QT_PREFIX)
    list(APPEND CMAKE_FIND_ROOT_PATH ${OMBRIX_QT_PREFIX})
    list(APPEND CMAKE_PREFIX_PATH ${OMBRIX_QT_PREFIX})
endif()
# Qt's tools (moc, rcc, uic) run here, so they are the host's, of the same version.
set(QT_HOST_PATH /usr CACHE PATH "")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")
# zlib linked in, not zlib1.dll beside the program.
set(ZLIB_USE_STATIC_LIBS ON)
