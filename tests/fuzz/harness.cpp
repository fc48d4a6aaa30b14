// One fuzz input as one call of a module's gateway through the stand-in
// host, built into the same program with the sanitizers.
//
// The bytes decode into the argument and output counts and each argument:
// its class, complexity, sparsity, extents (none to many, zero ones beside
// huge ones, products past 2^31) and contents; for obliqueVote a tree
// structure that is mostly well formed down to some depth and then goes
// wrong. After the call: it returned the module's outputs (count, classes,
// shapes), or it was stopped with one of the module's documented messages
// (before anything was allocated, unless a row met a faulty tree); its
// ledger balances; no array or scratch outlives it. Anything else aborts,
// which the fuzzer reports with the input.
#include "harness.h"

#include "checks.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace fuzz {

namespace {

// Bytes as decisions; past the end every read is 0.
class Reader {
public:
    Reader(const std::uint8_t *p, std::size_t n) : p_(p), n_(n) {}
    std::uint8_t byte() { return n_ ? (--n_, *p_++) : 0; }
    unsigned pick(unsigned n) { return n ? byte() % n : 0; }
    std::uint64_t bits()
    {
        std::uint64_t v = 0;
        for (int k = 0; k < 8; ++k)
            v = v << 8 | byte();
        return v;
    }
    bool empty() const { return n_ == 0; }

