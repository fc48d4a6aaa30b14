#include "gateway.h"

#include <cstring>

namespace {

using standin::CallResult;
using standin::Event;

const char *const refusedClass =
    "cumsumInt accepts only integer arrays (int8, uint8, int16, uint16, int32, uint32, int64 or uint64)";

class CumsumIntGateway : public gw::ModuleTest {
protected:
    CumsumIntGateway() : ModuleTest("cumsumInt") {}

    template <class T>
    mxArray *make(mxClassID cls, const std::vector<mwSize> &dims, const std::vector<T> &values, bool complex = false)
    {
        mxArray *a = arrays.numeric(cls, dims, complex);
        std::memcpy(mxGetData(a), values.data(), values.size() * sizeof(T));
        return a;
    }

    template <class T>
    std::vector<T> data(const mxArray *a)
    {
        const T *p = static_cast<const T *>(mxGetData(a));
        return std::vector<T>(p, p + standin::elements(a));
    }

    // Calls with one input and checks the single output's shape and class.
    const mxArray *sumOf(const mxArray *a, int nlhs = 1)
    {
        CallResult r = call(nlhs, {a});
        gw::expectCleanSuccess(r);
        EXPECT_EQ(gw::events(r, Event::Create).size(), 1u);
        EXPECT_TRUE(gw::events(r, Event::Calloc).empty());
        if (!r.ok)
            return nullptr;
        EXPECT_EQ(mxGetClassID(r.outputs[0]), mxGetClassID(a));
        EXPECT_EQ(standin::dims(r.outputs[0]), standin::dims(a));
        EXPECT_EQ(standin::imaginary(r.outputs[0]), nullptr);
        return r.outputs[0];
    }
};

TEST_F(CumsumIntGateway, EveryIntegerClassWrapsInItsOwnWidth)
{
    EXPECT_EQ(data<std::int8_t>(sumOf(make<std::int8_t>(mxINT8_CLASS, {3, 1}, {100, 100, 100}))),
              (std::vector<std::int8_t>{100, -56, 44}));
    EXPECT_EQ(data<std::uint8_t>(sumOf(make<std::uint8_t>(mxUINT8_CLASS, {2, 1}, {200, 100}))),
              (std::vector<std::uint8_t>{200, 44}));
    EXPECT_EQ(data<std::int16_t>(sumOf(make<std::int16_t>(mxINT16_CLASS, {2, 1}, {30000, 30000}))),
              (std::vector<std::int16_t>{30000, -5536}));
    EXPECT_EQ(data<std::uint16_t>(sumOf(make<std::uint16_t>(mxUINT16_CLASS, {2, 1}, {65535, 3}))),
              (std::vector<std::uint16_t>{65535, 2}));
    EXPECT_EQ(data<std::int32_t>(sumOf(make<std::int32_t>(mxINT32_CLASS, {2, 1}, {2147483647, 1}))),
              (std::vector<std::int32_t>{2147483647, -2147483647 - 1}));
    EXPECT_EQ(data<std::uint32_t>(sumOf(make<std::uint32_t>(mxUINT32_CLASS, {2, 1}, {4294967295u, 2}))),
              (std::vector<std::uint32_t>{4294967295u, 1}));
    EXPECT_EQ(data<std::int64_t>(sumOf(make<std::int64_t>(mxINT64_CLASS, {2, 1}, {INT64_MAX, 2}))),
              (std::vector<std::int64_t>{INT64_MAX, INT64_MIN + 1}));
    EXPECT_EQ(data<std::uint64_t>(sumOf(make<std::uint64_t>(mxUINT64_CLASS, {2, 1}, {UINT64_MAX, 1}))),
              (std::vector<std::uint64_t>{UINT64_MAX, 0}));
}

TEST_F(CumsumIntGateway, EveryColumnOfEveryPage)
{
    const std::vector<std::int16_t> in = {1, 2, 3, 4, 5, 6, 7, 8, 32767, 1, -5, -5};
    const mxArray *b = sumOf(make<std::int16_t>(mxINT16_CLASS, {2, 3, 2}, in));
    EXPECT_EQ(data<std::int16_t>(b), (std::vector<std::int16_t>{1, 3, 3, 7, 5, 11, 7, 15, 32767, -32768, -5, -10}));
    // A single row comes back unchanged; 4-D arrays too are summed throughout.
    EXPECT_EQ(data<std::int32_t>(sumOf(make<std::int32_t>(mxINT32_CLASS, {1, 4}, {5, -6, 7, -8}))),
              (std::vector<std::int32_t>{5, -6, 7, -8}));
    EXPECT_EQ(data<std::uint8_t>(sumOf(make<std::uint8_t>(mxUINT8_CLASS, {2, 1, 2, 2}, {1, 2, 3, 4, 5, 6, 7, 8}))),
              (std::vector<std::uint8_t>{1, 3, 3, 7, 5, 11, 7, 15}));
}

TEST_F(CumsumIntGateway, EmptyArraysKeepShapeAndClass)
{
    for (std::vector<mwSize> dims : {std::vector<mwSize>{0, 0}, {0, 5}, {4, 0}, {3, 0, 2}})
        sumOf(arrays.numeric(mxINT8_CLASS, dims));
}

TEST_F(CumsumIntGateway, ZeroExtentsBeyondHugeOnesHoldNothing)
{
    // 4 x (2^31-1) x (2^31-1) x 0: a product that overflows 64 bits before
    // the zero extent is reached.
    mxArray *a = arrays.numeric(mxUINT8_CLASS, {4, 2147483647, 2147483647, 0});
    sumOf(a);
    EXPECT_EQ(mexhost::countProduct(INT64_MAX / 2, 3), INT64_MAX);
    EXPECT_EQ(mexhost::countProduct(3037000500, 3037000500), INT64_MAX);
    EXPECT_EQ(mexhost::countProduct(3037000499, 3037000499), 9223372030926249001);
}

TEST_F(CumsumIntGateway, EmptyDoubleAndSingleArraysComeBackAsTheyAre)
{
    for (mxClassID c : {mxDOUBLE_CLASS, mxSINGLE_CLASS})
        for (std::vector<mwSize> dims : {std::vector<mwSize>{0, 0}, {0, 3}, {3, 0}, {2, 0, 4}})
            sumOf(arrays.numeric(c, dims));
    for (mxClassID c : {mxLOGICAL_CLASS, mxCHAR_CLASS})
        gw::expectRefused(call(1, {arrays.numeric(c, {0, 3})}), refusedClass);
    gw::expectRefused(call(1, {arrays.add(standin::cell({0, 0}))}), refusedClass);
}

TEST_F(CumsumIntGateway, ComplexInputGivesRealSumsOfTheRealParts)
{
    mxArray *a = make<std::int32_t>(mxINT32_CLASS, {3, 1}, {1, 2, 3}, true);
    std::int32_t *im = reinterpret_cast<std::int32_t *>(standin::imaginary(a));
    im[0] = im[1] = im[2] = 100;
    EXPECT_EQ(data<std::int32_t>(sumOf(a)), (std::vector<std::int32_t>{1, 3, 6}));
}

TEST_F(CumsumIntGateway, FirstSlotIsSetWhateverNlhsAndExtraInputsAreIgnored)
{
    mxArray *a = make<std::int8_t>(mxINT8_CLASS, {2, 1}, {1, 2});
    EXPECT_EQ(data<std::int8_t>(sumOf(a, 0)), (std::vector<std::int8_t>{1, 3}));
    CallResult r = call(2, {a, arrays.add(standin::text("ignored"))});
    gw::expectCleanSuccess(r);
    EXPECT_EQ(data<std::int8_t>(r.outputs[0]), (std::vector<std::int8_t>{1, 3}));
    EXPECT_EQ(r.outputs[1], nullptr);
}

TEST_F(CumsumIntGateway, RefusesNoInputAndEveryNonIntegerClass)
{
    gw::expectRefused(call(1, {}), "cumsumInt requires an input array");
    for (mxClassID c : {mxDOUBLE_CLASS, mxSINGLE_CLASS, mxLOGICAL_CLASS, mxCHAR_CLASS, mxFUNCTION_CLASS})
        gw::expectRefused(call(1, {arrays.numeric(c, {2, 2})}), refusedClass);
    gw::expectRefused(call(1, {arrays.add(standin::cell({2, 1}))}), refusedClass);
    gw::expectRefused(call(1, {arrays.add(standin::structure({1, 1}, {"x"}))}), refusedClass);
    gw::expectRefused(call(1, {arrays.add(standin::sparse(3, 3, 1))}), refusedClass);
}

} // namespace
