// Test-only Octave MEX: calls a function from a caller in a chosen
// floating-point state and reports what the call left behind.
//
//   [after, upper, out1, ..., outN] = zeb_call_under (state, N, name, args...)
//
// Sets MXCSR to STATE (a double holding the register's value; 0 keeps the
// current one), calls NAME with ARGS for N outputs, and right after it
// returns reads MXCSR (AFTER) and whether the upper halves of the vector
// registers are in use (UPPER: XINUSE bits 2 and 6 by XGETBV with ECX = 1;
// -1 where the processor cannot say). The state from before is put back
// before this function returns, also when NAME fails (its error is then
// raised again). On processors without MXCSR, AFTER is 0 and STATE ignored.
#include <mex.h>

#include <string>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__)
#include <cpuid.h>
#include <xmmintrin.h>
#define PROBE_X86 1
#endif

namespace {

unsigned readState()
{
#if defined(PROBE_X86)
    return _mm_getcsr();
#else
    return 0;
#endif
}

void writeState(unsigned s)
{
#if defined(PROBE_X86)
    _mm_setcsr(s);
#else
    (void)s;
#endif
}

int upperInUse()
{
#if defined(PROBE_X86)
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 27)) || __get_cpuid_max(0, nullptr) < 0xD)
        return -1;
    const bool avx = (c & (1u << 28)) != 0;
    __cpuid_count(0xD, 1, a, b, c, d);
    if (!(a & (1u << 2)))
        return -1;
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(1));
    if (!avx)
        return (lo & 0x44u) != 0;
    // An emulator that does not track the state (qemu) reports it in use
    // even right after it was cleared: then nothing can be said.
    __asm__ volatile("vzeroupper" : : : "memory");
    unsigned cleared, hi2;
    __asm__ volatile("xgetbv" : "=a"(cleared), "=d"(hi2) : "c"(1));
    if (cleared & 0x44u)
        return -1;
    return (lo & 0x44u) != 0;
#else
    return -1;
#endif
}

} // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    if (nrhs < 3 || !mxIsDouble(prhs[0]) || !mxIsDouble(prhs[1]) || !mxIsChar(prhs[2]))
        mexErrMsgTxt("usage: [after, upper, outs...] = zeb_call_under (state, nout, name, args...)");
    const unsigned state = static_cast<unsigned>(mxGetScalar(prhs[0]));
    const int nout = static_cast<int>(mxGetScalar(prhs[1]));
    if (nout < 0 || nout > 8 || nlhs > nout + 2)
        mexErrMsgTxt("zeb_call_under: at most 8 outputs, and no more than asked for");
    char *name = mxArrayToString(prhs[2]);
    mxArray *outs[8] = {};
    mxArray *args[16] = {};
    const int nargs = nrhs - 3 > 16 ? 16 : nrhs - 3;
    for (int k = 0; k < nargs; ++k)
        args[k] = const_cast<mxArray *>(prhs[3 + k]);

    mexSetTrapFlag(1);
    const unsigned own = readState();
    if (state)
        writeState(state);
    const int failed = mexCallMATLAB(nout, outs, nargs, args, name);
    const unsigned after = readState();
    const int upper = upperInUse();
    writeState(own);
    mxFree(name);
    if (failed)
        mexErrMsgTxt("zeb_call_under: the called function failed");

    plhs[0] = mxCreateDoubleScalar(after);
    if (nlhs > 1)
        plhs[1] = mxCreateDoubleScalar(upper);
    for (int k = 0; k < nout; ++k) {
        if (k + 2 < nlhs)
            plhs[k + 2] = outs[k];
        else
            mxDestroyArray(outs[k]);
    }
}
