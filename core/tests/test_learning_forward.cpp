#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "forward_model.hpp"
#include "learning.hpp"
#include "random.hpp"

namespace {

using velmora::forward_model::Row;
using velmora::learning::discounted_value;
using velmora::learning::td_learn_sequence;
namespace forward_model = velmora::forward_model;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Bitwise equality: distinguishes -0.0 from 0.0 and treats a NaN as equal to the same NaN.
#define EXPECT_BITEQ(a, b) EXPECT_EQ(bits(a), bits(b)) << (a) << " vs " << (b)

void expect_bitwise(const std::vector<double>& got, const std::vector<double>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_BITEQ(got[i], want[i]) << " at " << i;
}

void expect_row(const Row& got, const Row& want) {
    EXPECT_BITEQ(got.t, want.t);
    EXPECT_BITEQ(got.predicted, want.predicted);
    EXPECT_BITEQ(got.actual, want.actual);
    EXPECT_BITEQ(got.mismatch, want.mismatch);
}

void expect_invalid(const velmora::VelmoraError& e, const std::string& name, double value, std::string_view why) {
    const auto* p = std::get_if<velmora::InvalidParameter>(&e.kind);
    ASSERT_NE(p, nullptr) << e.to_string();
    EXPECT_EQ(p->name, name);
    EXPECT_BITEQ(p->value, value);
    EXPECT_EQ(p->reason, why);
}

// The deviates a fresh generator of `seed` hands out first.
std::vector<double> deviates(std::uint64_t seed, std::size_t n) {
    velmora::SeededRng rng = velmora::SeededRng::from_seed(seed);
    std::vector<double> out(n);
    for (double& z : out) z = velmora::standard_normal(rng);
    return out;
}

// --- td_learn_sequence ----------------------------------------------------------------

TEST(TdLearn, WorkedExamples) {
    expect_bitwise(td_learn_sequence(0.0, {1.0, 1.0, 0.0}, 0.5, 0.0, 0).value(), {0.5, 0.75, 0.375});
    expect_bitwise(td_learn_sequence(0.0, {1.0, 1.0, 0.0}, 0.5, 2.0, 0).value(),
                   {1.1999607946268154, 0.95591876188556, 0.7808456611883656});
    expect_bitwise(td_learn_sequence(0.0, {0.0}, 1.0, 1.0, 0).value(), {0.6999607946268154});
}

TEST(TdLearn, EmptyRewardsReturnEmptyBeforeAnyCheck) {
    for (const double rate : {0.5, 2.0, kNaN}) {
        for (const double noise : {0.0, -1.0, kInf}) {
            const auto r = td_learn_sequence(0.0, {}, rate, noise, 0);
            ASSERT_TRUE(r.has_value());
            EXPECT_TRUE(r->empty());
        }
    }
}

TEST(TdLearn, ParameterChecksInOrder) {
    struct Case {
        double rate;
        double noise;
        const char* name;
        double value;
        std::string_view why;
    };
    using velmora::reason::finite_non_negative;
    using velmora::reason::unit_interval;
    const Case cases[] = {
        {kNaN, 0.0, "learning_rate", kNaN, unit_interval},
        {-0.1, 0.0, "learning_rate", -0.1, unit_interval},
        {1.0000000000000002, 0.0, "learning_rate", 1.0000000000000002, unit_interval},
        {2.0, -1.0, "learning_rate", 2.0, unit_interval},
        {0.5, -1.0, "rpe_noise_std", -1.0, finite_non_negative},
        {0.5, -1e-300, "rpe_noise_std", -1e-300, finite_non_negative},
        {0.5, kInf, "rpe_noise_std", kInf, finite_non_negative},
        {0.5, kNaN, "rpe_noise_std", kNaN, finite_non_negative},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.value));
        const auto r = td_learn_sequence(0.0, {1.0, 2.0}, c.rate, c.noise, 0);
        ASSERT_FALSE(r.has_value());
        expect_invalid(r.error(), c.name, c.value, c.why);
    }
    EXPECT_EQ(td_learn_sequence(0.0, {1.0}, 2.0, -1.0, 0).error().to_string(),
              "invalid parameter 'learning_rate': 2 (must be in [0, 1])");
}

