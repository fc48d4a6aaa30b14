// Closes a unit opened by isaUnit.h.
#if defined(ZEB_ISA_UNIT) && defined(__clang__)
#pragma clang attribute pop
#endif
