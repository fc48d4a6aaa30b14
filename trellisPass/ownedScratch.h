// A call's scratch held in vectors, for the programs that run the core
// themselves (the tests and the benchmarks): the blocks trellis::scratchSizes
// gives, the scaled sums' left out where `scaled` is false (every sum then
// the exact log-sum-exp).
#ifndef ZEB_TRELLIS_OWNED_SCRATCH_H
#define ZEB_TRELLIS_OWNED_SCRATCH_H

#include "trellisCore.h"

#include <cstdint>
#include <vector>

namespace trellis {

class OwnedScratch {
public:
    explicit OwnedScratch(std::int64_t n, bool scaled = true, int path = -1)
    {
        std::int64_t sizes[scratchBlocks];
        scratchSizes(n, sizes);
        double *blocks[scratchBlocks] = {};
        for (int k = 0; k < scratchBlocks; ++k) {
            if (k == scratchBlocks - 1 && !scaled)
                break;
            blocks_[k].assign(static_cast<std::size_t>(sizes[k]), 0.0);
            blocks[k] = blocks_[k].data();
        }
        scratch_ = scratchOver(blocks, path);
    }
    OwnedScratch(const OwnedScratch &) = delete;
    OwnedScratch &operator=(const OwnedScratch &) = delete;

    const Scratch &scratch() const { return scratch_; }

private:
    std::vector<double> blocks_[scratchBlocks];
    Scratch scratch_{};
};

} // namespace trellis

#endif
