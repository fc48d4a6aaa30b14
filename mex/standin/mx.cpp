// Stand-in for MATLAB's array library: arrays of every class, structures,
// cells, sparse flags, zero-filled scratch, and the ledger of the test side.
#include "standin.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>

#include "cpuState.h"

struct mxArray_tag {
    mxClassID cls = mxDOUBLE_CLASS;
    std::vector<mwSize> dims;
    bool sparse = false;
    std::size_t elementSize = 8;
    std::size_t storedElements = 0; // elements held in real (and imag)
    void *real = nullptr;
    void *imag = nullptr;
    std::vector<std::string> fieldNames;
    std::vector<mxArray *> children; // struct: element-major fields; cell: cells
};

namespace standin {

namespace {

const std::size_t allElements = std::numeric_limits<std::size_t>::max();

// How an ended call leaves the module. A C++ exception unwinds through the
// module's frames; on 32-bit Windows each DLL carries its own copy of the
// DWARF unwinder, which cannot see the other modules' frames, so there the
// host returns to the call's start with longjmp instead (the modules keep
// no objects with destructors in the frames that this skips).
// STANDIN_FORCE_LONGJMP selects the same on other platforms, so that this
// path is tested where 32-bit Windows programs cannot run.
#if (defined(_WIN32) && !defined(_WIN64)) || defined(STANDIN_FORCE_LONGJMP)
#define STANDIN_END_BY_LONGJMP 1
#endif

struct HostState {
    std::vector<LedgerEntry> ledger;
    std::map<const mxArray *, bool> arrays;         // live arrays
    std::map<const void *, std::size_t> scratch;    // live scratch blocks and their order
    std::size_t scratchSerial = 0;
    bool inCall = false;
    std::vector<mxArray *> createdInCall;
    std::vector<void *> scratchInCall;
    std::string failure;        // why the host could not deliver
    std::size_t limit = std::numeric_limits<std::size_t>::max(); // largest block it delivers
    int createdFill = -1; // the byte a module's new arrays are filled with (-1: zeros)
    std::string endMessage;     // the message that ended the call
    std::jmp_buf *callStart = nullptr;
};

HostState &host()
{
    static HostState state;
    return state;
}

using cpustate::clearUpperState;
using cpustate::readFpState;
using cpustate::upperStateInUse;
using cpustate::writeFpState;

unsigned callerFpState = 0;

std::size_t sizeOfClass(mxClassID cls)
{
    switch (cls) {
    case mxDOUBLE_CLASS:
    case mxINT64_CLASS:
    case mxUINT64_CLASS:
        return 8;
    case mxSINGLE_CLASS:
    case mxINT32_CLASS:
    case mxUINT32_CLASS:
        return 4;
    case mxINT16_CLASS:
    case mxUINT16_CLASS:
    case mxCHAR_CLASS:
        return 2;
    case mxINT8_CLASS:
    case mxUINT8_CLASS:
    case mxLOGICAL_CLASS:
        return 1;
    case mxCELL_CLASS:
    case mxSTRUCT_CLASS:
        return sizeof(mxArray *);
    default:
        return 1;
    }
}

// MATLAB keeps at least two extents and drops trailing singletons beyond the second.
std::vector<mwSize> normalised(std::vector<mwSize> dims)
{
    while (dims.size() < 2)
        dims.push_back(dims.empty() ? 0 : 1);
    while (dims.size() > 2 && dims.back() == 1)
        dims.pop_back();
    return dims;
}

const std::size_t tooLarge = std::numeric_limits<std::size_t>::max();

std::size_t product(const std::vector<mwSize> &dims)
{
    // A zero extent anywhere empties the array, however large the others.
    for (mwSize d : dims)
        if (d == 0)
            return 0;
    std::size_t n = 1;
    for (mwSize d : dims) {
        const std::size_t e = static_cast<std::size_t>(d);
        if (e != 0 && n > tooLarge / e)
            return tooLarge;
        n *= e;
    }
    return n;
}

// A zero-filled block, or null (with the reason in host().failure).
void *zeroBlock(std::size_t count, std::size_t size)
{
    if (size != 0 && (count > (tooLarge - 1) / size || count * size > host().limit)) {
        host().failure = "Out of memory: requested block is too large.";
        return nullptr;
    }
    void *p = std::calloc(std::max<std::size_t>(count * size, 1), 1);
    if (!p)
        host().failure = "Out of memory.";
    return p;
}

// A new array, or null (with the reason in host().failure).
mxArray *makeArray(mxClassID cls, const std::vector<mwSize> &dims, bool complex, std::size_t stored)
{
    for (mwSize d : dims) {
        if (d < 0) {
            host().failure = "Array extents must not be negative.";
            return nullptr;
        }
    }
    mxArray *a = new mxArray_tag;
    a->cls = cls;
    a->dims = normalised(dims);
    a->elementSize = sizeOfClass(cls);
    a->storedElements = stored == allElements ? product(a->dims) : stored;
    if (cls != mxCELL_CLASS && cls != mxSTRUCT_CLASS) {
        a->real = zeroBlock(a->storedElements, a->elementSize);
        if (a->real && complex)
            a->imag = zeroBlock(a->storedElements, a->elementSize);
        if (!a->real || (complex && !a->imag)) {
            std::free(a->real);
            delete a;
            return nullptr;
        }
    }
    host().arrays[a] = true;
    return a;
}

// For the test side: an array, or an exception when it cannot be made.
mxArray *makeOrThrow(mxClassID cls, const std::vector<mwSize> &dims, bool complex, std::size_t stored)
{
    mxArray *a = makeArray(cls, dims, complex, stored);
    if (!a)
        throw std::invalid_argument(host().failure);
    return a;
}

void record(Event e, const void *p, std::size_t bytes)
{
    host().ledger.push_back(LedgerEntry{e, p, bytes});
}

mxArray *createdByModule(mxArray *a)
{
    record(Event::Create, a, a->storedElements * a->elementSize);
    if (host().createdFill >= 0) {
        const std::size_t bytes = a->storedElements * a->elementSize;
        if (a->real)
            std::memset(a->real, host().createdFill, bytes);
        if (a->imag)
            std::memset(a->imag, host().createdFill, bytes);
    }
    if (host().inCall)
        host().createdInCall.push_back(a);
    return a;
}

void releaseScratch(void *p)
{
    host().scratch.erase(p);
    std::free(p);
}

} // namespace

MexError::MexError(const std::string &message) : std::runtime_error(message) {}
MexError::~MexError() = default;

void endCall(const char *message)
{
    HostState &h = host();
    h.endMessage = message ? message : "";
#if defined(STANDIN_END_BY_LONGJMP)
    if (h.callStart)
        std::longjmp(*h.callStart, 1);
#endif
    throw MexError(h.endMessage);
}

const std::vector<LedgerEntry> &ledger()
{
    return host().ledger;
}

void setBlockLimit(std::size_t bytes)
{
    host().limit = bytes;
}

void setCreatedFill(int byte)
{
    host().createdFill = byte >= 0 && byte <= 255 ? byte : -1;
}

void clearLedger()
{
    host().ledger.clear();
}

std::size_t liveArrays()
{
    return host().arrays.size();
}

std::size_t liveScratch()
{
    return host().scratch.size();
}

mxArray *numeric(mxClassID cls, const std::vector<mwSize> &dims, bool complex)
{
    return makeOrThrow(cls, dims, complex, allElements);
}

mxArray *matrix(mwSize rows, mwSize cols, const std::vector<double> &values)
{
    mxArray *a = makeOrThrow(mxDOUBLE_CLASS, {rows, cols}, false, allElements);
    std::copy_n(values.begin(), std::min(values.size(), a->storedElements), static_cast<double *>(a->real));
    return a;
}

mxArray *sparse(mwSize rows, mwSize cols, mwSize nzmax)
{
    mxArray *a = makeOrThrow(mxDOUBLE_CLASS, {rows, cols}, false, static_cast<std::size_t>(nzmax));
    a->sparse = true;
    return a;
}

mxArray *structure(const std::vector<mwSize> &dims, const std::vector<std::string> &fields)
{
    mxArray *a = makeOrThrow(mxSTRUCT_CLASS, dims, false, allElements);
    a->fieldNames = fields;
    a->children.assign(a->storedElements * fields.size(), nullptr);
    return a;
}

void setField(mxArray *s, mwIndex index, const std::string &name, mxArray *value)
{
    auto it = std::find(s->fieldNames.begin(), s->fieldNames.end(), name);
    if (it == s->fieldNames.end() || index < 0 || static_cast<std::size_t>(index) >= s->storedElements)
        throw std::invalid_argument("setField: no such field or element");
    mxArray *&slot = s->children[static_cast<std::size_t>(index) * s->fieldNames.size() +
                                 static_cast<std::size_t>(it - s->fieldNames.begin())];
    if (slot)
        destroy(slot);
    slot = value;
}

mxArray *cell(const std::vector<mwSize> &dims)
{
    mxArray *a = makeOrThrow(mxCELL_CLASS, dims, false, allElements);
    a->children.assign(a->storedElements, nullptr);
    return a;
}

mxArray *text(const std::string &s)
{
    mxArray *a = makeOrThrow(mxCHAR_CLASS, {1, static_cast<mwSize>(s.size())}, false, allElements);
    auto *chars = static_cast<std::uint16_t *>(a->real);
    for (std::size_t k = 0; k < s.size(); ++k)
        chars[k] = static_cast<unsigned char>(s[k]);
    return a;
}

double *imaginary(const mxArray *a)
{
    return static_cast<double *>(a->imag);
}

std::vector<mwSize> dims(const mxArray *a)
{
    return a->dims;
}

std::size_t elements(const mxArray *a)
{
    return a->storedElements;
}

std::size_t elementBytes(const mxArray *a)
{
    return a->elementSize;
}

void destroy(mxArray *a)
{
    if (!a)
        return;
    for (mxArray *c : a->children)
        destroy(c);
    std::free(a->real);
    std::free(a->imag);
    host().arrays.erase(a);
    delete a;
}

void setCallerFpState(unsigned state)
{
    callerFpState = state;
}

CallResult call(Gateway g, int nlhs, const std::vector<const mxArray *> &inputs)
{
    HostState &h = host();
    static mxArray_tag guard; // marks the slots the gateway must not write
    const std::size_t slots = static_cast<std::size_t>(std::max(nlhs, 1));
    const std::size_t guards = 8;
    std::vector<mxArray *> plhs(slots + guards, &guard);
    std::fill_n(plhs.begin(), slots, nullptr);
    std::vector<const mxArray *> prhs(inputs);
    prhs.push_back(nullptr); // never handed out as an input: nrhs excludes it

    CallResult r;
    r.ledgerStart = h.ledger.size();
    h.inCall = true;
    h.createdInCall.clear();
    h.scratchInCall.clear();
    const unsigned own = readFpState(); // put back after the call, however it ended
#if defined(STANDIN_END_BY_LONGJMP)
    std::jmp_buf start;
    h.callStart = &start;
    if (setjmp(start) == 0) {
        if (callerFpState)
            writeFpState(callerFpState);
        r.fpBefore = readFpState();
        clearUpperState(); // as a host's own compiled code calls: clean
        g(nlhs, plhs.data(), static_cast<int>(inputs.size()), prhs.data());
        r.upperStateInUse = upperStateInUse(); // first: no host work may come before
        r.fpAfter = readFpState();
        r.ok = true;
    } else {
        r.error = h.endMessage;
    }
    h.callStart = nullptr;
#else
    try {
        if (callerFpState)
            writeFpState(callerFpState);
        r.fpBefore = readFpState();
        clearUpperState(); // as a host's own compiled code calls: clean
        g(nlhs, plhs.data(), static_cast<int>(inputs.size()), prhs.data());
        r.upperStateInUse = upperStateInUse(); // first: no host work may come before
        r.fpAfter = readFpState();
        r.ok = true;
    } catch (const MexError &e) {
        r.error = e.what();
    }
#endif
    writeFpState(own);
    h.inCall = false;

    for (void *p : h.scratchInCall) {
        if (h.scratch.count(p)) {
            record(Event::HostFree, p, 0);
            releaseScratch(p);
        }
    }
    for (std::size_t k = slots; k < plhs.size(); ++k)
        r.wroteBeyondSlots = r.wroteBeyondSlots || plhs[k] != &guard;
    if (r.ok)
        r.outputs.assign(plhs.begin(), plhs.begin() + static_cast<std::ptrdiff_t>(slots));
    else
        r.outputs.assign(slots, nullptr);
    for (mxArray *a : h.createdInCall) {
        if (std::find(r.outputs.begin(), r.outputs.end(), a) == r.outputs.end()) {
            record(Event::Destroy, a, 0);
            destroy(a);
        }
    }
    h.createdInCall.clear();
    h.scratchInCall.clear();
    return r;
}

} // namespace standin

