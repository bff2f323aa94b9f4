#include "random.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "ziggurat_tables.hpp"

namespace {

using velmora::ChaChaState;
using velmora::Normal;
using velmora::RngBuffer;
using velmora::SeededRng;
using velmora::ZIG_NORM_F;
using velmora::ZIG_NORM_X;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Bitwise equality: distinguishes -0.0 from 0.0.
#define EXPECT_BITEQ(a, b) EXPECT_EQ(bits(a), bits(b)) << (a) << " vs " << (b)
#define ASSERT_BITEQ(a, b) ASSERT_EQ(bits(a), bits(b)) << (a) << " vs " << (b)

RngBuffer refill(const SeededRng& rng, std::uint64_t counter) {
    RngBuffer out{};
    velmora::chacha8_refill_scalar(rng.key(), counter, out);
    return out;
}

std::uint64_t join(std::uint32_t low, std::uint32_t high) {
    return static_cast<std::uint64_t>(low) | (static_cast<std::uint64_t>(high) << 32);
}

// Words handed out so far; valid whenever index is even, as it is between 64-bit draws.
std::int64_t words_drawn(const SeededRng& rng) {
    return static_cast<std::int64_t>(rng.counter() / 4 * 32) + static_cast<std::int64_t>(rng.index() / 2) - 32;
}

// --- ChaCha ---------------------------------------------------------------------------

// The 20-round block of RFC 8439, section 2.3.2 (key 00..1f, block counter 1, nonce
// 00:00:00:09:00:00:00:4a:00:00:00:00). It pins the quarter round, the column/diagonal
// order and the feed-forward that the 8-round generator shares; the seed vectors below
// pin the round count and the key schedule.
TEST(ChaCha, BlockMatchesPublishedTwentyRoundVector) {
    velmora::ChaChaKey key{};
    for (std::uint32_t i = 0; i < 8; ++i) {
        const std::uint32_t b = 4 * i;
        key[i] = b | (b + 1) << 8 | (b + 2) << 16 | (b + 3) << 24;
    }
    // Word 12 is the block counter, words 13-15 the nonce, as in the 64-bit layout.
    const ChaChaState input = velmora::chacha_input(key, 0x0900000000000001ull, 0x000000004A000000ull);
    const ChaChaState expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
                                  0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                  0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    EXPECT_EQ(velmora::chacha_block<10>(input), expected);
}

TEST(ChaCha, RefillLaysOutFourConsecutiveBlocks) {
    const SeededRng rng = SeededRng::from_seed(42);
    const std::uint64_t counter = 1000;
    const RngBuffer buf = refill(rng, counter);
    for (std::uint64_t k = 0; k < 4; ++k) {
        const ChaChaState block = velmora::chacha_block<4>(velmora::chacha_input(rng.key(), counter + k, 0));
        EXPECT_TRUE(std::equal(block.begin(), block.end(), buf.begin() + static_cast<std::ptrdiff_t>(16 * k)))
            << "block " << k;
    }
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

// --- Words ----------------------------------------------------------------------------

TEST(SeededRng, FirstWordPerSeed) {
    struct Case {
        std::uint64_t seed;
        std::uint64_t first;
    };
    for (const Case c : {Case{0, 0xB585F767A79A3B6Cull}, Case{1, 0x67094CEA8CA40DB1ull},
                         Case{std::numeric_limits<std::uint64_t>::max(), 0xAF202386E3A73CAEull}}) {
        SeededRng rng = SeededRng::from_seed(c.seed);
        EXPECT_EQ(rng.next_word64(), c.first) << "seed " << c.seed;
    }
}

TEST(SeededRng, EqualSeedsGiveEqualStreamsAndDifferentSeedsDiffer) {
    SeededRng a = SeededRng::from_seed(123);
    SeededRng b = SeededRng::from_seed(123);
    SeededRng c = SeededRng::from_seed(124);
    int equal_to_other_seed = 0;
    for (int i = 0; i < 200; ++i) {
        const std::uint64_t wa = a.next_word64();
        EXPECT_EQ(wa, b.next_word64()) << "word " << i;
        equal_to_other_seed += wa == c.next_word64();
    }
    EXPECT_EQ(equal_to_other_seed, 0);
}

TEST(SeededRng, FreshGeneratorRefillsOnFirstDraw) {
    SeededRng rng = SeededRng::from_seed(0);
    EXPECT_EQ(rng.index(), 64u);
    EXPECT_EQ(rng.counter(), 0u);
    const std::uint64_t first = rng.next_word64();
    const RngBuffer blocks0to3 = refill(rng, 0);
    EXPECT_EQ(rng.buffer(), blocks0to3);
    EXPECT_EQ(rng.index(), 2u);
    EXPECT_EQ(rng.counter(), 4u);
    EXPECT_EQ(first, join(blocks0to3[0], blocks0to3[1]));
}

TEST(SeededRng, ThirtySecondWordEndsBufferAndThirtyThirdRefills) {
    SeededRng rng = SeededRng::from_seed(9);
    const RngBuffer blocks0to3 = refill(rng, 0);
    for (std::size_t i = 0; i < 31; ++i) EXPECT_EQ(rng.next_word64(), join(blocks0to3[2 * i], blocks0to3[2 * i + 1]));
    EXPECT_EQ(rng.next_word64(), join(blocks0to3[62], blocks0to3[63]));
    EXPECT_EQ(rng.index(), 64u);
    EXPECT_EQ(rng.counter(), 4u);

    const std::uint64_t word33 = rng.next_word64();
    const RngBuffer blocks4to7 = refill(rng, 4);
    EXPECT_EQ(rng.buffer(), blocks4to7);
    EXPECT_EQ(rng.index(), 2u);
    EXPECT_EQ(rng.counter(), 8u);
    EXPECT_EQ(word33, join(blocks4to7[0], blocks4to7[1]));
}

TEST(SeededRng, OddIndexSplitsWordAcrossRefill) {
    SeededRng rng = SeededRng::from_seed(5);
    rng.generate_and_set(63);
    EXPECT_EQ(rng.counter(), 4u);
    EXPECT_EQ(rng.index(), 63u);
    const RngBuffer blocks0to3 = rng.buffer();
    EXPECT_EQ(blocks0to3, refill(rng, 0));

    const std::uint64_t straddling = rng.next_word64();
    const RngBuffer blocks4to7 = refill(rng, 4);
    EXPECT_EQ(straddling, join(blocks0to3[63], blocks4to7[0]));
    EXPECT_EQ(rng.buffer(), blocks4to7);
    EXPECT_EQ(rng.counter(), 8u);
    EXPECT_EQ(rng.index(), 1u);
    EXPECT_EQ(rng.next_word64(), join(blocks4to7[1], blocks4to7[2]));
    EXPECT_EQ(rng.index(), 3u);
}

// --- Conversions ----------------------------------------------------------------------

TEST(WordToDouble, RangeEndsAndSignBit) {
    struct Case {
        std::uint64_t word;
        double symmetric;
        double half_open;
        double open;
    };
    const Case cases[] = {
        {0, -1.0, 0.0, 0x1p-53},
        {0x7FF, -1.0, 0.0, 0x1p-53},  // the low 11 bits never reach a double
        {0x800, -1.0, 0x1p-53, 0x1p-53},  // bit 11 reaches only the 53-bit half-open value
        {0x7FFFFFFFFFFFFFFFull, -0x1p-51, 0.5 - 0x1p-53, 0.5 - 0x1p-53},
        {0x8000000000000000ull, 0.0, 0.5, 0.5 + 0x1p-53},
        {0xFFFFFFFFFFFFFFFFull, 1.0 - 0x1p-51, 1.0 - 0x1p-53, 1.0 - 0x1p-53},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_BITEQ(velmora::word_to_symmetric(c.word), c.symmetric);
        EXPECT_BITEQ(velmora::word_to_half_open(c.word), c.half_open);
        EXPECT_BITEQ(velmora::word_to_open(c.word), c.open);
    }
}

// --- Tables ---------------------------------------------------------------------------

TEST(ZigguratTables, TellingRowsByBitPattern) {
    struct Row {
        std::size_t i;
        std::uint64_t x;
        std::uint64_t f;  // 0 where only a decimal is known or the entry is never read
    };
    const Row rows[] = {
        {0, 0x400F493B78164498ull, 0},
        {1, 0x400D3BB48209AD33ull, 0x3F54A605B6B9F70Full},
        {2, 0x400B981F3878F995ull, 0x3F655F9F43C1D644ull},
        {3, 0x400A8FDC7894718Cull, 0x3F708A1F03B0D9D7ull},
        {128, 0x3FF890C35F47C831ull, 0},
        {255, 0x3FCB8D0BE3D69918ull, 0x3FEF446AC97C0265ull},
        {256, bits(0.0), bits(1.0)},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.i);
        EXPECT_EQ(bits(ZIG_NORM_X[r.i]), r.x);
        if (r.f != 0) {
            EXPECT_EQ(bits(ZIG_NORM_F[r.i]), r.f);
        }
    }
    EXPECT_EQ(ZIG_NORM_F[128], 0.30769741250555377);
    EXPECT_EQ(ZIG_NORM_X[1], 3.654152885361009);
}

TEST(ZigguratTables, XDecreasesAndFIncreasesStrictly) {
    for (std::size_t i = 0; i + 1 < ZIG_NORM_X.size(); ++i) EXPECT_GT(ZIG_NORM_X[i], ZIG_NORM_X[i + 1]) << i;
    for (std::size_t i = 1; i + 1 < ZIG_NORM_F.size(); ++i) EXPECT_LT(ZIG_NORM_F[i], ZIG_NORM_F[i + 1]) << i;
}

// --- Normal draw ----------------------------------------------------------------------

TEST(StandardNormal, FirstDeviatesOfSeedZero) {
    SeededRng rng = SeededRng::from_seed(0);
    EXPECT_BITEQ(velmora::standard_normal(rng), 0.6999607946268154);
    EXPECT_BITEQ(velmora::standard_normal(rng), -0.14406163542784764);
    EXPECT_BITEQ(velmora::standard_normal(rng), 0.30288628024558556);

    SeededRng fresh = SeededRng::from_seed(0);
    EXPECT_BITEQ((Normal{0.0, 0.5}.sample(fresh)), 0.3499803973134077);
}

TEST(StandardNormal, ZeroStdGivesPositiveZeroEvenForNegativeDeviates) {
    SeededRng rng = SeededRng::from_seed(0);
    const Normal flat{0.0, 0.0};
    for (int i = 0; i < 3; ++i) EXPECT_BITEQ(flat.sample(rng), 0.0);  // the second deviate is negative
}

// Classifies each draw by its first two words (read from a copy of the generator) and
// checks what the draw must then do: accept on the fast test with one word; in the wedge,
// accept x with two words exactly when the point at height F[i+1] + (F[i] - F[i+1]) * v
// lies under the density, else retry; or leave through the tail beyond R on u's side.
TEST(StandardNormal, PathsFollowLeadingWords) {
    int fast = 0, wedge_in = 0, wedge_out = 0, layer255 = 0, tail = 0;
    SeededRng rng = SeededRng::from_seed(2024);
    for (int n = 0; n < 300000; ++n) {
        SeededRng peek = rng;
        const std::uint64_t w = peek.next_word64();
        const std::size_t i = w & 0xFF;
        const double u = velmora::word_to_symmetric(w);
        const double x = ZIG_NORM_X[i] * u;
        const std::int64_t before = words_drawn(rng);
        const double z = velmora::standard_normal(rng);
        const std::int64_t used = words_drawn(rng) - before;
        layer255 += i == 255;
        if (std::fabs(x) < ZIG_NORM_X[i + 1]) {
            ASSERT_NE(i, 255u);  // X[256] = 0: the fast test can never pass in the top layer
            ++fast;
            ASSERT_BITEQ(z, x);
            ASSERT_EQ(used, 1);
        } else if (i == 0) {
            ++tail;
            ASSERT_GT(std::fabs(z), ZIG_NORM_X[1]);
            ASSERT_EQ(std::signbit(z), u < 0.0);
            ASSERT_GE(used, 3);
            ASSERT_EQ(used % 2, 1);
        } else {
            const double v = velmora::word_to_half_open(peek.next_word64());
            const double height = ZIG_NORM_F[i + 1] + (ZIG_NORM_F[i] - ZIG_NORM_F[i + 1]) * v;
            if (height < std::exp(-0.5 * x * x)) {
                ++wedge_in;
                ASSERT_BITEQ(z, x);
                ASSERT_EQ(used, 2);
            } else {
                ++wedge_out;
                ASSERT_GE(used, 3);
            }
        }
    }
    EXPECT_GT(fast, 250000);
    EXPECT_GT(wedge_in, 1000);
    EXPECT_GT(wedge_out, 1000);
    EXPECT_GT(layer255, 500);
    EXPECT_GT(tail, 20);
}

// Kolmogorov-Smirnov distance to the standard normal; a wrong wedge or tail shifts mass.
TEST(StandardNormal, DistributionMatchesNormal) {
    constexpr int n = 200000;
    SeededRng rng = SeededRng::from_seed(77);
    std::vector<double> z(n);
    for (double& v : z) v = velmora::standard_normal(rng);
    std::sort(z.begin(), z.end());
    double d = 0.0;
    for (int k = 0; k < n; ++k) {
        const double cdf = 0.5 * std::erfc(-z[k] / std::sqrt(2.0));
        d = std::max({d, std::fabs(cdf - static_cast<double>(k) / n), std::fabs(static_cast<double>(k + 1) / n - cdf)});
    }
    EXPECT_LT(d, 1.63 / std::sqrt(static_cast<double>(n)));  // the 1% critical value
    const auto beyond_r = std::count_if(z.begin(), z.end(), [](double v) { return std::fabs(v) > ZIG_NORM_X[1]; });
    EXPECT_GT(beyond_r, 20);  // about 52 expected
    EXPECT_LT(beyond_r, 100);
}

}  // namespace

#if defined(__SSE2__)
// The lane-parallel refill must reproduce the scalar reference exactly, also across the carry into
// the block number's high word and its wrap at 2^64.
TEST(ChaCha, VectorRefillMatchesScalarReference) {
    std::mt19937_64 pick(2024);
    std::vector<std::uint64_t> counters{0, 4, 0xFFFFFFFCull, 0xFFFFFFFEull, ~0ull - 3, ~0ull - 1, ~0ull};
    for (int i = 0; i < 2000; ++i) counters.push_back(pick() & ~3ull);
    for (const std::uint64_t counter : counters) {
        const velmora::ChaChaKey key = velmora::expand_seed(pick());
        velmora::RngBuffer scalar{}, lanes{};
        velmora::chacha8_refill_scalar(key, counter, scalar);
        velmora::chacha8_refill_sse2(key, counter, lanes);
        ASSERT_EQ(scalar, lanes) << "counter " << counter;
    }
}
#endif
