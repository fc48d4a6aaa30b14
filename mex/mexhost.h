/* The host interface the modules use, under its standard names.
 *
 * Two host ABIs are served by the same module sources:
 *  - MEXHOST_OCTAVE: GNU Octave, through Octave's own <mex.h> (64-bit extents).
 *  - MEXHOST_LARGE_ARRAY_DIMS (macOS on Apple silicon): MATLAB's array
 *    library with 64-bit extents, the interface its mex command builds by
 *    default; the dimension, creation and field operations bind their
 *    "_730" names.
 *  - otherwise: MATLAB's array library with 32-bit extents. The dimension,
 *    creation and field operations bind their "_700" names, except on
 *    Linux i386 (MEXHOST_UNSUFFIXED), which binds the plain names at the
 *    symbol version the host's libraries define for them.
 *
 * Only the operations the modules call are declared here. mwSize is the
 * host's extent type; modules widen it to std::int64_t (see mexhost::extent)
 * before computing with it. */
#ifndef ZEB_MEXHOST_H
#define ZEB_MEXHOST_H

#include <cstddef>
#include <cstdint>

#if defined(MEXHOST_OCTAVE)

#include <mex.h>

#else

#if defined(MEXHOST_LARGE_ARRAY_DIMS)
typedef std::size_t mwSize;
typedef std::size_t mwIndex;
#else
typedef std::int32_t mwSize;
typedef std::int32_t mwIndex;
#endif
typedef struct mxArray_tag mxArray;

typedef enum {
    mxUNKNOWN_CLASS = 0,
    mxCELL_CLASS = 1,
    mxSTRUCT_CLASS = 2,
    mxLOGICAL_CLASS = 3,
    mxCHAR_CLASS = 4,
    mxVOID_CLASS = 5,
    mxDOUBLE_CLASS = 6,
    mxSINGLE_CLASS = 7,
    mxINT8_CLASS = 8,
    mxUINT8_CLASS = 9,
    mxINT16_CLASS = 10,
    mxUINT16_CLASS = 11,
    mxINT32_CLASS = 12,
    mxUINT32_CLASS = 13,
    mxINT64_CLASS = 14,
    mxUINT64_CLASS = 15,
    mxFUNCTION_CLASS = 16
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

#if defined(_WIN32) && defined(MEXHOST_BUILDING_HOST)
#define MEXHOST_IMPORT __declspec(dllexport)
#elif defined(_WIN32)
#define MEXHOST_IMPORT __declspec(dllimport)
#else
#define MEXHOST_IMPORT __attribute__((visibility("default")))
#endif

#if defined(MEXHOST_UNSUFFIXED)
#define MEXHOST_EXTENTS(name) name
#elif defined(MEXHOST_LARGE_ARRAY_DIMS)
#define MEXHOST_EXTENTS(name) name##_730
#else
#define MEXHOST_EXTENTS(name) name##_700
#endif

#define mxGetNumberOfDimensions MEXHOST_EXTENTS(mxGetNumberOfDimensions)
#define mxGetDimensions MEXHOST_EXTENTS(mxGetDimensions)
#define mxCreateNumericArray MEXHOST_EXTENTS(mxCreateNumericArray)
#define mxCreateDoubleMatrix MEXHOST_EXTENTS(mxCreateDoubleMatrix)
#define mxGetField MEXHOST_EXTENTS(mxGetField)

extern "C" {
/* libmx */
MEXHOST_IMPORT mwSize mxGetNumberOfDimensions(const mxArray *a);
MEXHOST_IMPORT const mwSize *mxGetDimensions(const mxArray *a);
MEXHOST_IMPORT mxArray *mxCreateNumericArray(mwSize ndim, const mwSize *dims, mxClassID cls,
                                             mxComplexity complexity);
MEXHOST_IMPORT mxArray *mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity complexity);
MEXHOST_IMPORT mxArray *mxGetField(const mxArray *a, mwIndex index, const char *name);
MEXHOST_IMPORT double *mxGetPr(const mxArray *a);
MEXHOST_IMPORT void *mxGetData(const mxArray *a);
MEXHOST_IMPORT mxClassID mxGetClassID(const mxArray *a);
MEXHOST_IMPORT bool mxIsSparse(const mxArray *a);
MEXHOST_IMPORT bool mxIsFinite(double v);
MEXHOST_IMPORT void *mxCalloc(std::size_t n, std::size_t size);
MEXHOST_IMPORT void mxFree(void *p);
/* libmex */
MEXHOST_IMPORT void mexErrMsgTxt(const char *msg);
}

#endif /* MEXHOST_OCTAVE */

