// Gateway of cumsumInt:  B = cumsumInt(A)
// The running sum down each column of an integer array, in the array's own
// class, wrapping around in the element width. Every page of an array of
// three or more dimensions is summed, as cumsum(A, 1) does.
#include "cumsumCore.h"
#include "fpState.h"
#include "mexhost.h"

namespace {

const char *const msgNoInput = "cumsumInt requires an input array";
const char *const msgClass =
    "cumsumInt accepts only integer arrays (int8, uint8, int16, uint16, int32, uint32, int64 or uint64)";

// One worker per class: sum every column of the input's data into the output's.
template <class T>
void sumColumns(const void *in, void *out, std::int64_t m, std::int64_t n)
{
    cumsum::columnsInParts(static_cast<const T *>(in), static_cast<T *>(out), m, n);
}

void cs_int8(const void *in, void *out, std::int64_t m, std::int64_t n) { sumColumns<std::int8_t>(in, out, m, n); }
void cs_uint8(const void *in, void *out, std::int64_t m, std::int64_t n) { sumColumns<std::uint8_t>(in, out, m, n); }
void cs_int16(const void *in, void *out, std::int64_t m, std::int64_t n) { sumColumns<std::int16_t>(in, out, m, n); }
void cs_uint16(const void *in, void *out, std::int64_t m, std::int64_t n) { sumColumns<std::uint16_t>(in, out, m, n); }
void cs_int32(const void *in, void *out, std::int64_t m, std::int64_t n) { sumColumns<std::int32_t>(in, out, m, n); }
void cs_uint32(const void *in, void *out, std::int64_t m, std::int64_t n) { sumColumns<std::uint32_t>(in, out, m, n); }
void cs_int64(const void *in, void *out, std::int64_t m, std::int64_t n) { sumColumns<std::int64_t>(in, out, m, n); }
void cs_uint64(const void *in, void *out, std::int64_t m, std::int64_t n) { sumColumns<std::uint64_t>(in, out, m, n); }

typedef void (*Worker)(const void *, void *, std::int64_t, std::int64_t);

Worker workerFor(mxClassID cls)
{
    switch (cls) {
    case mxINT8_CLASS: return cs_int8;
    case mxUINT8_CLASS: return cs_uint8;
    case mxINT16_CLASS: return cs_int16;
    case mxUINT16_CLASS: return cs_uint16;
    case mxINT32_CLASS: return cs_int32;
    case mxUINT32_CLASS: return cs_uint32;
    case mxINT64_CLASS: return cs_int64;
    case mxUINT64_CLASS: return cs_uint64;
    default: return nullptr;
    }
}

} // namespace

void mexFunction(int, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    if (nrhs < 1)
        mexErrMsgTxt(msgNoInput);
    const mxArray *a = prhs[0];
    const mxClassID cls = mxGetClassID(a);
    const Worker worker = workerFor(cls);
    // The data pointer before the extents (mexhost::settle says why; an
    // empty range, 1:0, is an empty double array).
    const bool numeric = worker || cls == mxDOUBLE_CLASS || cls == mxSINGLE_CLASS;
    const void *data = numeric ? mxGetData(a) : nullptr;
    // An empty double or single array (often what a filter left) has an
    // empty running sum of its own shape and class; any other class is
    // refused, empty or not.
    const bool emptyFloat =
        (cls == mxDOUBLE_CLASS || cls == mxSINGLE_CLASS) && mexhost::elementCount(a) == 0;
    if (!worker && !emptyFloat)
        mexErrMsgTxt(msgClass);

    // The output takes the input's own dimension vector and class: its
    // pages are summed like the first, every column on its own, and every
    // element is written.
    const mwSize nd = mxGetNumberOfDimensions(a);
    const mwSize *dims = mxGetDimensions(a);
    plhs[0] = mexhost::createWritten(nd, dims, cls);
    if (!worker)
        return;

    const std::int64_t m = static_cast<std::int64_t>(dims[0]);
    const std::int64_t columns = m > 0 ? mexhost::elementCount(a) / m : 0;
    void *sums = mxGetData(plhs[0]);
    const fpstate::Saved caller = fpstate::enter();
    worker(data, sums, m, columns);
    fpstate::leave(caller);
}
