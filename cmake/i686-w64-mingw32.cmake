# The product: 32-bit Windows, run by Wine's 32-bit loader in a 64-bit prefix
# (WoW64), as on a real 64-bit Windows.
set(QEL_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QEL_WINE_LOADER /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
# What the built images must say of themselves: machine, optional-header magic.
set(QEL_PE_MACHINE 0x014C)
set(QEL_PE_MAGIC 0x010B)
