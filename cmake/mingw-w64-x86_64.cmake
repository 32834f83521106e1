# Cross-build for 64-bit Windows with Debian's mingw-w64 (the -posix thread model, so that
# std::thread and std::mutex exist), linked statically: one .exe with no DLLs beside it.
# Programs run under Wine when CMake or CTest needs to run them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(GRAVELIN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${GRAVELIN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${GRAVELIN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${GRAVELIN_MINGW_PREFIX}-windres)
set(CMAKE_AR ${GRAVELIN_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${GRAVELIN_MINGW_PREFIX}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${GRAVELIN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libgcc, libstdc++ or winpthread DLL at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(GRAVELIN_WINE NAMES wine wine64)
if(GRAVELIN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${GRAVELIN_WINE})
endif()
