// A quasi-Newton minimiser for the few transformed parameters of one fit: BFGS on a dense
// inverse-Hessian approximation, with a line search that meets the strong Wolfe conditions
// (Nocedal & Wright, Numerical Optimization, 2nd ed., Algorithms 3.5, 3.6 and 6.1).
//
// The space is unbounded; an objective marks where it is undefined by returning +inf or NaN (or a
// non-finite gradient), and the line search shrinks its step away from such points. Everything
// lives in fixed-size arrays, so a run allocates nothing, and every operation happens in the order
// written, so the same inputs give the same bits.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <limits>
#include <span>
#include <string_view>
#include <type_traits>

namespace velmora::optimize {

inline constexpr std::size_t max_dimension = 8;
using Vector = std::array<double, max_dimension>;
// An n-by-n matrix, row-major in the first n * n entries.
using Matrix = std::array<double, max_dimension * max_dimension>;

// Writes the gradient at x into its second argument and returns the value; a non-finite value or
// gradient marks x as infeasible.
template <class F>
concept Objective = std::invocable<F&, std::span<const double>, std::span<double>> &&
                    std::convertible_to<std::invoke_result_t<F&, std::span<const double>, std::span<double>>, double>;

// Only converged_gradient is convergence: a step that barely lowers the objective proves no
// stationary point (a kink, a variance at its floor, an objective near overflow all stall), so
// small reductions end a run only as no progress.
enum class Status {
    converged_gradient,  // largest gradient component within gradient_tolerance
    max_iterations,
    max_evaluations,
    line_search_failed,  // no progress: no lower point along the search direction, even after a restart
    stalled,  // no progress: three steps lowered the objective by no more than its rounding
    infeasible_start,
    interrupted,
    invalid_dimension,  // more than max_dimension parameters
};

constexpr std::string_view message(Status status) noexcept {
    switch (status) {
        case Status::converged_gradient: return "converged: gradient below tolerance";
        case Status::max_iterations: return "stopped: iteration limit reached";
        case Status::max_evaluations: return "stopped: evaluation limit reached";
        case Status::line_search_failed: return "stopped: no progress, the line search found no lower point";
        case Status::stalled: return "stopped: no progress, the objective no longer decreases";
        case Status::infeasible_start: return "the objective is not finite at the starting point";
        case Status::interrupted: return "interrupted";
        case Status::invalid_dimension: return "too many parameters for the optimiser";
    }
    return "unknown status";
}

struct MinimizeOptions {
    int max_iterations = 200;
    int max_evaluations = 2000;  // calls of the objective, the first included
    double gradient_tolerance = 1e-5;  // on the largest |gradient component|, as L-BFGS-B's pgtol
    // (f_old - f_new) / max(|f_old|, |f_new|, 1) at or below this, with the gradient still large, is
    // a stall: the approximation restarts along the steepest descent (L-BFGS-B's factr * eps).
    double relative_reduction_tolerance = 1e7 * std::numeric_limits<double>::epsilon();
    const std::atomic<bool>* stop = nullptr;  // checked once per iteration; set, it ends the run
    // Rescale the identity by y.s / y.y at the first update after a (re)start (N&W eq. 6.20). That
    // makes the run invariant to the objective's scale but shortens the steps along directions
    // flatter than the first one explored; in prior-scaled transformed parameters the identity is
    // already the right scale, and on the fitting benchmark's recovery sets the rescaled runs took
    // about 16 % more evaluations and stopped early more often.
    bool scale_initial_inverse_hessian = false;
};

struct MinimizeResult {
    Vector x{};  // the lowest point found: the start itself when no step was taken
    std::size_t n = 0;
    double f = std::numeric_limits<double>::infinity();
    Vector gradient{};
    int iterations = 0;
    int evaluations = 0;
    Status status = Status::infeasible_start;

