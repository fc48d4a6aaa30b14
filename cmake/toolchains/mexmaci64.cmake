# macOS x86-64 bundles (macos.cmake).
set(ZEB_MACOS_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/macos.cmake)
