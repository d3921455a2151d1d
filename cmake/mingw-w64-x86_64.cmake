# Cross-compiles kesto.exe for 64-bit Windows with MinGW-w64 (Debian packages
# g++-mingw-w64-x86-64 and mingw-w64):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KESTO_MINGW_PREFIX x86_64-w64-mingw32)
# The POSIX thread model: std::thread, which compression runs on, needs it;
# winpthread is linked in statically with the rest.
find_program(KESTO_MINGW_CXX NAMES ${KESTO_MINGW_PREFIX}-g++-posix ${KESTO_MINGW_PREFIX}-g++)
find_program(KESTO_MINGW_CC NAMES ${KESTO_MINGW_PREFIX}-gcc-posix ${KESTO_MINGW_PREFIX}-gcc)
set(CMAKE_C_COMPILER ${KESTO_MINGW_CC})
set(CMAKE_CXX_COMPILER ${KESTO_MINGW_CXX})
set(CMAKE_RC_COMPILER ${KESTO_MINGW_PREFIX}-windres)

# Headers and libraries come from the MinGW-w64 tree only; programs (the
# build tools) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KESTO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