    bool converged() const noexcept { return status == Status::converged_gradient; }
    std::string_view message() const noexcept { return optimize::message(status); }
    std::span<const double> point() const noexcept { return {x.data(), n}; }
};

namespace detail {

// Sufficient decrease and curvature constants for a quasi-Newton direction.
inline constexpr double c1 = 1e-4;
inline constexpr double c2 = 0.9;
inline constexpr int max_trials = 50;  // evaluations in one line search

// A point on the search line: x = start + alpha p, its value, gradient and slope g.p.
struct Point {
    double alpha = 0.0;
    double f = 0.0;
    double slope = 0.0;
    bool feasible = false;
    Vector x{};
    Vector g{};
};

inline double dot(const Vector& a, const Vector& b, std::size_t n) {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
    return s;
}

inline double max_abs(const Vector& a, std::size_t n) {
    double m = 0.0;
    for (std::size_t i = 0; i < n; ++i) m = std::max(m, std::abs(a[i]));
    return m;
}

inline void set_identity(Matrix& h, std::size_t n, double scale) {
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) h[i * n + j] = i == j ? scale : 0.0;
}

// Counts the calls and classifies what the objective returns.
template <class F>
struct Evaluator {
    F& f;
    std::size_t n;
    int limit;
    int count = 0;

    bool exhausted() const { return count >= limit; }

    // Fills p.f and p.g at p.x; false if the point is infeasible (p.f is then +inf).
    bool operator()(Point& p) {
        ++count;
        p.f = static_cast<double>(f(std::span<const double>(p.x.data(), n), std::span<double>(p.g.data(), n)));
        p.feasible = std::isfinite(p.f);
        for (std::size_t i = 0; p.feasible && i < n; ++i) p.feasible = std::isfinite(p.g[i]);
        if (!p.feasible) p.f = std::numeric_limits<double>::infinity();
        return p.feasible;
    }
};

enum class Search {
    wolfe,     // both strong Wolfe conditions hold at the accepted point
    decrease,  // only sufficient decrease: the trials or the evaluations ran out first
    failed,    // no trial met sufficient decrease
};

struct SearchResult {
    Search outcome;
    bool out_of_evaluations;
};

// A trial step inside the bracket [lo, hi] (either order): the minimiser of the cubic through both
// ends' values and slopes, else of the quadratic through lo's value and slope and hi's value, else
// the midpoint; kept a tenth of the width away from either end so the bracket shrinks. An
// infeasible hi has no value to interpolate, so the step bisects towards the feasible side.
inline double interpolate(const Point& lo, const Point& hi) {
    const double width = hi.alpha - lo.alpha;
    const double a_bound = lo.alpha + 0.1 * width, b_bound = hi.alpha - 0.1 * width;
    const double lower = std::min(a_bound, b_bound), upper = std::max(a_bound, b_bound);
    auto inside = [&](double a) { return a >= lower && a <= upper; };  // false for NaN
    if (hi.feasible) {
        const double d1 = lo.slope + hi.slope - 3.0 * (lo.f - hi.f) / (lo.alpha - hi.alpha);
        const double radicand = d1 * d1 - lo.slope * hi.slope;
        if (radicand >= 0.0) {
            const double d2 = std::copysign(std::sqrt(radicand), width);
            const double a = hi.alpha - width * (hi.slope + d2 - d1) / (hi.slope - lo.slope + 2.0 * d2);
            if (inside(a)) return a;
        }
        const double curvature = 2.0 * (hi.f - lo.f - lo.slope * width);
        if (curvature > 0.0) {
            const double a = lo.alpha - lo.slope * width * width / curvature;
            if (inside(a)) return a;
        }
    }
    return lo.alpha + 0.5 * width;
}

template <class F>
bool evaluate_at(Evaluator<F>& eval, const Point& start, const Vector& p, double alpha, Point& trial) {
    trial.alpha = alpha;
    for (std::size_t i = 0; i < eval.n; ++i) trial.x[i] = start.x[i] + alpha * p[i];
    if (eval(trial)) trial.slope = dot(trial.g, p, eval.n);
    return trial.feasible;
}

// Algorithm 3.6: lo is feasible, meets sufficient decrease and is the lowest point so far; the
// bracket holds a point meeting both conditions. On return `out` holds the accepted point.
template <class F>
SearchResult zoom(Evaluator<F>& eval, const Point& start, const Vector& p, Point lo, Point hi, int trials,
                  Point& out) {
    Point trial;
    while (trials < max_trials && !eval.exhausted()) {
        const double alpha = interpolate(lo, hi);
        if (alpha == lo.alpha || alpha == hi.alpha) break;  // the bracket has no room left
        bool moved = false;
        for (std::size_t i = 0; i < eval.n; ++i) moved = moved || start.x[i] + alpha * p[i] != lo.x[i];
        if (!moved) break;  // steps this short no longer change x
        ++trials;
        if (!evaluate_at(eval, start, p, alpha, trial) || trial.f > start.f + c1 * alpha * start.slope ||
            trial.f >= lo.f) {
            hi = trial;
            continue;
        }
        if (std::abs(trial.slope) <= -c2 * start.slope) {
            out = trial;
            return {Search::wolfe, false};
        }
        if (trial.slope * (hi.alpha - lo.alpha) >= 0.0) hi = lo;
        lo = trial;
    }
    out = lo;
    return {lo.alpha > 0.0 ? Search::decrease : Search::failed, eval.exhausted()};
}

// Algorithm 3.5 from `start` along the descent direction p, first trying alpha.
template <class F>
SearchResult line_search(Evaluator<F>& eval, const Point& start, const Vector& p, double alpha, Point& out) {
    Point previous = start;
    previous.alpha = 0.0;  // start may carry the step that reached it
    Point trial;
    for (int trials = 1; trials <= max_trials; ++trials) {
        if (eval.exhausted()) {
            out = previous;
            return {previous.alpha > 0.0 ? Search::decrease : Search::failed, true};
        }
        if (!evaluate_at(eval, start, p, alpha, trial) || trial.f > start.f + c1 * alpha * start.slope ||
            (trials > 1 && trial.f >= previous.f))
            return zoom(eval, start, p, previous, trial, trials, out);
        if (std::abs(trial.slope) <= -c2 * start.slope) {
            out = trial;
            return {Search::wolfe, false};
        }
        if (trial.slope >= 0.0) return zoom(eval, start, p, trial, previous, trials, out);
        previous = trial;
        alpha = 2.0 * alpha;
    }
    out = previous;  // still descending after max_trials doublings
    return {Search::decrease, eval.exhausted()};
}

}  // namespace detail

