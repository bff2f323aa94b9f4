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

// Defaults of the Python entry point, so the tests read like calls of it.
hgf::Hgf make(double obs_noise, double flex, double base = 0.01, double mu1 = 0.0, double var1 = 1.0,
              double mu2 = 0.0) {
    return hgf::build(obs_noise, flex, base, mu1, var1, mu2);
}

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

// --- the run ---------------------------------------------------------------------------------

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
