# Windows x86-64: MinGW-w64, programs run under Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZEB_MINGW_TRIPLE x86_64-w64-mingw32)
set(ZEB_WINE /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
set(ZEB_MEX_PLATFORM mexw64 CACHE STRING "" FORCE)
