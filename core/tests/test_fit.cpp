// One participant's fit on likelihoods whose posterior is Gaussian in the transformed space, where
// the Laplace evidence and the standard errors are exact.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "engine/fit.hpp"

namespace velmora::engine {
namespace {

struct Case {
    Transform transform;
    double a, s2;  // the likelihood: N(a, s2) over the transformed value
};

class GaussianPosterior : public testing::TestWithParam<Case> {};

TEST_P(GaussianPosterior, EstimateErrorsAndEvidenceAreExact) {
    const Case c = GetParam();
    const double m = 0.5, v = 2.0;  // the prior, transformed space
    const FreeParameter free[] = {{1, c.transform, m, v}};
    const double params[] = {7.0, std::numeric_limits<double>::quiet_NaN()};
    FitSettings s;
    s.params = params;
    s.free = free;
    auto nll = [&](std::span<const double> natural, std::span<double> grad) {
        EXPECT_EQ(natural[0], 7.0);  // held values reach the likelihood
        const double y = natural[1];
        const double theta = c.transform == Transform::log ? std::log(y) : y;
        const double slope = c.transform == Transform::log ? 1.0 / y : 1.0;  // d theta / d y
        grad[0] = (theta - c.a) / c.s2 * slope;
        return 0.5 * (theta - c.a) * (theta - c.a) / c.s2;
    };
    const FitOutcome out = fit_participant(nll, s, 3);
    const double precision = 1.0 / c.s2 + 1.0 / v, mean = (c.a / c.s2 + m / v) / precision;
    ASSERT_EQ(out.status, FitStatus::converged);
    EXPECT_NEAR(out.theta[0], mean, 1e-6);
    const double natural = c.transform == Transform::log ? std::exp(out.theta[0]) : out.theta[0];
    EXPECT_EQ(out.natural[1], natural);
    const double slope = c.transform == Transform::log ? natural : 1.0;
    EXPECT_NEAR(out.se[0], slope / std::sqrt(precision), 1e-6 * slope);
    // log of the integral of exp(-nll) against the prior (nll without its normaliser)
    EXPECT_NEAR(out.lme, 0.5 * std::log(c.s2 / (c.s2 + v)) - 0.5 * (c.a - m) * (c.a - m) / (c.s2 + v), 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Transforms, GaussianPosterior,
                         testing::Values(Case{Transform::identity, 3.0, 0.25}, Case{Transform::log, -1.0, 0.04}));

TEST(Fit, NoFeasiblePointHasNoEstimateAndKeepsHeldValues) {
    const FreeParameter free[] = {{0, Transform::identity, 0.0, 1.0}};
    const double params[] = {std::numeric_limits<double>::quiet_NaN(), 2.0};
    FitSettings s;
    s.params = params;
    s.free = free;
    auto nll = [](std::span<const double>, std::span<double>) { return std::numeric_limits<double>::infinity(); };
    const FitOutcome out = fit_participant(nll, s, 0);
    EXPECT_EQ(out.status, FitStatus::infeasible);
    EXPECT_TRUE(std::isnan(out.natural[0]) && std::isnan(out.se[0]) && std::isnan(out.lme) && std::isnan(out.nll));
    EXPECT_EQ(out.natural[1], 2.0);
}

TEST(Fit, StartsComeFromTheSeedAlone) {
    // Two minima; from the prior mean the descent finds the worse one, the drawn starts the better.
    const FreeParameter free[] = {{0, Transform::identity, 1.0, 25.0}};
    const double params[] = {0.0};
    FitSettings s;
    s.params = params;
    s.free = free;
    s.n_starts = 6;
    auto nll = [](std::span<const double> x, std::span<double> grad) {
        const double d = x[0] * x[0] - 4.0;
        grad[0] = 4.0 * x[0] * d + 0.1;
        return d * d + 0.1 * x[0];
    };
    const FitOutcome a = fit_participant(nll, s, 11), b = fit_participant(nll, s, 11);
    EXPECT_EQ(a.theta[0], b.theta[0]);
    EXPECT_EQ(a.lme, b.lme);
    EXPECT_NEAR(a.theta[0], -2.0, 0.05);  // the lower of the two minima
}

// A Gaussian posterior again, with the likelihood undefined beyond a wall `wall` above the
// optimum: close enough and the flatness check's points fall beyond it, so the steps of the
// curvature come from a pilot of their own. Either way the curvature is the exact one.
class PilotOfTheSteps : public testing::TestWithParam<double> {};

TEST_P(PilotOfTheSteps, GivesTheExactStandardError) {
    const double a = 1.0, s2 = 0.04, m = 0.0, v = 4.0;
    const double precision = 1.0 / s2 + 1.0 / v, mean = (a / s2 + m / v) / precision;
    const double wall = mean + GetParam();
    const FreeParameter free[] = {{0, Transform::identity, m, v}};
    const double params[] = {0.0};
    FitSettings s;
    s.params = params;
    s.free = free;
    s.n_starts = 1;
    int calls = 0;
    auto nll = [&](std::span<const double> x, std::span<double> grad) {
        ++calls;
        if (x[0] > wall) return std::numeric_limits<double>::infinity();
        grad[0] = (x[0] - a) / s2;
        return 0.5 * (x[0] - a) * (x[0] - a) / s2;
    };
    const FitOutcome out = fit_participant(nll, s, 5);
    ASSERT_EQ(out.status, FitStatus::converged);
    EXPECT_NEAR(out.theta[0], mean, 1e-6);
    EXPECT_NEAR(out.se[0], 1.0 / std::sqrt(precision), 1e-7);
    EXPECT_EQ(out.evaluations, calls);
}

INSTANTIATE_TEST_SUITE_P(Fit, PilotOfTheSteps, testing::Values(std::numeric_limits<double>::infinity(), 0.003));

// Two minima in two parameters, so that the scan matters. A likelihood that can also give its
// value alone (a call without the gradient) is scanned that way; the fit is the same to the bit.
double two_wells(std::span<const double> x, std::span<double> grad) {
    const double d = x[0] * x[0] - 4.0, e = x[1] - 0.5 * x[0];
    if (!grad.empty()) {
        grad[0] = 4.0 * x[0] * d + 0.1 - e;
        grad[1] = 2.0 * e;
    }
    return d * d + 0.1 * x[0] + e * e;
}

struct ValueToo {
    int* value_calls;
    double operator()(std::span<const double> x, std::span<double> grad) const { return two_wells(x, grad); }
    double operator()(std::span<const double> x) const {
        ++*value_calls;
        return two_wells(x, {});
    }
};

class ValueOnly : public testing::TestWithParam<bool> {};

TEST_P(ValueOnly, ScanGivesTheSameFit) {
    const FreeParameter free[] = {{0, Transform::identity, 1.0, 9.0}, {1, Transform::identity, 0.0, 4.0}};
    const double precision[] = {0.25, 0.1, 0.1, 0.5};  // a correlated prior, or the parameters' own
    const double params[] = {0.0, 0.0};
    FitSettings s;
    s.params = params;
    s.free = free;
    if (GetParam()) {
        s.prior_precision = precision;
        s.prior_log_det_precision = std::log(0.25 * 0.5 - 0.1 * 0.1);
    }
    int value_calls = 0;
    ValueToo both{&value_calls};
    Posterior<ValueToo> posterior(both, s);
    for (const double x0 : {-3.0, -0.7, 0.0, 1.3, 2.9})
        for (const double x1 : {-2.0, 0.25, 1.5}) {
            const double theta[] = {x0, x1};
            double grad[2];
            EXPECT_EQ(posterior.value(theta), posterior(theta, grad)) << x0 << ", " << x1;
        }
    auto gradient_only = [](std::span<const double> x, std::span<double> grad) { return two_wells(x, grad); };
    for (const std::uint64_t seed : {0u, 1u, 2u, 3u, 4u}) {
        int value_calls = 0;
        ValueToo both{&value_calls};
        const FitOutcome a = fit_participant(gradient_only, s, seed), b = fit_participant(both, s, seed);
        // the scan, the lines from the estimate to the scan's lowest, the estimate's likelihood
        EXPECT_GE(value_calls, static_cast<int>(s.scan_points) + 1);
        EXPECT_EQ(a.evaluations, b.evaluations);
        EXPECT_EQ(a.status, b.status);
        EXPECT_EQ(a.neg_log_joint, b.neg_log_joint);
        EXPECT_EQ(a.nll, b.nll);
        EXPECT_EQ(a.lme, b.lme);
        for (std::size_t j = 0; j < 2; ++j) {
            EXPECT_EQ(a.theta[j], b.theta[j]);
            EXPECT_EQ(a.se[j], b.se[j]);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Fit, ValueOnly, testing::Bool(), [](const auto& info) {
    return info.param ? std::string("correlated_prior") : std::string("own_priors");
});

// The scan's starts that the objective shows to lie in the estimate's basin are left out; one
// behind a barrier is not. Two wells, the lower at -2; the prior mean descends to the higher.
TEST(Fit, ScanSkipsOnlyStartsInTheEstimatesBasin) {
    const FreeParameter free[] = {{0, Transform::identity, 1.0, 25.0}};
    const double params[] = {0.0};
    FitSettings s;
    s.params = params;
    s.free = free;
    s.n_starts = 2;
    auto nll = [](std::span<const double> x, std::span<double> grad) {
        const double d = x[0] * x[0] - 4.0;
        grad[0] = 4.0 * x[0] * d + 0.1;
        return d * d + 0.1 * x[0];
    };
    FitSettings every = s, starts_only = s;
    every.segment_points = 0;
    starts_only.scan_points = 0;
    int found_by_scan = 0, skipped = 0;
    for (std::uint64_t seed = 0; seed < 40; ++seed) {
        const FitOutcome a = fit_participant(nll, s, seed), b = fit_participant(nll, every, seed),
                         c = fit_participant(nll, starts_only, seed);
        ASSERT_EQ(a.status, FitStatus::converged);
        EXPECT_NEAR(a.theta[0], b.theta[0], 1e-5) << seed;  // the same optimum as with every scan start run
        EXPECT_NEAR(a.neg_log_joint, b.neg_log_joint, 1e-9) << seed;
        // A start behind a barrier costs at most the line's values more.
        EXPECT_LE(a.evaluations, b.evaluations + static_cast<int>(s.scan_starts * s.segment_points));
        found_by_scan += a.theta[0] < 0.0 && c.theta[0] > 0.0;
        skipped += a.iterations < b.iterations;  // a run left out
    }
    EXPECT_GT(found_by_scan, 0);  // the barrier was seen where it mattered
    EXPECT_GT(skipped, 0);
}

// A cusp at the optimum is found whatever the prior's spread, so whether the flatness check's step
// (a 200th of it) lies beyond the curvature's or within it; a smooth optimum's curvature is the
// exact one either way.
class CuspUnderPrior : public testing::TestWithParam<double> {};

TEST_P(CuspUnderPrior, IsFoundAndASmoothOptimumIsNot) {
    const FreeParameter free[] = {{0, Transform::identity, 0.0, GetParam()}};
    const double params[] = {0.0};
    FitSettings s;
    s.params = params;
    s.free = free;
    s.n_starts = 1;
    for (const double power : {0.0, 0.75}) {  // x^2 + power |x|^1.5
        auto nll = [&](std::span<const double> x, std::span<double> g) {
            const double a = std::abs(x[0]);
            g[0] = 2.0 * x[0] + power * std::copysign(std::sqrt(a), x[0]);
            return x[0] * x[0] + power * (2.0 / 3.0) * a * std::sqrt(a);
        };
        const FitOutcome out = fit_participant(nll, s, 1);
        if (power > 0.0) {
            EXPECT_EQ(out.status, FitStatus::cusp) << GetParam();
            EXPECT_TRUE(std::isnan(out.se[0]));
        } else {
            EXPECT_EQ(out.status, FitStatus::converged) << GetParam();
            EXPECT_NEAR(out.se[0], 1.0 / std::sqrt(2.0 + 1.0 / GetParam()), 1e-7);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Fit, CuspUnderPrior, testing::Values(1e-4, 1e-2, 1.0, 1e6));

}  // namespace
// How a one-parameter fit ends, with the prior N(0, 1e6) (nearly flat) and the start at its mean.
struct Ending {
    const char* name;
    double (*nll)(std::span<const double>, std::span<double>);
    FitStatus status;
};

class Ends : public testing::TestWithParam<Ending> {};

TEST_P(Ends, WithItsReason) {
    const Ending e = GetParam();
    const FreeParameter free[] = {{0, Transform::identity, 0.0, 1e6}};
    const double params[] = {0.0};
    FitSettings s;
    s.params = params;
    s.free = free;
    s.n_starts = 1;
    auto nll = [&](std::span<const double> x, std::span<double> g) { return e.nll(x, g); };
    const FitOutcome out = fit_participant(nll, s, 1);
    EXPECT_EQ(out.status, e.status) << static_cast<int>(out.status);
    // No standard error where the curvature is no number; elsewhere the curvature at the point reported.
    const bool curvature = e.status != FitStatus::cusp && e.status != FitStatus::not_positive_definite;
    EXPECT_EQ(std::isfinite(out.se[0]), curvature);
    EXPECT_EQ(std::isfinite(out.lme), curvature);
}

INSTANTIATE_TEST_SUITE_P(
    Fit, Ends,
    testing::Values(
        // A gradient off by +-3e-5 (a sum's rounding) never passes the gradient test; where the
        // objective's own rounding (at 1e5) hides what is left, the curvature shows a Newton step
        // gains nothing: an optimum. A gradient off by 0.3 stalls where a Newton step would still
        // gain 5e-6 nats: no progress.
        Ending{"rounding_limited", +[](std::span<const double> x, std::span<double> g) {
                   const double d = x[0] - 1.0;
                   g[0] = 1e4 * d + std::copysign(3e-5, d);
                   return 1e5 + 5e3 * d * d;
               }, FitStatus::converged},
        Ending{"stalled", +[](std::span<const double> x, std::span<double> g) {
                   const double d = x[0] - 1.0;
                   g[0] = 1e4 * d + 0.3;
                   return 1e5 + 5e3 * d * d;
               }, FitStatus::no_progress},
        // Stationary at the start, but a maximum: -x^2.
        Ending{"maximum", +[](std::span<const double> x, std::span<double> g) {
                   g[0] = -2.0 * x[0];
                   return 1.0 - x[0] * x[0];
               }, FitStatus::not_positive_definite},
        // Stationary at 0 with curvature 2 + 0.75 / sqrt|x| there: a number that depends on the step.
        Ending{"cusp", +[](std::span<const double> x, std::span<double> g) {
                   const double a = std::abs(x[0]);
                   g[0] = 2.0 * x[0] + 0.75 * std::copysign(std::sqrt(a), x[0]);
                   return x[0] * x[0] + 0.5 * a * std::sqrt(a);
               }, FitStatus::cusp},
        // Near overflow no step resolves anything: never converged.
        Ending{"near_overflow", +[](std::span<const double> x, std::span<double> g) {
                   const double d = x[0] - 1.0 / 3.0;
                   g[0] = 2e300 * d;
                   return 1e300 * (1.0 + d * d);
               }, FitStatus::no_progress}),
    [](const auto& info) { return std::string(info.param.name); });

// The scan adds one start and changes none of the others: never a worse estimate, sometimes a
// better one (two minima, the lower one missed from the prior mean).
TEST(Fit, ScanOnlyImproves) {
    const FreeParameter free[] = {{0, Transform::identity, 1.0, 25.0}};
    const double params[] = {0.0};
    FitSettings s;
    s.params = params;
    s.free = free;
    s.n_starts = 2;
    auto nll = [](std::span<const double> x, std::span<double> grad) {
        const double d = x[0] * x[0] - 4.0;
        grad[0] = 4.0 * x[0] * d + 0.1;
        return d * d + 0.1 * x[0];
    };
    int improved = 0;
    for (std::uint64_t seed = 0; seed < 40; ++seed) {
        s.scan_points = 0;
        const FitOutcome plain = fit_participant(nll, s, seed);
        s.scan_points = 32;
        const FitOutcome scanned = fit_participant(nll, s, seed);
        EXPECT_LE(scanned.neg_log_joint, plain.neg_log_joint) << seed;
        EXPECT_EQ(scanned.status, FitStatus::converged) << seed;
        improved += scanned.neg_log_joint < plain.neg_log_joint - 0.1;
    }
    EXPECT_GT(improved, 0);
}

}  // namespace velmora::engine