using standin::Event;

extern "C" {

mwSize mxGetNumberOfDimensions(const mxArray *a)
{
    return static_cast<mwSize>(a->dims.size());
}

const mwSize *mxGetDimensions(const mxArray *a)
{
    return a->dims.data();
}

// The module-facing operations end the call when they cannot deliver, after
// their own locals are gone.
static mxArray *deliver(mxArray *a)
{
    if (!a)
        standin::endCall(standin::host().failure.c_str());
    return standin::createdByModule(a);
}

mxArray *mxCreateNumericArray(mwSize ndim, const mwSize *dims, mxClassID cls, mxComplexity complexity)
{
    mxArray *a;
    {
        const std::vector<mwSize> d(dims, dims + std::max<mwSize>(ndim, 0));
        a = standin::makeArray(cls, d, complexity == mxCOMPLEX, standin::allElements);
    }
    return deliver(a);
}

mxArray *mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity complexity)
{
    mxArray *a;
    {
        const std::vector<mwSize> d = {m, n};
        a = standin::makeArray(mxDOUBLE_CLASS, d, complexity == mxCOMPLEX, standin::allElements);
    }
    return deliver(a);
}

mxArray *mxGetField(const mxArray *a, mwIndex index, const char *name)
{
    if (!a || a->cls != mxSTRUCT_CLASS || index < 0 || static_cast<std::size_t>(index) >= a->storedElements)
        return nullptr;
    auto it = std::find(a->fieldNames.begin(), a->fieldNames.end(), name);
    if (it == a->fieldNames.end())
        return nullptr;
    return a->children[static_cast<std::size_t>(index) * a->fieldNames.size() +
                       static_cast<std::size_t>(it - a->fieldNames.begin())];
}