    double number()
    {
        static const double table[] = {0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0, 4.0, 7.0, -1e300, 1e300,
                                       std::numeric_limits<double>::quiet_NaN(),
                                       std::numeric_limits<double>::infinity(),
                                       -std::numeric_limits<double>::infinity(), 2147483648.0, -2147483649.0,
                                       std::numeric_limits<double>::min(), std::numeric_limits<double>::denorm_min(),
                                       2.9, 1e-300, 700.0, -745.5};
        const unsigned k = pick(32);
        if (k < sizeof table / sizeof table[0])
            return table[k];
        if (k < 28)
            return static_cast<double>(static_cast<int>(byte()) - 64) / 4.0;
        double d;
        const std::uint64_t b = bits();
        std::memcpy(&d, &b, sizeof d);
        return d;
    }

private:
    const std::uint8_t *p_;
    std::size_t n_;
};

[[noreturn]] void fail(const char *module, const std::string &what)
{
    std::fprintf(stderr, "fuzz %s: %s\n", module, what.c_str());
    std::abort();
}

// Extents: small ones mostly, sometimes the largest a 32-bit extent holds.
// An array that would hold more than 2^16 bytes gets a zero extent instead,
// so huge extents appear only in empty arrays (whose counts still overflow).
std::vector<mwSize> extents(Reader &in, std::size_t elementSize)
{
    static const mwSize table[] = {0, 1, 2, 3, 4, 5, 8, 13, 64, 65536, 2147483647, 46341};
    std::vector<mwSize> d(2 + in.pick(4) % 3);
    for (auto &e : d)
        e = in.pick(4) ? static_cast<mwSize>(in.pick(6)) : table[in.pick(sizeof table / sizeof table[0])];
    double bytes = static_cast<double>(elementSize ? elementSize : 8);
    for (mwSize e : d)
        bytes *= e;
    if (bytes > 65536.0)
        d[in.pick(static_cast<unsigned>(d.size()))] = 0;
    return d;
}

void fill(Reader &in, mxArray *a)
{
    const std::size_t n = standin::elements(a);
    if (mxGetClassID(a) == mxDOUBLE_CLASS) {
        double *p = mxGetPr(a);
        for (std::size_t e = 0; e < n && !in.empty(); ++e)
            p[e] = in.number();
    } else if (mxGetClassID(a) != mxCELL_CLASS && mxGetClassID(a) != mxSTRUCT_CLASS) {
        unsigned char *p = static_cast<unsigned char *>(mxGetData(a));
        for (std::size_t b = 0; b < n * standin::elementBytes(a) && !in.empty(); ++b)
            p[b] = in.byte();
    }
}

mxArray *doubles(Reader &in, std::vector<mwSize> d)
{
    mxArray *a = standin::numeric(mxDOUBLE_CLASS, d, in.pick(16) == 0);
    fill(in, a);
    return a;
}

const char *const fieldNames[] = {"W", "featureIndices", "threshold", "terminalVote", "treeIndices"};

// A tree of m nodes in heap order (node t's children 2t and 2t+1), d
// weights each over f features, then one fault at some node: a parent
// link, a feature index, a leaf flag, a vote, a short or odd table.
mxArray *tree(Reader &in, mwSize f)
{
    const mwSize m = 1 + in.pick(40), d = 1 + in.pick(3);
    std::vector<double> w(d * m), fi(d * m), thr(m), vote(m), parent(m);
    for (mwSize t = 1; t <= m; ++t) {
        const bool leaf = 2 * t + 1 > m;
        for (mwSize k = 0; k < d; ++k) {
            w[(t - 1) * d + k] = in.pick(8) ? (static_cast<int>(in.pick(9)) - 4) / 2.0 : in.number();
            fi[(t - 1) * d + k] = 1 + in.pick(f ? f : 1);
        }
        if (leaf)
            w[(t - 1) * d] = in.pick(2) ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
        thr[t - 1] = (static_cast<int>(in.pick(9)) - 4) / 2.0;
        vote[t - 1] = 1 + in.pick(4);
        parent[t - 1] = t / 2;
    }
    mwSize lengths[5] = {d * m, d * m, m, m, m};
    if (in.pick(3) == 0) { // one fault, at a node of the tree's depth
        const mwSize t = 1 + in.pick(m);
        switch (in.pick(8)) {
        case 0: parent[t - 1] = in.pick(m + 2); break;            // a missing child, a third child, a cycle
        case 1: fi[(t - 1) * d + in.pick(d)] = in.number(); break; // a feature index out of range
        case 2: w[(t - 1) * d] = in.number(); break;              // a leaf turned internal, or back
        case 3: vote[t - 1] = in.number(); break;
        case 4: lengths[in.pick(5)] = in.pick(m * d + 1); break;  // a short table
        case 5: parent[0] = in.pick(m + 1); break;                // a root with a parent
        default: thr[t - 1] = in.number(); break;
        }
    }
    const std::vector<double> *tables[5] = {&w, &fi, &thr, &vote, &parent};
    std::vector<std::string> names;
    const unsigned present = in.pick(16) ? 31u : in.byte();
    for (int k = 0; k < 5; ++k)
        if (present & (1u << k))
            names.push_back(fieldNames[k]);
    if (in.pick(8) == 0)
        names.push_back("extra");
    mxArray *s = standin::structure({1, in.pick(8) ? mwSize(1) : static_cast<mwSize>(in.pick(3))}, names);
    if (standin::elements(s) == 0)
        return s;
    for (int k = 0; k < 5; ++k) {
        if (!(present & (1u << k)))
            continue;
        const bool byColumn = k < 2;
        const mwSize len = lengths[k];
        mxArray *v;
        if (in.pick(24) == 0) {
            v = standin::numeric(static_cast<mxClassID>(mxSINGLE_CLASS + in.pick(9)), {1, len});
        } else {
            v = byColumn && len % d == 0 ? standin::matrix(d, len / d) : standin::matrix(in.pick(2) ? 1 : len, in.pick(2) ? len : 1);
            if (standin::elements(v) != len) {
                standin::destroy(v);
                v = standin::matrix(1, len);
            }
            std::memcpy(mxGetPr(v), tables[k]->data(), sizeof(double) * std::min<std::size_t>(len, tables[k]->size()));
        }
        standin::setField(s, 0, fieldNames[k], v);
    }
    return s;
}

// Any array the host knows.
mxArray *anyArray(Reader &in, const char *module)
{
    static const mxClassID numeric[] = {mxDOUBLE_CLASS, mxSINGLE_CLASS, mxINT8_CLASS, mxUINT8_CLASS,
                                        mxINT16_CLASS, mxUINT16_CLASS, mxINT32_CLASS, mxUINT32_CLASS,
                                        mxINT64_CLASS, mxUINT64_CLASS, mxLOGICAL_CLASS, mxCHAR_CLASS,
                                        mxFUNCTION_CLASS};
    switch (in.pick(16)) {
    case 0:
        return standin::cell(extents(in, 8));
    case 1:
        return standin::sparse(in.pick(6), in.pick(6), in.pick(4));
    case 2:
        return std::strcmp(module, "obliqueVote") == 0 ? tree(in, in.pick(5)) : standin::structure({1, 1}, {"W"});
    case 3:
    case 4:
    case 5:
    case 6: {
        const mxClassID cls = numeric[in.pick(sizeof numeric / sizeof numeric[0])];
        mxArray *a = standin::numeric(cls, extents(in, cls == mxDOUBLE_CLASS || cls >= mxINT64_CLASS ? 8 : 4),
                                      in.pick(8) == 0);
        fill(in, a);
        return a;
    }
    default:
        return doubles(in, extents(in, 8));
    }
}

// Inputs of the right kinds and, mostly, agreeing sizes: the calls that get
// past the checks into the cores.
void plausible(Reader &in, const char *module, std::vector<mxArray *> &args)
{
    const std::string m = module;
    const auto off = [&] { return in.pick(6) == 0 ? static_cast<mwSize>(in.pick(3)) : mwSize(0); };
    if (m == "trellisPass") {
        const mwSize n = in.pick(6), t = in.pick(9);
        args.push_back(doubles(in, {n + off(), 1}));
        args.push_back(doubles(in, {n, n + off(), static_cast<mwSize>(1 + off())}));
        std::vector<mwSize> b = {n + off(), t};
        if (in.pick(6) == 0)
            b.push_back(in.pick(3));
        args.push_back(doubles(in, b));
    } else if (m == "logTotals") {
        args.push_back(doubles(in, {static_cast<mwSize>(in.pick(9)), static_cast<mwSize>(in.pick(9))}));
    } else if (m == "obliqueVote") {
        const mwSize f = in.pick(5);
        args.push_back(tree(in, f));
        // Sometimes as many rows as an extent holds, and then no columns.
        const bool tall = in.pick(8) == 0;
        args.push_back(doubles(in, {tall ? mwSize(2147483647) : static_cast<mwSize>(in.pick(9)), tall ? 0 : f}));
        args.push_back(standin::matrix(1, 1, {in.pick(4) ? static_cast<double>(in.pick(6)) : in.number()}));
    } else {
        static const mxClassID ints[] = {mxINT8_CLASS, mxUINT8_CLASS, mxINT16_CLASS, mxUINT16_CLASS,
                                         mxINT32_CLASS, mxUINT32_CLASS, mxINT64_CLASS, mxUINT64_CLASS};
        mxArray *a = standin::numeric(ints[in.pick(8)], extents(in, 8), in.pick(8) == 0);
        fill(in, a);
        args.push_back(a);
    }
}

std::vector<mwSize> dimsOf(const mxArray *a) { return standin::dims(a); }

// A numeric array's real and imaginary bytes (nothing for cells and structures).
std::string contents(const mxArray *a)
{
    const mxClassID c = mxGetClassID(a);
    if (c == mxCELL_CLASS || c == mxSTRUCT_CLASS || standin::elements(a) == 0)
        return "";
    const std::size_t bytes = standin::elements(a) * standin::elementBytes(a);
    std::string s(static_cast<const char *>(mxGetData(a)), bytes);
    if (const double *im = standin::imaginary(a))
        s.append(reinterpret_cast<const char *>(im), bytes);
    return s;
}

// The outputs a successful call must have returned.
void checkOutputs(const char *module, int nlhs, const std::vector<mxArray *> &args, const standin::CallResult &r)
{
    const std::string m = module;
    const int slots = nlhs > 1 ? nlhs : 1;
    int made = 1;
    if (m == "trellisPass")
        made = slots < 4 ? slots : 4;
    if (static_cast<int>(r.outputs.size()) != slots)
        fail(module, "output slots");
    for (int k = 0; k < slots; ++k)
        if ((r.outputs[k] != nullptr) != (k < made))
            fail(module, "output " + std::to_string(k) + " set or missing");
    for (int k = 0; k < made; ++k) {
        const mxArray *o = r.outputs[k];
        std::vector<mwSize> want;
        mxClassID cls = mxDOUBLE_CLASS;
        if (m == "trellisPass") {
            const std::vector<mwSize> b = dimsOf(args[2]);
            want = k < 3 ? std::vector<mwSize>{b[0], b[1]} : std::vector<mwSize>{b[0], b[0], b[1]};
        } else if (m == "logTotals") {
            want = {1, dimsOf(args[0])[1]};
        } else if (m == "obliqueVote") {
            const double c = mxGetPr(args[2])[0];
            want = {dimsOf(args[1])[0], c > 0 ? static_cast<mwSize>(c) : 0};
        } else {
            cls = mxGetClassID(args[0]);
            want = dimsOf(args[0]);
        }
        if (mxGetClassID(o) != cls || standin::imaginary(o) != nullptr)
            fail(module, "output " + std::to_string(k) + " of the wrong class or complex");
        std::vector<mwSize> got = dimsOf(o);
        while (want.size() > 2 && want.back() == 1) // the host drops trailing singleton extents
            want.pop_back();
        if (got != want)
            fail(module, "output " + std::to_string(k) + " of the wrong shape");
    }
}

} // namespace

