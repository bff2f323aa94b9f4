// The minimiser on functions whose minimum is known in closed form, its stopping rules, and the
// linear algebra of the Laplace approximation.
#include "optimize.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "laplace.hpp"

namespace {

namespace opt = velmora::optimize;
namespace lp = velmora::laplace;
using In = std::span<const double>;
using Out = std::span<double>;

double rosenbrock(In x, Out g) {
    const double a = 1.0 - x[0], b = x[1] - x[0] * x[0];
    g[0] = -2.0 * a - 400.0 * x[0] * b;
    g[1] = 200.0 * b;
    return a * a + 100.0 * b * b;
}

// 0.5 (x - c)' A (x - c), A = Q diag(10^(6k/7)) Q: condition number 1e6, and eigenvectors off the
// axes through the reflection Q = I - v v' / 102, v = (1, ..., 8).
const std::vector<double> c = {-1, 0, 1, -1, 0, 1, -1, 0};
double ill_conditioned(In x, Out g) {
    double f = 0.0;
    for (int i = 0; i < 8; ++i) {
        g[i] = 0.0;
        for (int j = 0; j < 8; ++j)
            for (int k = 0; k < 8; ++k)
                g[i] += ((i == k) - (i + 1) * (k + 1) / 102.0) * std::pow(10.0, 6.0 * k / 7.0) *
                        ((j == k) - (j + 1) * (k + 1) / 102.0) * (x[j] - c[j]);
        f += 0.5 * g[i] * (x[i] - c[i]);
    }
    return f;
}

// The data fix only x0 - x1; x0 + x1 is held by an isotropic Gaussian prior alone (mean m, variance 100).
constexpr double m0 = 0.5, m1 = -0.3;
double flat_with_prior(In x, Out g) {
    const double u = x[0] - x[1] - 1.0, d0 = x[0] - m0, d1 = x[1] - m1;
    g[0] = 20.0 * u + d0 / 100.0;
    g[1] = -20.0 * u + d1 / 100.0;
    return 10.0 * u * u + (d0 * d0 + d1 * d1) / 200.0;
}

// Undefined beyond x0 + x1 = 1, with a weak barrier that puts the minimum 5e-4 inside.
double walled(In x, Out g) {
    const double s = 1.0 - x[0] - x[1];
    if (!(s > 0.0)) return std::numeric_limits<double>::infinity();
    g[0] = 2.0 * (x[0] - 2.0) + 1e-3 / s;
    g[1] = 2.0 * (x[1] - 1.0) + 1e-3 / s;
    return (x[0] - 2.0) * (x[0] - 2.0) + (x[1] - 1.0) * (x[1] - 1.0) - 1e-3 * std::log(s);
}

// Nearly linear far from (2, -2), so a quasi-Newton step overshoots and the line search has to bracket.
double log_cosh(In x, Out g) {
    const double a = x[0] - 2.0, b = 3.0 * (x[1] + x[0]);
    g[0] = std::tanh(a) + 3.0 * std::tanh(b);
    g[1] = 3.0 * std::tanh(b);
    return std::log(std::cosh(a)) + std::log(std::cosh(b));
}

struct Problem {
    std::string name;
    double (*f)(In, Out);
    std::vector<double> start, minimum;
    int budget;  // evaluations: about 1.5 times what the method takes, so a line search gone blind fails
    double tight = 1e-9;  // a gradient tolerance that pins the minimum to 1e-6, where f resolves it
};

std::vector<Problem> problems() {
    const double u = (20.0 + (m0 - m1) / 200.0) / (20.0 + 1.0 / 200.0), w = m0 + m1;  // x0 - x1, x0 + x1
    const double s = std::sqrt(1.0 + 1e-3) - 1.0, t = 5e-4 / s;                       // walled's stationarity
    return {{"rosenbrock", rosenbrock, {-1.2, 1.0}, {1.0, 1.0}, 70},
            {"ill_conditioned", ill_conditioned, std::vector<double>(8, 3.0), c, 130},
            {"flat_with_prior", flat_with_prior, {4.0, 4.0}, {(u + w) / 2.0, (w - u) / 2.0}, 30},
            {"walled", walled, {0.0, 0.0}, {2.0 - t, 1.0 - t}, 55},
            {"log_cosh", log_cosh, {10.0, 10.0}, {2.0, -2.0}, 32, 1e-7}};  // cosh(1e-8) == 1
}

class Minimum : public ::testing::TestWithParam<Problem> {};
TEST_P(Minimum, FoundWithDefaultAndTightTolerancesReproducibly) {
    const Problem& p = GetParam();
    const opt::MinimizeOptions usual{.max_evaluations = p.budget};
    const opt::MinimizeOptions tight{.max_evaluations = p.budget, .gradient_tolerance = p.tight,
                                     .relative_reduction_tolerance = 0.0};
    const opt::MinimizeOptions rescaled{.max_evaluations = p.budget, .scale_initial_inverse_hessian = true};
    for (const auto& [options, tolerance] :
         {std::pair{usual, 1e-4}, std::pair{tight, 1e-6}, std::pair{rescaled, 1e-4}}) {
        const opt::MinimizeResult r = opt::minimize(p.f, p.start, options);
        ASSERT_TRUE(r.converged()) << r.message();
        for (std::size_t i = 0; i < r.n; ++i) EXPECT_NEAR(r.x[i], p.minimum[i], tolerance) << i;
        std::array<double, 8> g{};
        EXPECT_EQ(r.f, p.f(r.point(), g));  // the reported value is the reported point's
        using Bits = std::array<std::uint64_t, 8>;  // and a second run repeats the first bit for bit
        EXPECT_EQ(std::bit_cast<Bits>(opt::minimize(p.f, p.start, options).x), std::bit_cast<Bits>(r.x));
    }
}
INSTANTIATE_TEST_SUITE_P(Optimize, Minimum, ::testing::ValuesIn(problems()),
                         [](const auto& info) { return info.param.name; });

std::atomic<bool> stop_flag{false};
int calls = 0;

// Runs that end without converging, each leaving the lowest point found with its own value.
struct Stop {
    std::string name;
    double (*f)(In, Out);
    std::vector<double> start;
    opt::MinimizeOptions options;
    opt::Status status;
    int iterations, evaluations;  // -1: not pinned
};

class Stopped : public ::testing::TestWithParam<Stop> {};
TEST_P(Stopped, ReportsWhy) {
    const Stop& s = GetParam();
    calls = 0;
    stop_flag = false;
    const opt::MinimizeResult r = opt::minimize(s.f, s.start, s.options);
    EXPECT_EQ(r.status, s.status) << r.message();
    EXPECT_FALSE(r.converged());
    EXPECT_TRUE(s.iterations < 0 || r.iterations == s.iterations) << r.iterations;
    EXPECT_TRUE(s.evaluations < 0 || r.evaluations == s.evaluations) << r.evaluations;
    if (r.iterations > 0 && s.f == rosenbrock) {  // below the start's value, and the value is the point's
        std::array<double, 8> g{};
        EXPECT_LT(r.f, 24.2);
        EXPECT_EQ(r.f, rosenbrock(r.point(), g));
    }
}
const std::vector<double> from = {-1.2, 1.0};
INSTANTIATE_TEST_SUITE_P(
    Optimize, Stopped,
    ::testing::Values(
        Stop{"infeasible_start", walled, {1.0, 0.5}, {}, opt::Status::infeasible_start, 0, 1},
        Stop{"nan_gradient_start", +[](In, Out g) { return g[0] = std::nan(""), 1.0; }, {0.0}, {},
             opt::Status::infeasible_start, 0, 1},
        Stop{"max_iterations", rosenbrock, from, {.max_iterations = 3}, opt::Status::max_iterations, 3, -1},
        Stop{"max_evaluations", rosenbrock, from, {.max_evaluations = 10}, opt::Status::max_evaluations, -1, 10},
        Stop{"stop_flag",  // raised from inside the fifth evaluation, as a signal handler would
             +[](In x, Out g) { return stop_flag = stop_flag || ++calls == 5, rosenbrock(x, g); }, from,
             {.stop = &stop_flag}, opt::Status::interrupted, -1, -1},
        Stop{"too_many_parameters", rosenbrock, std::vector<double>(9), {}, opt::Status::invalid_dimension, 0, 0},
        // A kink: every step lowers |x| a little, the gradient stays at 1; no stationary point.
        Stop{"kink", +[](In x, Out g) { return g[0] = x[0] < 0.0 ? -1.0 : 1.0, std::abs(x[0]); }, {3.0}, {},
             opt::Status::line_search_failed, -1, -1},
        // Near overflow the relative reduction of every step is tiny, and the gradient huge.
        Stop{"near_overflow", +[](In x, Out g) { return g[0] = 2e300 * (x[0] - 1.0 / 3.0), 1e300 * (1.0 + (x[0] - 1.0 / 3.0) * (x[0] - 1.0 / 3.0)); },
             {1.5}, {}, opt::Status::stalled, -1, -1}),
    [](const auto& info) { return info.param.name; });

// A = L0 L0' with a known lower factor, so the factor, the inverse and log det are known too.
TEST(Laplace, CholeskyInverseAndLogDeterminant) {
    constexpr std::size_t n = 3;
    const lp::Matrix l0 = {2.0, 0.0, 0.0, -1.0, 0.5, 0.0, 3.0, 1.5, 4.0};
    lp::Matrix a{}, lower{}, inverse{};
    for (std::size_t i = 0; i < n * n; ++i)
        for (std::size_t k = 0; k < n; ++k) a[i] += l0[i / n * n + k] * l0[i % n * n + k];
    ASSERT_TRUE(lp::cholesky(a, n, lower));
    for (std::size_t i = 0; i < n * n; ++i) EXPECT_NEAR(lower[i], l0[i], 1e-14) << i;
    lp::inverse_from_cholesky(lower, n, inverse);
    for (std::size_t i = 0; i < n * n; ++i) {
        double v = 0.0;
        for (std::size_t k = 0; k < n; ++k) v += a[i / n * n + k] * inverse[k * n + i % n];
        EXPECT_NEAR(v, i / n == i % n ? 1.0 : 0.0, 1e-12) << i;
    }
    EXPECT_NEAR(lp::log_det_from_cholesky(lower, n), std::log(4.0 * 0.25 * 16.0), 1e-14);
    EXPECT_FALSE(lp::cholesky(lp::Matrix{1.0, 2.0, 2.0, 1.0}, 2, lower));  // eigenvalues 3 and -1
}

// f = x0^3 x1: the differences of g1 = x0^3 in x0 are off by step^2, those of g0 = 3 x0^2 x1 in x1
// are exact, so the symmetrised off-diagonal entry shows both the step and the averaging.
TEST(Laplace, HessianOfTheExactGradient) {
    const auto f = [](In x, Out g) {
        g[0] = 3.0 * x[0] * x[0] * x[1];
        g[1] = x[0] * x[0] * x[0];
        return x[0] * x[0] * x[0] * x[1];
    };
    lp::Matrix h{};
    ASSERT_TRUE(lp::hessian(f, std::vector{0.7, -0.4}, h));
    const double expected[] = {6.0 * 0.7 * -0.4, 3.0 * 0.49 + 0.5e-8, 3.0 * 0.49 + 0.5e-8, 0.0};
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(h[i], expected[i], 1e-10) << i;
    // A step of its own per parameter: only x0's enters the off-diagonal error.
    const std::array<double, 2> steps = {1e-3, 1e-6};
    ASSERT_TRUE(lp::hessian(f, std::vector{0.7, -0.4}, std::span<const double>(steps), h));
    const double per_parameter[] = {6.0 * 0.7 * -0.4, 3.0 * 0.49 + 0.5e-6, 3.0 * 0.49 + 0.5e-6, 0.0};
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(h[i], per_parameter[i], 1e-9) << i;
    // Within a step of the boundary a neighbour is infeasible: no curvature rather than a wrong one.
    EXPECT_FALSE(lp::hessian(walled, std::vector{0.5, 0.5 - 5e-5}, h));
}

}  // namespace
