# Cross-build of the Windows programs with Debian's mingw-w64 (package
# g++-mingw-w64-x86-64). The win32-threads variant of the compiler is named
# explicitly: the tool is single-threaded, and this variant links statically
# without the winpthread runtime, whichever variant the system's alternatives
# point at.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FWUPG_MINGW_TRIPLE x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${FWUPG_MINGW_TRIPLE}-gcc-win32 ${FWUPG_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${FWUPG_MINGW_TRIPLE}-g++-win32 ${FWUPG_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${FWUPG_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FWUPG_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes go into the .exe itself, so that it runs on a
# technician's machine with nothing but Windows' own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
