# The libFuzzer programs: Debian's clang-14 with its compiler runtime
# (libclang-rt-14-dev), on this machine, for this machine.
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(ZEB_FUZZ_ENGINE ON CACHE BOOL "" FORCE)
