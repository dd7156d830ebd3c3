# Cross-building for 64-bit Windows with Debian's MinGW-w64 (package g++-mingw-w64-x86-64-posix:
# the posix flavour gives std::thread and std::mutex). Programs are linked statically, so each
# .exe runs on its own, under Wine as on Windows; CTest runs them under Wine
# (scripts/wine-run.sh: a prefix of the build's own, no display, no debug output).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)

# Headers and libraries come from the MinGW tree only; programs that run at build time come
# from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Without -static an .exe needs libstdc++, libgcc and winpthread DLLs beside it; under Wine it
# then ends with status 53 and no message.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh
                                  ${CMAKE_BINARY_DIR}/wine)
