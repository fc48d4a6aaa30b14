# macOS bundles, cross-built here for ZEB_MACOS_ARCH (x86_64 or arm64; set by
# mexmaci64.cmake and mexmaca64.cmake): Zig's clang (ZEB_ZIG, installed by
# scripts/macos-toolchain) compiles against the macOS headers Zig ships, for
# macOS 11.0 and later; Debian's ld64.lld-14 links (never Zig's own linker,
# which would add and export its compiler runtime).
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20.0) # Darwin 20: macOS 11
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZEB_ZIG)
if(NOT ZEB_ZIG)
  message(FATAL_ERROR "ZEB_ZIG names no zig program (scripts/macos-toolchain installs one)")
endif()
if(ZEB_MACOS_ARCH STREQUAL "arm64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
  set(zigTarget aarch64-macos.11.0)
  set(ZEB_MEX_PLATFORM mexmaca64 CACHE STRING "" FORCE)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
  set(zigTarget x86_64-macos.11.0)
  set(ZEB_MEX_PLATFORM mexmaci64 CACHE STRING "" FORCE)
endif()

# "zig c++ -target <arch>-macos.11.0" as one program for CMake to call.
foreach(lang cc c++)
  set(wrapper ${CMAKE_BINARY_DIR}/zig-${lang})
  file(WRITE ${wrapper} "#!/bin/sh\nexec '${ZEB_ZIG}' ${lang} -target ${zigTarget} \"$@\"\n")
  file(CHMOD ${wrapper} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER ${CMAKE_BINARY_DIR}/zig-cc)
set(CMAKE_CXX_COMPILER ${CMAKE_BINARY_DIR}/zig-c++)
set(CMAKE_AR llvm-ar-14 CACHE FILEPATH "")
set(CMAKE_RANLIB llvm-ranlib-14 CACHE FILEPATH "")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_OSX_SYSROOT "" CACHE PATH "")
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "") # the target above says 11.0

set(ZEB_LD64 ld64.lld-14)
set(ZEB_LD64_ARCH ${ZEB_MACOS_ARCH})
get_filename_component(zigRoot ${ZEB_ZIG} DIRECTORY)
set(ZEB_MACOS_LIBSYSTEM_DIR ${zigRoot}/lib/libc/darwin)
