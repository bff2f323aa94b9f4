// The generator below the deviates: cipher blocks, buffer layout, refill rules and word-to-double
// conversions. The deviates are checked from Python against a transcription of the generator, over
// runs long enough to take every path of the draw; the Ziggurat tables by their regeneration there.
#include "normal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

using velmora::detail::ChaChaState;
using velmora::RngBuffer;
using velmora::SeededRng;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
std::uint64_t join(std::uint64_t low, std::uint64_t high) { return low | high << 32; }
using Pos = std::pair<std::size_t, std::uint64_t>;  // read position and block counter
Pos at(const SeededRng& rng) { return {rng.index(), rng.counter()}; }

RngBuffer refill(const SeededRng& rng, std::uint64_t counter) {
    RngBuffer out{};
    velmora::detail::chacha8_refill_scalar(rng.key(), counter, out);
    return out;
}

// Blocks counter .. counter + 3 one after another, straight from the block function.
RngBuffer blocks(const SeededRng& rng, std::uint64_t counter) {
    RngBuffer out{};
    for (std::uint64_t k = 0; k < 4; ++k)
        std::ranges::copy(velmora::detail::chacha_block<4>(velmora::detail::chacha_input(rng.key(), counter + k, 0)), &out[16 * k]);
    return out;
}

// The 20-round block of RFC 8439, section 2.3.2 (key 00..1f, block counter 1, nonce
// 00:00:00:09:00:00:00:4a:00:00:00:00). It pins the quarter round, the column/diagonal order
// and the feed-forward that the 8-round generator shares; the first words per seed pin the
// round count and the key schedule.
TEST(ChaCha, BlockMatchesPublishedTwentyRoundVector) {
    velmora::detail::ChaChaKey key{};
    for (std::uint32_t i = 0, b = 0; i < 8; ++i, b += 4) key[i] = b | (b + 1) << 8 | (b + 2) << 16 | (b + 3) << 24;
    // Word 12 is the block counter, words 13-15 the nonce, as in the 64-bit layout.
    const ChaChaState input = velmora::detail::chacha_input(key, 0x0900000000000001ull, 0x000000004A000000ull);
    EXPECT_EQ(velmora::detail::chacha_block<10>(input),
              (ChaChaState{0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                           0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9, 0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2}));
}

TEST(ChaCha, BlockNumberCarriesIntoHighWordAndWraps) {
    const SeededRng rng = SeededRng::from_seed(3);
    const RngBuffer low = refill(rng, 0);
    // Blocks 2^32 - 2 .. 2^32 + 1: the carry must reach word 13, so block 2^32 is not block 0.
    const RngBuffer carry = refill(rng, 0xFFFFFFFEull);
    EXPECT_FALSE(std::equal(low.begin(), low.begin() + 16, carry.begin() + 32));
    // Blocks 2^64 - 2 .. 1: the block number wraps modulo 2^64.
    const RngBuffer wrap = refill(rng, std::numeric_limits<std::uint64_t>::max() - 1);
    EXPECT_TRUE(std::equal(low.begin(), low.begin() + 32, wrap.begin() + 32));
}

#if defined(__SSE2__)
// The lane-parallel refill must reproduce the scalar reference exactly, also across the carry into
// the block number's high word and its wrap at 2^64.
TEST(ChaCha, VectorRefillMatchesScalarReference) {
    std::mt19937_64 pick(2024);
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

TEST(SeededRng, FirstWordPerSeed) {
    const std::pair<std::uint64_t, std::uint64_t> cases[] = {
        {0, 0xB585F767A79A3B6Cull}, {1, 0x67094CEA8CA40DB1ull}, {~0ull, 0xAF202386E3A73CAEull}};
    for (const auto& [seed, first] : cases) EXPECT_EQ(SeededRng::from_seed(seed).next_word64(), first) << seed;
}

// A fresh generator refills on its first draw with blocks 0 to 3, laid out one after another;
// 32 words empty the buffer; the 33rd refills with blocks 4 to 7.
TEST(SeededRng, ThirtyTwoWordsPerRefill) {
    SeededRng rng = SeededRng::from_seed(9);
    EXPECT_EQ(at(rng), Pos(64, 0));
    const RngBuffer blocks0to3 = blocks(rng, 0);
    for (std::size_t i = 0; i < 32; ++i) {
        EXPECT_EQ(rng.next_word64(), join(blocks0to3[2 * i], blocks0to3[2 * i + 1])) << i;
        EXPECT_EQ(at(rng), Pos(2 * i + 2, 4)) << i;
    }
    EXPECT_EQ(rng.buffer(), blocks0to3);

    const std::uint64_t word33 = rng.next_word64();
    const RngBuffer blocks4to7 = blocks(rng, 4);
    EXPECT_EQ(rng.buffer(), blocks4to7);
    EXPECT_EQ(at(rng), Pos(2, 8));
    EXPECT_EQ(word33, join(blocks4to7[0], blocks4to7[1]));
}

TEST(SeededRng, OddIndexSplitsWordAcrossRefill) {
    SeededRng rng = SeededRng::from_seed(5);
    rng.generate_and_set(63);
    EXPECT_EQ(at(rng), Pos(63, 4));
    const RngBuffer blocks0to3 = rng.buffer();
    EXPECT_EQ(blocks0to3, refill(rng, 0));

    const std::uint64_t straddling = rng.next_word64();
    const RngBuffer blocks4to7 = refill(rng, 4);
    EXPECT_EQ(straddling, join(blocks0to3[63], blocks4to7[0]));
    EXPECT_EQ(rng.buffer(), blocks4to7);
    EXPECT_EQ(at(rng), Pos(1, 8));
    EXPECT_EQ(rng.next_word64(), join(blocks4to7[1], blocks4to7[2]));
    EXPECT_EQ(rng.index(), 3u);
}

TEST(WordToDouble, RangeEndsAndSignBit) {
    struct Case { std::uint64_t word; double symmetric, half_open, open; };
    const Case cases[] = {
        {0, -1.0, 0.0, 0x1p-53},
        {0x7FF, -1.0, 0.0, 0x1p-53},      // the low 11 bits never reach a double
        {0x800, -1.0, 0x1p-53, 0x1p-53},  // bit 11 reaches only the 53-bit half-open value
        {0x7FFFFFFFFFFFFFFFull, -0x1p-51, 0.5 - 0x1p-53, 0.5 - 0x1p-53},
        {0x8000000000000000ull, 0.0, 0.5, 0.5 + 0x1p-53},
        {0xFFFFFFFFFFFFFFFFull, 1.0 - 0x1p-51, 1.0 - 0x1p-53, 1.0 - 0x1p-53},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_EQ(bits(velmora::word_to_symmetric(c.word)), bits(c.symmetric));
        EXPECT_EQ(bits(velmora::word_to_half_open(c.word)), bits(c.half_open));
        EXPECT_EQ(bits(velmora::word_to_open(c.word)), bits(c.open));
    }
}

}  // namespace
