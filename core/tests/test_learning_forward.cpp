#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "forward_model.hpp"
#include "learning.hpp"
#include "random.hpp"

namespace {

using velmora::learning::td_learn_sequence;
namespace forward_model = velmora::forward_model;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Bitwise equality: distinguishes -0.0 from 0.0 and treats a NaN as equal to the same NaN.
#define EXPECT_BITEQ(a, b) EXPECT_EQ(bits(a), bits(b)) << (a) << " vs " << (b)

// The deviates a fresh generator of `seed` hands out first.
std::vector<double> deviates(std::uint64_t seed, std::size_t n) {
    velmora::SeededRng rng = velmora::SeededRng::from_seed(seed);
    std::vector<double> out(n);
    for (double& z : out) z = velmora::standard_normal(rng);
    return out;
}

TEST(TdLearn, NoiseIsTheSeedsDeviateStream) {
    const std::vector<double> z = deviates(11, 50);
    const auto r = td_learn_sequence(0.0, std::vector<double>(50, 0.0), 1.0, 0.5, 11).value();
    double v = 0.0;
    for (std::size_t k = 0; k < z.size(); ++k) {
        const double e = 0.0 + (0.5 * z[k]);
        v = v + (((0.0 - v) + e) * 1.0);
        EXPECT_BITEQ(r[k], v) << k;
    }
}

TEST(TdLearn, ReservesExactlyOneValuePerReward) {
    for (const double noise : {0.0, 1.0}) {
        for (const std::size_t n : {1u, 7u, 1000u}) {
            const auto r = td_learn_sequence(0.0, std::vector<double>(n, 1.0), 0.5, noise, 0).value();
            EXPECT_EQ(r.size(), n);
            EXPECT_EQ(r.capacity(), n);
        }
    }
}

// --- discounted_value -----------------------------------------------------------------

TEST(ForwardSimulate, StepKTakesTheKthDeviate) {
    constexpr std::size_t n = 2000;
    const std::vector<double> z = deviates(31337, n);
    const auto rows = forward_model::simulate(std::vector<double>(n, 0.0), 0.25, 1.0, 1.0, 31337).value();
    ASSERT_EQ(rows.size(), n);
    for (std::size_t k = 0; k < n; ++k) {
        EXPECT_BITEQ(rows[k].t, static_cast<double>(k));
        EXPECT_BITEQ(rows[k].actual, 0.0 + z[k]) << k;
    }
}

TEST(ForwardSimulate, ReservesExactlyOneRowPerCommand) {
    for (const double noise : {0.0, 1.0}) {
        for (const std::size_t n : {1u, 7u, 1000u}) {
            const auto rows = forward_model::simulate(std::vector<double>(n, 1.0), 0.5, noise, 1.0, 0).value();
            EXPECT_EQ(rows.size(), n);
            EXPECT_EQ(rows.capacity(), n);
        }
    }
}

}  // namespace