// Minimises f from x0 (at most max_dimension entries). Never throws unless f does.
template <Objective F>
MinimizeResult minimize(F&& f, std::span<const double> x0, const MinimizeOptions& options = {}) {
    using detail::Point;
    MinimizeResult result;
    const std::size_t n = x0.size();
    if (n > max_dimension) {
        result.status = Status::invalid_dimension;
        return result;
    }
    result.n = n;
    detail::Evaluator<std::remove_reference_t<F>> eval{f, n, options.max_evaluations};

    Point current;
    std::copy(x0.begin(), x0.end(), current.x.begin());
    const bool feasible = eval(current);
    result.x = current.x;
    result.evaluations = eval.count;
    if (!feasible) {
        result.status = Status::infeasible_start;
        return result;
    }

    // Inverse-Hessian approximation. While it is the identity ("fresh": at the start and after a
    // restart) the step is capped at unit length, so that a steep start does not leap into overflow.
    Matrix h{};
    detail::set_identity(h, n, 1.0);
    bool fresh = true;
    bool restarted = false;  // after a stall with a large gradient
    constexpr double stalled_gradient = 1e-2;
    // Stalls after the restart, in all: quasi-Newton steps near a smooth optimum rarely stall more
    // than once before the gradient test holds, while on a kink they stall again and again.
    constexpr int max_stalls = 3;
    int stalls = 0;
    Status status = Status::converged_gradient;
    int iterations = 0;
    Point next;
    Vector p{}, s{}, y{}, hy{};
    while (detail::max_abs(current.g, n) > options.gradient_tolerance) {
        if (options.stop != nullptr && options.stop->load(std::memory_order_relaxed)) {
            status = Status::interrupted;
            break;
        }
        if (iterations >= options.max_iterations) {
            status = Status::max_iterations;
            break;
        }
        for (std::size_t i = 0; i < n; ++i) {
            double v = 0.0;
            for (std::size_t j = 0; j < n; ++j) v += h[i * n + j] * current.g[j];
            p[i] = -v;
        }
        current.slope = detail::dot(current.g, p, n);
        if (!(current.slope < 0.0)) {  // rounding has spoilt the approximation: steepest descent
            detail::set_identity(h, n, 1.0);
            fresh = true;
            for (std::size_t i = 0; i < n; ++i) p[i] = -current.g[i];
            current.slope = detail::dot(current.g, p, n);
        }
        const double alpha = fresh ? std::min(1.0, 1.0 / std::sqrt(detail::dot(p, p, n))) : 1.0;
        const detail::SearchResult search = detail::line_search(eval, current, p, alpha, next);
        if (search.outcome == detail::Search::failed) {
            if (!fresh && !search.out_of_evaluations) {  // retry once along the steepest descent
                detail::set_identity(h, n, 1.0);
                fresh = true;
                continue;
            }
            status = search.out_of_evaluations ? Status::max_evaluations : Status::line_search_failed;
            break;
        }
        ++iterations;
        for (std::size_t i = 0; i < n; ++i) {
            s[i] = next.x[i] - current.x[i];
            y[i] = next.g[i] - current.g[i];
        }
        const double previous_f = current.f;
        current = next;
        if (detail::max_abs(current.g, n) <= options.gradient_tolerance) break;
        const double scale = std::max({std::abs(previous_f), std::abs(current.f), 1.0});
        if (previous_f - current.f <= options.relative_reduction_tolerance * scale) {
            // A stalled step with a gradient still far from zero (a kink, or an approximation gone
            // stale): start afresh along the steepest descent, once. Stalls that go on end the run,
            // but as what they are: no progress, not convergence.
            if (detail::max_abs(current.g, n) > stalled_gradient && !fresh && !restarted) {
                restarted = true;
                detail::set_identity(h, n, 1.0);
                fresh = true;
                continue;
            }
            if (++stalls >= max_stalls) {
                status = Status::stalled;
                break;
            }
        }
        if (search.out_of_evaluations) {
            status = Status::max_evaluations;
            break;
        }
        // A step accepted on sufficient decrease alone may have y.s <= 0; its update would make the
        // approximation indefinite, so it is skipped.
        const double ys = detail::dot(y, s, n), yy = detail::dot(y, y, n);
        if (!(ys > std::numeric_limits<double>::epsilon() * std::sqrt(yy * detail::dot(s, s, n)))) continue;
        if (fresh && options.scale_initial_inverse_hessian) detail::set_identity(h, n, ys / yy);
        fresh = false;
        // H += rho ((1 + rho y.Hy) s s' - Hy s' - s (Hy)'), filled symmetrically.
        for (std::size_t i = 0; i < n; ++i) {
            double v = 0.0;
            for (std::size_t j = 0; j < n; ++j) v += h[i * n + j] * y[j];
            hy[i] = v;
        }
        const double rho = 1.0 / ys;
        const double a = 1.0 + rho * detail::dot(y, hy, n);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = i; j < n; ++j) {
                const double v = h[i * n + j] + rho * (a * s[i] * s[j] - (hy[i] * s[j] + s[i] * hy[j]));
                h[i * n + j] = v;
                h[j * n + i] = v;
            }
    }
    result.x = current.x;
    result.f = current.f;
    result.gradient = current.g;
    result.iterations = iterations;
    result.evaluations = eval.count;
    result.status = status;
    return result;
}

}  // namespace velmora::optimize