TEST(TdLearn, BoundaryParametersAccepted) {
    for (const double rate : {0.0, -0.0, 1.0}) {
        for (const double noise : {0.0, -0.0, 1.0}) {
            EXPECT_TRUE(td_learn_sequence(0.0, {1.0}, rate, noise, 0).has_value()) << rate << " " << noise;
        }
    }
}

TEST(TdLearn, ZeroRateKeepsInitialValue) {
    const auto r = td_learn_sequence(3.25, {1.0, -8.0, 1e300}, 0.0, 0.0, 0).value();
    expect_bitwise(r, {3.25, 3.25, 3.25});
}

TEST(TdLearn, SeedMattersOnlyWithNoise) {
    const std::vector<double> rewards = {1.0, 0.0, 2.0, -1.0};
    for (const double zero : {0.0, -0.0}) {
        expect_bitwise(td_learn_sequence(0.5, rewards, 0.3, zero, 0).value(),
                       td_learn_sequence(0.5, rewards, 0.3, zero, 987654321).value());
    }
    const auto a = td_learn_sequence(0.5, rewards, 0.3, 0.1, 0).value();
    expect_bitwise(a, td_learn_sequence(0.5, rewards, 0.3, 0.1, 0).value());
    const auto b = td_learn_sequence(0.5, rewards, 0.3, 0.1, 1).value();
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NE(a[i], b[i]) << i;
}

// Step k's error carries the seed's k-th deviate scaled by rpe_noise_std: one draw per
// reward, drawn before the update.
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

TEST(TdLearn, NanRewardPropagatesWithoutError) {
    const auto r = td_learn_sequence(0.0, {1.0, kNaN, 1.0, 0.0}, 0.5, 0.0, 0).value();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0], 0.5);
    for (std::size_t k = 1; k < r.size(); ++k) EXPECT_TRUE(std::isnan(r[k])) << k;
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

TEST(DiscountedValue, FollowsPowThenProduct) {
    struct Case {
        double reward, delay, factor, expected;
    };
    const Case cases[] = {
        {10.0, 2.0, 0.5, 2.5},
        {1.0, 0.5, 0.25, 0.5},
        {-3.0, 0.0, kNaN, -3.0},   // pow(x, 0) is 1
        {-3.0, kNaN, 1.0, -3.0},   // pow(1, y) is 1
        {-2.0, 3.0, 0.0, -0.0},    // zero carries the reward's sign
        {2.0, -1.0, 0.0, kInf},
        {-2.0, -1.0, 0.0, -kInf},
        {1.0, 3.0, -0.5, -0.125},  // sign alternates with the parity of a whole delay
        {1.0, 2.0, -0.5, 0.25},
        {1.0, 2.0, 4.0, 16.0},     // nothing is capped
        {1.0, -2.0, 0.5, 4.0},
    };
    for (const Case& c : cases) {
        EXPECT_BITEQ(discounted_value(c.reward, c.delay, c.factor), c.expected)
            << c.reward << " " << c.delay << " " << c.factor;
    }
    EXPECT_TRUE(std::isnan(discounted_value(1.0, 0.5, -0.5)));
    EXPECT_TRUE(std::isnan(discounted_value(kInf, 1.0, 0.0)));
    EXPECT_TRUE(std::isnan(discounted_value(0.0, -1.0, 0.0)));
    EXPECT_TRUE(std::isnan(discounted_value(kNaN, 1.0, 0.5)));
}

// --- forward_model::simulate ----------------------------------------------------------

TEST(ForwardSimulate, NoiseFreeExampleIgnoresSeed) {
    for (const std::uint64_t seed : {0ull, 99ull, ~0ull}) {
        const auto rows = forward_model::simulate({1.0, 2.0}, 0.5, 0.0, 2.0, seed).value();
        ASSERT_EQ(rows.size(), 2u);
        expect_row(rows[0], {0.0, 0.0, 2.0, 2.0});
        expect_row(rows[1], {1.0, 1.0, 4.0, 3.0});
    }
}

TEST(ForwardSimulate, FirstDeviateExample) {
    const auto rows = forward_model::simulate({0.0}, 1.0, 1.0, 1.0, 0).value();
    ASSERT_EQ(rows.size(), 1u);
    expect_row(rows[0], {0.0, 0.0, 0.6999607946268154, 0.6999607946268154});
}

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

