# Cross build for 64-bit Windows with MinGW-w64. The -posix compilers carry
# std::thread and std::mutex; -static leaves no DLL beside the executable.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests of the Windows build run under Wine.
find_program(TAVIN_WINE NAMES wine wine64)
if(TAVIN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVIN_WINE})
endif()
# The message compiler of the event-log messages.
set(TAVIN_MC_COMPILER ${TOOLCHAIN_PREFIX}-windmc)
