// Opens a translation unit compiled for one x86 instruction set, run only
// where the processor has it. The unit defines ZEB_UNIT_AVX2 or
// ZEB_UNIT_AVX512 and includes this after its own declarations (which stay
// those of every unit) and before its code; isaUnitEnd.h closes it.
// Where the compiler can target the set (GCC and clang on x86), the code in
// between is compiled for it and ZEB_ISA_UNIT is defined, with
// ZEB_AVX2_UNIT or ZEB_AVX512_UNIT (which expLog.h reads); elsewhere none
// is, and the unit compiles stand-ins that are never called.
// (No include guard: a unit includes it once.)
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define ZEB_ISA_UNIT 1
#if defined(ZEB_UNIT_AVX512)
#define ZEB_AVX512_UNIT 1
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC target("avx512f")
#endif
#elif defined(ZEB_UNIT_AVX2)
#define ZEB_AVX2_UNIT 1
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC target("avx2")
#endif
#else
#error "define ZEB_UNIT_AVX2 or ZEB_UNIT_AVX512 before including isaUnit.h"
#endif
#include <immintrin.h>
#endif