double *mxGetPr(const mxArray *a)
{
    return static_cast<double *>(a->real);
}

void *mxGetData(const mxArray *a)
{
    return a->real;
}

mxClassID mxGetClassID(const mxArray *a)
{
    return a->cls;
}

bool mxIsSparse(const mxArray *a)
{
    return a->sparse;
}

bool mxIsFinite(double v)
{
    // From the exponent bits alone: no comparison, so no flag is raised
    // (a signalling NaN compared raises "invalid" in the caller's state).
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits & 0x7FF0000000000000ULL) != 0x7FF0000000000000ULL;
}

void *mxCalloc(std::size_t n, std::size_t size)
{
    void *p = standin::zeroBlock(n, size);
    if (!p)
        standin::endCall(standin::host().failure.c_str());
    standin::HostState &h = standin::host();
    h.scratch[p] = h.scratchSerial++;
    if (h.inCall)
        h.scratchInCall.push_back(p);
    standin::record(Event::Calloc, p, n * size);
    return p;
}

void mxFree(void *p)
{
    if (!p)
        return;
    if (!standin::host().scratch.count(p)) {
        standin::record(Event::BadFree, p, 0);
        return;
    }
    standin::record(Event::Free, p, 0);
    standin::releaseScratch(p);
}

} // extern "C"
