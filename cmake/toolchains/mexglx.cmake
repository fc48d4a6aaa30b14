# Linux i386 with the host's multilib g++ (-m32); SSE2 arithmetic comes from
# the project's numeric flags.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(ZEB_MEX_PLATFORM mexglx CACHE STRING "" FORCE)
# Programs run under user-mode emulation, which needs no 32-bit support from
# the kernel; SSE2 is emulated exactly.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -cpu max -L /)
