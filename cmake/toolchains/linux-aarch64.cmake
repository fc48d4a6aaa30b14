# Linux aarch64, cross-built by clang-14 against Debian's arm64 cross
# libraries (libc6-dev-arm64-cross, libstdc++-12-dev-arm64-cross; Debian's
# aarch64 g++ cannot be installed beside g++-multilib), linked by lld: the
# cores, the stand-in host and the gateway runner, run under qemu-aarch64.
# Not a MATLAB platform: its modules take the 32-bit-extent interface of
# the Linux x86-64 files, and its results join the platform comparison.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_AR llvm-ar-14 CACHE FILEPATH "")
set(CMAKE_RANLIB llvm-ranlib-14 CACHE FILEPATH "")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld")
endforeach()
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(ZEB_MEX_PLATFORM linux-aarch64 CACHE STRING "" FORCE)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
