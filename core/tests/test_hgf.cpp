#include "hgf.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using velmora::hgf::Hgf;
using velmora::hgf::HgfStep;
namespace hgf = velmora::hgf;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Bitwise equality: distinguishes -0.0 from 0.0 and treats a NaN as equal to the same NaN.
#define EXPECT_BITEQ(a, b) EXPECT_EQ(bits(a), bits(b)) << (a) << " vs " << (b)

void expect_same_filter(const Hgf& a, const Hgf& b) {
    EXPECT_BITEQ(a.obs_precision, b.obs_precision);
    EXPECT_BITEQ(a.precision_flexibility, b.precision_flexibility);
    EXPECT_BITEQ(a.base_process_noise, b.base_process_noise);
    EXPECT_BITEQ(a.mu1, b.mu1);
    EXPECT_BITEQ(a.var1, b.var1);
    EXPECT_BITEQ(a.mu2, b.mu2);
}

void expect_invalid(const velmora::VelmoraError& e, const std::string& name, double value, std::string_view why) {
    const auto* p = std::get_if<velmora::InvalidParameter>(&e.kind);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->name, name);
    EXPECT_EQ(p->reason, why);
    if (std::isnan(value)) {
        EXPECT_TRUE(std::isnan(p->value));
    } else {
        EXPECT_BITEQ(p->value, value);
    }
}

void expect_divergence(const velmora::VelmoraError& e) {
    const auto* p = std::get_if<velmora::NumericalDivergence>(&e.kind);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->place, "hgf::step level-1 mean");
}

// Defaults of the Python entry point, so the tests read like calls of it.
hgf::Hgf make(double obs_noise, double flex, double base = 0.01, double mu1 = 0.0, double var1 = 1.0,
              double mu2 = 0.0) {
    return hgf::build(obs_noise, flex, base, mu1, var1, mu2);
}

