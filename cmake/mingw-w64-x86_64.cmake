# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix).
#   cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The posix thread model is required: the win32 model has no std::thread or std::mutex.
# The runtime (libgcc, libstdc++, winpthread) is linked statically, so every .exe runs
# on its own. ctest runs the test programs through Wine (wine64; no 32-bit Wine needed).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PT_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${PT_MINGW_PREFIX}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${PT_MINGW_PREFIX}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${PT_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Debian installs the 64-bit loader as /usr/lib/wine/wine64 (the wine package's
# /usr/bin/wine may be absent, or pick a 32-bit Wine).
find_program(PT_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT PT_WINE)
  find_program(PT_WINE NAMES wine64 wine)
endif()
if(PT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PT_WINE})
endif()
