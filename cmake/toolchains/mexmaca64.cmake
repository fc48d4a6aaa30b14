# macOS arm64 (Apple silicon) bundles (macos.cmake).
set(ZEB_MACOS_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/macos.cmake)