/* The gateway every module exports. Unmangled: the host finds it by name.
 * On Windows a module's .def file alone names its export (mexFunction, or
 * _mexFunction where a platform table says so). */
#if defined(_WIN32)
#define MEXHOST_EXPORT
#else
#define MEXHOST_EXPORT __attribute__((visibility("default")))
#endif

#if !defined(MEXHOST_OCTAVE) && !defined(MEXHOST_BUILDING_HOST)
extern "C" MEXHOST_EXPORT void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]);
#endif

namespace mexhost {

/* Extents as the cores use them: never narrower than the host's. */
inline std::int64_t extent(const mxArray *a, int k)
{
    return static_cast<std::int64_t>(mxGetDimensions(a)[k]);
}

/* The product of two non-negative counts, or INT64_MAX where it would not
 * fit: a saturated count exceeds every limit it is compared with. */
inline std::int64_t countProduct(std::int64_t a, std::int64_t b)
{
    if (a == 0 || b == 0)
        return 0;
    if (a < 0 || b < 0 || a > INT64_MAX / b)
        return INT64_MAX;
    return a * b;
}

/* Octave hands a MEX file some inputs as lazily converted values (ranges,
 * complex and diagonal matrices, structures) and converts them when their
 * data is first asked for; extents asked for before that leak a few bytes
 * inside Octave on every call. A gateway therefore asks for an input's data
 * before its extents: for numeric arrays it takes the data pointer first,
 * and for a structure it calls settle() first (MATLAB needs nothing). */
inline void settle(const mxArray *a)
{
#if defined(MEXHOST_OCTAVE)
    (void)mxGetData(a);
#else
    (void)a;
#endif
}

/* Number of elements: the product of every extent, in 64 bits. Any zero
 * extent makes it 0, whatever the others are; a product that would
 * overflow saturates at INT64_MAX (no array that exists has that many). */
inline std::int64_t elementCount(const mxArray *a)
{
    const std::int64_t nd = static_cast<std::int64_t>(mxGetNumberOfDimensions(a));
    const mwSize *d = mxGetDimensions(a);
    for (std::int64_t k = 0; k < nd; ++k)
        if (d[k] == 0)
            return 0;
    std::int64_t n = 1;
    for (std::int64_t k = 0; k < nd; ++k)
        n = countProduct(n, static_cast<std::int64_t>(d[k]));
    return n;
}

/* Whether `count` elements of `size` bytes each can be addressed at all on
 * this platform. The host may multiply the two without an overflow check
 * (Octave does), so a gateway asks this before it creates an output or
 * takes scratch whose size it computed itself. */
inline bool addressable(std::int64_t count, std::size_t size)
{
    return count >= 0 && static_cast<std::uint64_t>(count) <= static_cast<std::uint64_t>(PTRDIFF_MAX) / size;
}

/* A real numeric output that the module writes in full before the call
 * returns (a call that ends in an error leaves it to the host, which
 * discards it). Octave creates it uninitialised: zero-filling memory that
 * is about to be written costs, for a large output, about as much as
 * writing it. The MATLAB builds keep to the creation operations they are
 * documented to import, which zero-fill. (The gateway tests have the
 * stand-in host fill what a module creates with a pattern, and check that
 * none of it is left: standin::setCreatedFill.) */
inline mxArray *createWritten(mwSize ndim, const mwSize *dims, mxClassID cls)
{
#if defined(MEXHOST_OCTAVE)
    return mxCreateUninitNumericArray(ndim, dims, cls, mxREAL);
#else
    return mxCreateNumericArray(ndim, dims, cls, mxREAL);
#endif
}

/* The same for a double matrix. */
inline mxArray *createWrittenMatrix(mwSize m, mwSize n)
{
#if defined(MEXHOST_OCTAVE)
    return mxCreateUninitNumericMatrix(m, n, mxDOUBLE_CLASS, mxREAL);
#else
    return mxCreateDoubleMatrix(m, n, mxREAL);
#endif
}

/* A full (not sparse) double array: the only kind whose data the numeric
 * modules may read as doubles. A complex one is read through its real part. */
inline bool isFullDouble(const mxArray *a)
{
    return mxGetClassID(a) == mxDOUBLE_CLASS && !mxIsSparse(a);
}

/* Refuses an array that is not a full double array, with the module's own
 * messages: `notDouble` for any other class, then `sparse` for a sparse one. */
inline void requireFullDouble(const mxArray *a, const char *notDouble, const char *sparse)
{
    if (mxGetClassID(a) != mxDOUBLE_CLASS)
        mexErrMsgTxt(notDouble);
    if (mxIsSparse(a))
        mexErrMsgTxt(sparse);
}

} // namespace mexhost

#endif