int callOnce(const char *module, standin::Gateway gateway, const std::uint8_t *data, std::size_t size)
{
    Reader in(data, size);
    // An output the platform can address may still be more than this
    // machine has: the host refuses it, as MATLAB does when memory runs out.
    standin::setBlockLimit(std::size_t(1) << 28);
    const std::size_t arraysBefore = standin::liveArrays();
    standin::clearLedger();

    std::vector<mxArray *> args;
    int nlhs;
    if (in.pick(3) == 0) {
        const unsigned nrhs = in.pick(5);
        for (unsigned k = 0; k < nrhs; ++k)
            args.push_back(anyArray(in, module));
        nlhs = static_cast<int>(in.pick(6));
    } else {
        plausible(in, module, args);
        nlhs = std::strcmp(module, "obliqueVote") == 0 && in.pick(4) ? 1 : static_cast<int>(in.pick(6));
    }

    // The inputs' bytes, to see that the call wrote none of them.
    std::vector<std::string> before;
    for (const mxArray *a : args)
        before.push_back(contents(a));

    const std::vector<const mxArray *> inputs(args.begin(), args.end());
    const standin::CallResult r = standin::call(gateway, nlhs, inputs);
    for (std::size_t k = 0; k < args.size(); ++k)
        if (contents(args[k]) != before[k])
            fail(module, "input " + std::to_string(k) + " was written");

    // ZEB_FUZZ_REPORT set: each call's outcome on standard output, for
    // choosing seeds that reach every documented outcome (make-seeds).
    static const bool report = std::getenv("ZEB_FUZZ_REPORT") != nullptr;
    if (report)
        std::printf("outcome %s%s\n", r.ok ? "answered" : r.error.c_str(), r.ok && nlhs > 1 ? " (several outputs)" : "");

    // Where the host itself ran out of memory it ended the call at an
    // allocation and freed what the call held, as MATLAB does.
    const bool hostOutOfMemory = !r.ok && r.error.rfind("Out of memory", 0) == 0;
    const std::string problem = checks::callProblem(r);
    if (!problem.empty() && !(hostOutOfMemory && problem == "scratch left for the host to free"))
        fail(module, problem);
    if (r.ok) {
        checkOutputs(module, nlhs, args, r);
    } else {
        bool descentFault = false;
        if (hostOutOfMemory)
            descentFault = true; // the host ends the call at an allocation
        else if (!checks::documented(module, r.error, &descentFault))
            fail(module, "undocumented message: " + r.error);
        // Every refusal comes before anything is allocated or created.
        for (const auto &e : standin::ledger())
            if (!descentFault && (e.event == standin::Event::Calloc || e.event == standin::Event::Create))
                fail(module, "allocated before refusing: " + r.error);
    }

    for (mxArray *o : r.outputs)
        if (o)
            standin::destroy(o);
    for (mxArray *a : args)
        standin::destroy(a);
    if (standin::liveArrays() != arraysBefore || standin::liveScratch() != 0)
        fail(module, "an array or scratch outlived the call");
    return 0;
}

} // namespace fuzz
