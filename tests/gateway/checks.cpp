#include "checks.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace checks {

std::string processorStateProblem(const standin::CallResult &r)
{
    if (r.ok && r.fpAfter != r.fpBefore) {
        char text[96];
        std::snprintf(text, sizeof text, "returned with the floating-point state %#x, called with %#x", r.fpAfter,
                      r.fpBefore);
        return text;
    }
    if (r.ok && r.upperStateInUse == 1)
        return "returned with the upper halves of the vector registers in use";
    return "";
}

std::vector<unsigned> callerFpStates()
{
#if defined(__x86_64__) || defined(__i386__)
    // MXCSR: round up, down, toward zero; flush-to-zero; denormals-are-zero;
    // all of it with every flag raised.
    return {0x5F80u, 0x3F80u, 0x7F80u, 0x9F80u, 0x1FC0u, 0xDFFFu};
#elif defined(__aarch64__)
    // FPCR round up, down, toward zero; flush-to-zero; default NaN; round up
    // with flush-to-zero and every FPSR flag raised.
    return {0x400000u, 0x800000u, 0xC00000u, 0x1000000u, 0x2000000u, 0x140009Fu};
#else
    return {};
#endif
}

bool onlyTheNaN(const standin::CallResult &r)
{
    for (const mxArray *a : r.outputs)
        if (a && mxGetClassID(a) == mxDOUBLE_CLASS)
            for (std::size_t e = 0; e < standin::elements(a); ++e) {
                std::uint64_t bits;
                std::memcpy(&bits, mxGetPr(a) + e, sizeof bits);
                if (mxGetPr(a)[e] != mxGetPr(a)[e] && bits != 0x7FF8000000000000ULL)
                    return false;
            }
    return true;
}

std::string callProblem(const standin::CallResult &r)
{
    if (r.wroteBeyondSlots)
        return "a slot past max(nlhs, 1) was written";
    const std::string processor = processorStateProblem(r);
    if (!processor.empty())
        return processor;
    const auto &all = standin::ledger();
    std::vector<const void *> taken, freed;
    for (std::size_t k = r.ledgerStart; k < all.size(); ++k) {
        switch (all[k].event) {
        case standin::Event::HostFree:
            return "scratch left for the host to free";
        case standin::Event::BadFree:
            return "freed memory it did not allocate";
        case standin::Event::Calloc:
            taken.push_back(all[k].address);
            break;
        case standin::Event::Free:
            freed.push_back(all[k].address);
            break;
        default:
            break;
        }
    }
    // Every module frees its scratch before it returns or stops a call.
    if (taken != freed)
        return "scratch not freed in allocation order";
    return "";
}

namespace {

// The message with every run of digits replaced by '#'.
std::string shape(const std::string &message)
{
    std::string out;
    for (std::size_t k = 0; k < message.size(); ++k) {
        if (std::isdigit(static_cast<unsigned char>(message[k]))) {
            out += '#';
            while (k + 1 < message.size() && std::isdigit(static_cast<unsigned char>(message[k + 1])))
                ++k;
        } else {
            out += message[k];
        }
    }
    return out;
}

const std::vector<std::string> &messages(const std::string &module)
{
    static const std::vector<std::string> trellis = {
        "Invalid number of inputs. Must be 3.",
        "Inputs must be double arrays.",
        "Inputs must not be sparse.",
        "logA must be a square matrix.",
        "logB must have as many rows as logA.",
        "logB must hold as many elements as its rows times its columns.",
        "logPi must have at least as many elements as logA has rows.",
        "logXi (N*N*T doubles) is too large to address.",
    };
    static const std::vector<std::string> totals = {
        "Invalid number of inputs. Must be 1.",
        "logTotals() only accepts 2D input.",
        "logTotals() only accepts double input.",
        "logTotals() does not accept sparse input.",
        "logTotals() output is too large to address.",
    };
    static const std::vector<std::string> cumsum = {
        "cumsumInt requires an input array",
        "cumsumInt accepts only integer arrays (int8, uint8, int16, uint16, int32, uint32, int64 or uint64)",
    };
    static const std::vector<std::string> oblique = [] {
        std::vector<std::string> m = {
            "obliqueVote requires three input arguments",
            "obliqueVote requires one output arguments",
            "obliqueVote requires argument # to be a full double array",
            "obliqueVote requires a non-empty field 'W'",
            "obliqueVote requires a non-empty field 'treeIndices'",
            "obliqueVote requires fewer than #^# nodes",
            "obliqueVote requires a class count as argument #",
            "obliqueVote requires a finite class count within the #-bit range",
            "obliqueVote requires an output (rows of X times classes) small enough to address",
        };
        for (const char *f : {"W", "featureIndices", "threshold", "terminalVote", "treeIndices"}) {
            m.push_back(std::string("obliqueVote requires argument # must have field '") + f + "'");
            m.push_back(std::string("obliqueVote requires field '") + f + "' to be a full double array");
        }
        return m;
    }();
    static const std::vector<std::string> none;
    if (module == "trellisPass")
        return trellis;
    if (module == "logTotals")
        return totals;
    if (module == "cumsumInt")
        return cumsum;
    if (module == "obliqueVote")
        return oblique;
    return none;
}

const std::vector<std::string> faults = {
    "obliqueVote: internal node # has fewer than two children",
    "obliqueVote: no leaf within # steps, the tree has a cycle through node #",
    "obliqueVote: node # lies beyond the columns of field 'W'",
    "obliqueVote: node # lies beyond the columns of field 'featureIndices'",
    "obliqueVote: node # lies beyond the entries of field 'threshold'",
    "obliqueVote: node # lies beyond the entries of field 'terminalVote'",
    "obliqueVote: node # uses a feature index outside the columns of X",
};

} // namespace

bool documented(const std::string &module, const std::string &message, bool *descentFault)
{
    const std::string s = module == "obliqueVote" ? shape(message) : message;
    if (descentFault)
        *descentFault = false;
    for (const std::string &m : messages(module))
        if (m == s)
            return true;
    if (module == "obliqueVote")
        for (const std::string &f : faults)
            if (f == s) {
                if (descentFault)
                    *descentFault = true;
                return true;
            }
    return false;
}

} // namespace checks