TEST(ForwardSimulate, ZeroRateKeepsEstimateAtZero) {
    const auto rows = forward_model::simulate({1.0, -2.0, 3.5, 0.25}, 0.0, 0.3, 1.5, 4).value();
    for (const Row& row : rows) {
        EXPECT_BITEQ(row.predicted, 0.0);
        EXPECT_BITEQ(row.mismatch, row.actual);
    }
}

TEST(ForwardSimulate, EstimateMovesByRateTimesMismatch) {
    const auto rows = forward_model::simulate({1.0, 2.0, 3.0, 4.0}, 0.3, 0.2, 0.7, 8).value();
    for (std::size_t k = 0; k + 1 < rows.size(); ++k) {
        EXPECT_BITEQ(rows[k].mismatch, rows[k].actual - rows[k].predicted);
        EXPECT_BITEQ(rows[k + 1].predicted, rows[k].predicted + (rows[k].mismatch * 0.3));
    }
}

TEST(ForwardSimulate, ParameterChecksInOrderAndBeforeEmptyReturn) {
    struct Case {
        double rate;
        double noise;
        const char* name;
        double value;
        std::string_view why;
    };
    using velmora::reason::finite_non_negative;
    using velmora::reason::unit_interval;
    const Case cases[] = {
        {2.0, 0.0, "update_rate", 2.0, unit_interval},
        {kNaN, -1.0, "update_rate", kNaN, unit_interval},
        {1.0000000000000002, 0.0, "update_rate", 1.0000000000000002, unit_interval},
        {-0.1, 0.0, "update_rate", -0.1, unit_interval},
        {0.5, -1e-300, "injury_noise_std", -1e-300, finite_non_negative},
        {0.5, kInf, "injury_noise_std", kInf, finite_non_negative},
        {0.5, -kInf, "injury_noise_std", -kInf, finite_non_negative},
        {0.5, kNaN, "injury_noise_std", kNaN, finite_non_negative},
    };
    for (const Case& c : cases) {
        for (const std::vector<double>& commands : {std::vector<double>{}, std::vector<double>{1.0}}) {
            SCOPED_TRACE(std::string(c.name) + " with " + std::to_string(commands.size()) + " commands");
            const auto r = forward_model::simulate(commands, c.rate, c.noise, 1.0, 0);
            ASSERT_FALSE(r.has_value());
            expect_invalid(r.error(), c.name, c.value, c.why);
        }
    }
    const auto empty = forward_model::simulate({}, 0.5, 1.0, 1.0, 0);
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());
}

TEST(ForwardSimulate, BoundaryParametersAccepted) {
    for (const double rate : {0.0, -0.0, 1.0}) {
        for (const double noise : {0.0, -0.0}) {
            EXPECT_TRUE(forward_model::simulate({1.0}, rate, noise, 1.0, 0).has_value()) << rate << " " << noise;
        }
    }
}

TEST(ForwardSimulate, NonFiniteStepDivergesWithoutRows) {
    struct Case {
        std::vector<double> commands;
        double gain;
        double rate;
    };
    const Case cases[] = {
        {{1.0, 2.0, kInf, 1.0}, 1.0, 0.5},
        {{1.0, 2.0, kNaN}, 1.0, 0.5},
        {{1.0, -kInf}, 1.0, 0.0},  // d * 0.0 is NaN for an infinite d
        {{1.0}, kInf, 1.0},
        {{1.0}, kNaN, 0.5},
        {{1e308, 1e308}, 10.0, 0.5},  // the scaled command overflows
    };
    for (const Case& c : cases) {
        const auto r = forward_model::simulate(c.commands, c.rate, 0.0, c.gain, 0);
        ASSERT_FALSE(r.has_value());
        const auto* div = std::get_if<velmora::NumericalDivergence>(&r.error().kind);
        ASSERT_NE(div, nullptr);
        EXPECT_EQ(div->place, "forward_model::simulate estimate");
        EXPECT_EQ(r.error().to_string(),
                  "numerical divergence in forward_model::simulate estimate: produced a non-finite value");
    }
}

TEST(ForwardSimulate, EqualArgumentsGiveEqualRows) {
    const std::vector<double> commands = {0.5, -1.0, 2.0, 0.0, 3.0};
    const auto a = forward_model::simulate(commands, 0.4, 0.8, 1.2, 17).value();
    const auto b = forward_model::simulate(commands, 0.4, 0.8, 1.2, 17).value();
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t k = 0; k < a.size(); ++k) expect_row(a[k], b[k]);
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
