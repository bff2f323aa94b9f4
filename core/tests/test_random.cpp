// What the long Python runs against the transcribed generator cannot reach: the scalar refill that
// builds without SSE2 use, block numbers past 2^32, and a refill that splits a word (the index stays
// even through every draw the models make).
#include "random.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

using velmora::RngBuffer;
using velmora::SeededRng;

#if defined(__SSE2__)
TEST(ChaCha, VectorRefillMatchesScalarReference) {
    std::mt19937_64 pick(2024);
    // Across the carry into the block number's high word and its wrap at 2^64.
    std::vector<std::uint64_t> counters{0, 4, 0xFFFFFFFCull, 0xFFFFFFFEull, ~0ull - 3, ~0ull - 1, ~0ull};
    for (int i = 0; i < 2000; ++i) counters.push_back(pick() & ~3ull);
    for (const std::uint64_t counter : counters) {
        const velmora::detail::ChaChaKey key = velmora::detail::expand_seed(pick());
        RngBuffer scalar{}, lanes{};
        velmora::detail::chacha8_refill_scalar(key, counter, scalar);
        velmora::detail::chacha8_refill_sse2(key, counter, lanes);
        ASSERT_EQ(scalar, lanes) << "counter " << counter;
    }
}
#endif

TEST(SeededRng, OddIndexSplitsWordAcrossRefill) {
    SeededRng rng = SeededRng::from_seed(5);
    rng.generate_and_set(63);
    const RngBuffer first = rng.buffer();
    RngBuffer second{};
    velmora::detail::chacha8_refill_scalar(rng.key(), 4, second);

    // The last word of blocks 0-3 is the low half, the first of blocks 4-7 the high half.
    EXPECT_EQ(rng.next_word64(), first[63] | std::uint64_t{second[0]} << 32);
    EXPECT_EQ(rng.buffer(), second);
    EXPECT_EQ(rng.index(), 1u);
    EXPECT_EQ(rng.counter(), 8u);
    EXPECT_EQ(rng.next_word64(), second[1] | std::uint64_t{second[2]} << 32);
}

}  // namespace
