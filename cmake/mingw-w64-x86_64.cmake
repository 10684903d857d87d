# Cross-build for 64-bit Windows with Debian's mingw-w64 (posix threads variant).
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# Executables are linked statically: each .exe needs only the system's DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(RS485_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${RS485_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RS485_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${RS485_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${RS485_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
