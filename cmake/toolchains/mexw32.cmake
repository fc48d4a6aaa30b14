# Windows i386: MinGW-w64, programs run under 32-bit Wine where the machine can.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZEB_MINGW_TRIPLE i686-w64-mingw32)
set(ZEB_WINE ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
set(ZEB_MEX_PLATFORM mexw32 CACHE STRING "" FORCE)
