# What the 32-bit and the 64-bit Windows builds share: MinGW-w64's posix
# thread model (the win32 one lacks std::thread and std::mutex), static
# runtimes, and Wine to run what they build. The toolchain file of each build
# sets QEL_MINGW_TRIPLET, CMAKE_SYSTEM_PROCESSOR and QEL_WINE_LOADER first.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${QEL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QEL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QEL_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QEL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every binary carries its runtime so it needs only system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
