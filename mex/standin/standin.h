// The stand-in host: a real implementation of the MATLAB array and MEX
// operations the modules use, with 32-bit extents, plus a test-side API to
// build arrays, call a gateway and read back what the call did to memory.
//
// Every scratch allocation, release, array creation and destruction made
// through the host operations is written to a ledger, in order.
// mexErrMsgTxt ends the call by throwing MexError (by longjmp on 32-bit
// Windows); call() catches it and, as MATLAB does, frees the scratch and
// arrays the ended call left behind.
#ifndef ZEB_STANDIN_H
#define ZEB_STANDIN_H

#include "mexhost.h"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(_WIN32) && defined(MEXHOST_BUILDING_HOST)
#define STANDIN_API __declspec(dllexport)
#elif defined(_WIN32)
#define STANDIN_API __declspec(dllimport)
#else
#define STANDIN_API __attribute__((visibility("default")))
#endif

namespace standin {

// Thrown by mexErrMsgTxt and by host operations that cannot deliver.
class STANDIN_API MexError : public std::runtime_error {
public:
    explicit MexError(const std::string &message);
    ~MexError() override;
};

// Ends the current MEX call with `message`: the host side of mexErrMsgTxt.
[[noreturn]] STANDIN_API void endCall(const char *message);

enum class Event {
    Calloc,   // mxCalloc by the module
    Free,     // mxFree by the module of a live scratch block
    BadFree,  // mxFree of something that is not live scratch (not released)
    Create,   // an array created by the module
    HostFree, // scratch the module left behind, released by the host after the call
    Destroy   // a created array the call did not return, destroyed by the host
};

struct LedgerEntry {
    Event event;
    const void *address;
    std::size_t bytes;
};

STANDIN_API const std::vector<LedgerEntry> &ledger();
STANDIN_API void clearLedger();
// The largest block the host delivers; beyond it, array creation and
// mxCalloc end the call with an out-of-memory message, as MATLAB does.
STANDIN_API void setBlockLimit(std::size_t bytes);
// Arrays a module creates are filled with `byte` (0 to 255) instead of
// zeros, or zero-filled again for -1: the Octave builds create outputs
// uninitialised, so a module must write every element of them.
STANDIN_API void setCreatedFill(int byte);
// Arrays alive in the host, created by the test side or by a module.
STANDIN_API std::size_t liveArrays();
// Scratch blocks alive in the host.
STANDIN_API std::size_t liveScratch();

// Arrays. Extents are the host's 32-bit extents.
STANDIN_API mxArray *numeric(mxClassID cls, const std::vector<mwSize> &dims, bool complex = false);
STANDIN_API mxArray *matrix(mwSize rows, mwSize cols, const std::vector<double> &values = {});
STANDIN_API mxArray *sparse(mwSize rows, mwSize cols, mwSize nzmax);
STANDIN_API mxArray *structure(const std::vector<mwSize> &dims, const std::vector<std::string> &fields);
STANDIN_API void setField(mxArray *s, mwIndex index, const std::string &name, mxArray *value);
STANDIN_API mxArray *cell(const std::vector<mwSize> &dims);
STANDIN_API mxArray *text(const std::string &s);
STANDIN_API double *imaginary(const mxArray *a);
STANDIN_API std::vector<mwSize> dims(const mxArray *a);
STANDIN_API std::size_t elements(const mxArray *a);
// Bytes per element of the array's class.
STANDIN_API std::size_t elementBytes(const mxArray *a);
STANDIN_API void destroy(mxArray *a);

typedef void (*Gateway)(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]);

struct CallResult {
    bool ok = false;
    std::string error;             // the message that ended the call
    std::vector<mxArray *> outputs; // max(nlhs, 1) slots, null where unset
    bool wroteBeyondSlots = false; // a slot past max(nlhs, 1) was written
    std::size_t ledgerStart = 0;   // first ledger entry of this call
    // The processor's state around a call that returned, read right before
    // and right after the gateway: the floating-point control and status
    // word (MXCSR on x86; on aarch64 FPCR's control bits with FPSR's flags
    // in the low byte; 0 elsewhere), and whether the upper halves of the
    // vector registers were left in use (-1 where the processor cannot say).
    unsigned fpBefore = 0;
    unsigned fpAfter = 0;
    int upperStateInUse = -1;
};

// The floating-point control and status word every later call starts with
// (as CallResult reads it), as a caller that switched rounding mode or flush-to-zero
// would leave it; 0 leaves the host's own. call() puts the host's own back
// after the gateway returns.
STANDIN_API void setCallerFpState(unsigned state);

// Calls the gateway as MATLAB does: max(nlhs, 1) output slots, inputs read-only.
// The caller owns the returned outputs (destroy them).
STANDIN_API CallResult call(Gateway g, int nlhs, const std::vector<const mxArray *> &inputs);

} // namespace standin

#endif