TEST(HgfWorkedExample, ThreeRowsBitForBit) {
    const HgfStep expected[] = {
        {0.0, 0.0, 1.0, 2.99009900990099, 1.0, 0.6688741721854304, 0.01},
        {1.0, 0.6688741721854304, 3.0, 2.4265416231179913, 2.3311258278145695, 0.8242182952666992, 2.01},
        {2.0, 2.590230728038928, 2.5, 2.0813642877508256, -0.09023072803892784, 0.9609081945771493,
         11.878295250208323},
    };
    auto rows = hgf::run({1.0, 3.0, 2.5}, 0.5, 2.0, 0.01, 0.0, 1.0, 0.0);
    ASSERT_TRUE(rows.has_value());
    ASSERT_EQ(rows->size(), 3u);
    EXPECT_EQ(rows->capacity(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const HgfStep& r = (*rows)[i];
        const HgfStep& x = expected[i];
        EXPECT_BITEQ(r.t, x.t);
        EXPECT_BITEQ(r.prediction, x.prediction);
        EXPECT_BITEQ(r.observation, x.observation);
        EXPECT_BITEQ(r.precision, x.precision);
        EXPECT_BITEQ(r.prediction_error, x.prediction_error);
        EXPECT_BITEQ(r.learning_rate, x.learning_rate);
        EXPECT_BITEQ(r.volatility, x.volatility);
    }
}

TEST(HgfWorkedExample, FirstStepSetsLevelTwoToOne) {
    Hgf f = make(0.5, 2.0);
    EXPECT_BITEQ(f.obs_precision, 2.0);
    ASSERT_TRUE(hgf::step(f, 1.0, 0).has_value());
    EXPECT_BITEQ(f.mu2, 1.0);
    EXPECT_BITEQ(f.mu1, 0.6688741721854304);
}

// --- building -------------------------------------------------------------------------------

class ObsNoiseFloor : public ::testing::TestWithParam<double> {};
TEST_P(ObsNoiseFloor, GivesMaximalPrecision) { EXPECT_BITEQ(make(GetParam(), 1.0).obs_precision, 1000000.0); }
INSTANTIATE_TEST_SUITE_P(Hgf, ObsNoiseFloor, ::testing::Values(0.0, -0.0, -1.0, -kInf, 1e-9, 1e-6, kNaN));

TEST(HgfBuild, InfiniteObsNoiseGivesZeroPrecision) { EXPECT_BITEQ(make(kInf, 1.0).obs_precision, 0.0); }

class Var1Floor : public ::testing::TestWithParam<double> {};
TEST_P(Var1Floor, StartsAtTheFloor) { EXPECT_BITEQ(make(1.0, 1.0, 0.01, 0.0, GetParam()).var1, 1e-6); }
INSTANTIATE_TEST_SUITE_P(Hgf, Var1Floor, ::testing::Values(0.0, -0.0, -5.0, -kInf, 1e-12, kNaN));

TEST(HgfBuild, KeepsEverythingElseAsGiven) {
    Hgf f = hgf::build(2.0, -3.0, kNaN, kInf, kInf, -4.0);
    EXPECT_BITEQ(f.obs_precision, 0.5);
    EXPECT_BITEQ(f.precision_flexibility, -3.0);
    EXPECT_TRUE(std::isnan(f.base_process_noise));
    EXPECT_BITEQ(f.mu1, kInf);
    EXPECT_BITEQ(f.var1, kInf);
    EXPECT_BITEQ(f.mu2, -4.0);
    EXPECT_TRUE(std::isnan(hgf::build(1.0, 1.0, 0.01, 0.0, 1.0, kNaN).mu2));
}

// --- checks and their order -------------------------------------------------------------------

class BadFlexibility : public ::testing::TestWithParam<double> {};
TEST_P(BadFlexibility, RejectedAtFirstStep) {
    auto rows = hgf::run({1.0}, 1.0, GetParam(), 0.01, 0.0, 1.0, 0.0);
    ASSERT_FALSE(rows.has_value());
    expect_invalid(rows.error(), "precision_flexibility", GetParam(), velmora::reason::finite_non_negative);
}
INSTANTIATE_TEST_SUITE_P(Hgf, BadFlexibility, ::testing::Values(-1.0, -1e-300, kNaN, kInf, -kInf));

class BadObservation : public ::testing::TestWithParam<double> {};
TEST_P(BadObservation, CheckedBeforeFlexibility) {
    auto rows = hgf::run({GetParam(), 1.0}, 1.0, -1.0, 0.01, 0.0, 1.0, 0.0);
    ASSERT_FALSE(rows.has_value());
    expect_invalid(rows.error(), "observation", GetParam(), velmora::reason::finite);
}
TEST_P(BadObservation, LaterPositionDropsEarlierRows) {
    auto rows = hgf::run({1.0, 2.0, GetParam(), 4.0}, 1.0, 1.0, 0.01, 0.0, 1.0, 0.0);
    ASSERT_FALSE(rows.has_value());
    expect_invalid(rows.error(), "observation", GetParam(), velmora::reason::finite);
}
INSTANTIATE_TEST_SUITE_P(Hgf, BadObservation, ::testing::Values(kNaN, kInf, -kInf));

class NonFiniteMu1 : public ::testing::TestWithParam<double> {};
TEST_P(NonFiniteMu1, DivergesAtFirstStep) {
    auto rows = hgf::run({1.0, 2.0}, 1.0, 1.0, 0.01, GetParam(), 1.0, 0.0);
    ASSERT_FALSE(rows.has_value());
    expect_divergence(rows.error());
}
INSTANTIATE_TEST_SUITE_P(Hgf, NonFiniteMu1, ::testing::Values(kNaN, kInf, -kInf));

TEST(HgfChecks, OverflowingMeanDiverges) {
    // d = 1e308 - (-1e308) overflows to +inf, so the new mean is not finite.
    auto rows = hgf::run({1e308}, 1.0, 1.0, 0.01, -1e308, 1.0, 0.0);
    ASSERT_FALSE(rows.has_value());
    expect_divergence(rows.error());
}

class ZeroFlexibility : public ::testing::TestWithParam<double> {};
TEST_P(ZeroFlexibility, VolatilityIsTheBaseNoise) {
    auto rows = hgf::run({1.0, -7.0, 30.0, 2.0}, 0.3, GetParam(), 0.25, 0.0, 1.0, 5.0);
    ASSERT_TRUE(rows.has_value());
    for (const HgfStep& r : *rows) EXPECT_BITEQ(r.volatility, 0.25);
}
INSTANTIATE_TEST_SUITE_P(Hgf, ZeroFlexibility, ::testing::Values(0.0, -0.0));

// --- a failed step changes nothing ------------------------------------------------------------

struct FailingStep {
    const char* label;
    Hgf filter;
    bool warm_up;  // take one good step first, so mu2 and var1 no longer hold their initial values
    double observation;
};

class StepFailure : public ::testing::TestWithParam<FailingStep> {};
TEST_P(StepFailure, LeavesFilterUnchanged) {
    Hgf f = GetParam().filter;
    if (GetParam().warm_up) {
        ASSERT_TRUE(hgf::step(f, 0.75, 0).has_value());
    }
    const Hgf before = f;
    EXPECT_FALSE(hgf::step(f, GetParam().observation, 1).has_value());
    expect_same_filter(f, before);
}
INSTANTIATE_TEST_SUITE_P(
    Hgf, StepFailure,
    ::testing::Values(FailingStep{"observation", make(0.5, 2.0), true, kNaN},
                      FailingStep{"flexibility", make(0.5, -1.0, 0.01, 0.3, 2.0, -4.0), false, 1.0},
                      FailingStep{"nan_mu1", make(0.5, 2.0, 0.01, kNaN, 2.0, 3.0), false, 1.0},
                      FailingStep{"overflow", make(1.0, 2.0, 0.01, -1e308, 2.0, 3.0), false, 1e308}),
    [](const auto& info) { return std::string(info.param.label); });

// --- level 2 ---------------------------------------------------------------------------------

struct Mu2Case {
    const char* label;
    double mu2;
    double y;
    double expected_mu2;
};

class InitialMu2 : public ::testing::TestWithParam<Mu2Case> {};
TEST_P(InitialMu2, ClampedForVolatilityButNotForUpdate) {
    // obs_precision 2.0 and mu1 0.0, so the new half of the level-2 update is y * y.
    Hgf f = make(0.5, 3.0, 0.125, 0.0, 1.0, GetParam().mu2);
    auto row = hgf::step(f, GetParam().y, 0);
    ASSERT_TRUE(row.has_value());
    EXPECT_BITEQ(row->volatility, 0.125);
    EXPECT_BITEQ(f.mu2, GetParam().expected_mu2);
}
INSTANTIATE_TEST_SUITE_P(Hgf, InitialMu2,
                         ::testing::Values(Mu2Case{"negative_clamped", -4.0, 1.0, 0.0},
                                           Mu2Case{"negative_lowers", -4.0, 3.0, 7.0},
                                           Mu2Case{"negative_zero", -0.0, 1.0, 1.0},
                                           Mu2Case{"nan_resets", kNaN, 3.0, 0.0}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(HgfLevelTwo, InfiniteMu2IsCarriedOn) {
    auto rows = hgf::run({1.0, 2.0, 3.0}, 1.0, 1.0, 0.01, 0.0, 1.0, kInf);
    ASSERT_TRUE(rows.has_value());
    for (const HgfStep& r : *rows) {
        EXPECT_BITEQ(r.volatility, kInf);
        // Infinite predicted variance: the prediction has no precision left.
        EXPECT_BITEQ(r.precision, 1.0);
        EXPECT_BITEQ(r.learning_rate, 1.0);
    }
}

TEST(HgfLevelTwo, NaNBaseNoiseRaisesNothing) {
    auto rows = hgf::run({1.0, 2.0, 0.5}, 0.5, 1.0, kNaN, 0.0, 1.0, 0.0);
    ASSERT_TRUE(rows.has_value());
    ASSERT_EQ(rows->size(), 3u);
    for (const HgfStep& r : *rows) {
        EXPECT_TRUE(std::isnan(r.volatility));
        EXPECT_BITEQ(r.precision, 2.0 + 1000000.0);
    }
}

TEST(HgfLevelTwo, InfiniteObsNoiseFreezesTheMeanAndHalvesMu2) {
    Hgf f = make(kInf, 1.0, 0.01, 1.5, 1.0, 8.0);
    for (std::uint64_t t = 0; t < 4; ++t) {
        const double mu2 = f.mu2;
        const double var1 = f.var1;
        auto row = hgf::step(f, 100.0 + static_cast<double>(t), t);
        ASSERT_TRUE(row.has_value());
        EXPECT_BITEQ(row->learning_rate, 0.0);
        EXPECT_BITEQ(row->prediction, 1.5);
        EXPECT_BITEQ(row->precision, 1.0 / (var1 + row->volatility));
        EXPECT_BITEQ(f.mu1, 1.5);
        EXPECT_BITEQ(f.mu2, mu2 * 0.5);
    }
}

TEST(HgfLevelOne, PosteriorVarianceIsFloored) {
    // With the largest observation precision 1.0 / q falls below 1e-6; the floor keeps var1 at
    // 1e-6, so a constant volatility gives the same precision at every step.
    auto rows = hgf::run({1.0, 2.0, 3.0, 4.0}, 0.0, 0.0, 1e-6, 0.0, 0.0, 0.0);
    ASSERT_TRUE(rows.has_value());
    for (const HgfStep& r : *rows) EXPECT_BITEQ(r.precision, 1000000.0 + 1.0 / (1e-6 + 1e-6));
}

// --- the run ---------------------------------------------------------------------------------

TEST(HgfRun, EmptyIsEmptyWhateverTheArguments) {
    auto rows = hgf::run({}, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN);
    ASSERT_TRUE(rows.has_value());
    EXPECT_TRUE(rows->empty());
    rows = hgf::run({}, 1.0, -1.0, 0.01, 0.0, 1.0, 0.0);
    ASSERT_TRUE(rows.has_value());
    EXPECT_TRUE(rows->empty());
}

TEST(HgfRun, ReservesOneRowPerObservationAndCountsSteps) {
    for (std::size_t n : {1u, 2u, 5u, 17u, 100u}) {
        std::vector<double> ys(n);
        for (std::size_t i = 0; i < n; ++i) ys[i] = std::sin(static_cast<double>(i)) * 4.0;
        auto rows = hgf::run(ys, 0.2, 0.7, 0.01, -2.5, 1.0, 0.0);
        ASSERT_TRUE(rows.has_value());
        ASSERT_EQ(rows->size(), n);
        EXPECT_EQ(rows->capacity(), n);
        EXPECT_BITEQ((*rows)[0].prediction, -2.5);
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_BITEQ((*rows)[i].t, static_cast<double>(i));
            EXPECT_BITEQ((*rows)[i].observation, ys[i]);
        }
    }
}

TEST(HgfRun, MatchesRepeatedSteps) {
    const std::vector<double> ys{0.3, -1.0, 12.0, 12.5, 0.0, -3.25};
    auto rows = hgf::run(ys, 0.05, 1.3, 0.02, 0.4, 3.0, 0.6);
    ASSERT_TRUE(rows.has_value());
    Hgf f = make(0.05, 1.3, 0.02, 0.4, 3.0, 0.6);
    for (std::size_t i = 0; i < ys.size(); ++i) {
        auto row = hgf::step(f, ys[i], i);
        ASSERT_TRUE(row.has_value());
        using Bits = std::array<std::uint64_t, 7>;
        EXPECT_EQ(std::bit_cast<Bits>(*row), std::bit_cast<Bits>((*rows)[i]));
    }
}

}  // namespace
