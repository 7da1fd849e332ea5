# The same sources for 64-bit Windows, so that every test also runs on hosts
# that execute no 32-bit code. Wine's 64-bit loader is named directly: the
# wine command starts the 32-bit one whenever it is installed.
set(QEL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QEL_WINE_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
# What the built images must say of themselves: machine, optional-header magic.
set(QEL_PE_MACHINE 0x8664)
set(QEL_PE_MAGIC 0x020B)
