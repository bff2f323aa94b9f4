// One participant's maximum a posteriori fit: Gaussian priors over the free parameters in an
// unbounded transformed space, quasi-Newton from several starts, then the curvature at the
// optimum for standard errors and the Laplace evidence. Generic over the likelihood: any callable
// giving the negative log-likelihood at natural values and its gradient with respect to the free
// ones. Plain C++: the binding and the batch runner hand in the memory.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numbers>
#include <span>
#include <type_traits>

#include "../laplace.hpp"
#include "../model.hpp"
#include "../normal.hpp"
#include "../optimize.hpp"
#include "../random.hpp"

namespace velmora::engine {

// A fit holds at most this many parameters in its natural vector, and frees at most max_fit_free.
inline constexpr std::size_t max_fit_params = 12;
inline constexpr std::size_t max_fit_free = optimize::max_dimension;

// How a free parameter maps its unbounded value to its natural one (model.hpp).
using velmora::Transform;

inline double natural_of(Transform t, double theta) {
    switch (t) {
        case Transform::log: return std::exp(theta);
        case Transform::logit: return 1.0 / (1.0 + std::exp(-theta));
        case Transform::identity: break;
    }
    return theta;
}

// d natural / d transformed, at natural value x.
inline double slope_of(Transform t, double x) {
    switch (t) {
        case Transform::log: return x;
        case Transform::logit: return x * (1.0 - x);
        case Transform::identity: break;
    }
    return 1.0;
}

struct FreeParameter {
    std::size_t index;  // into the natural vector
    Transform transform;
    double prior_mean;  // in the transformed space
    double prior_var;
};

struct FitSettings {
    std::span<const double> params;  // the natural vector; entries at free indices are overwritten
    std::span<const FreeParameter> free;
    // A prior with correlations: its precision matrix (m x m, row-major) and log det, replacing the
    // free parameters' own variances in the density; empty for independent priors. Random starts
    // still draw each parameter from its own mean and variance.
    std::span<const double> prior_precision;
    double prior_log_det_precision = 0.0;
    std::size_t n_starts = 4;
    // With more than one start: this many points drawn from the priors are evaluated and the
    // optimiser also runs from the lowest few, a cheap way into a basin the prior mean misses.
    std::size_t scan_points = 32;
    std::size_t scan_starts = 3;  // the optimiser runs from this many of the lowest (at most 8)
    // A scan point from which the objective rises all the way along the straight line to an
    // estimate that has passed the gradient test lies, as far as these many evenly spaced values
    // on that line can tell, in the same basin: no run from it. 0: a run from every one.
    std::size_t segment_points = 7;
    optimize::MinimizeOptions options{};
    // The curvature's central differences step a fixed fraction of each parameter's posterior
    // spread, from a pilot: the flatness check's differences, or where a point of those is
    // infeasible, differences at hessian_step (transformed space).
    double hessian_step = 1e-4;
    double hessian_relative_step = 1e-3;
    // A point that only stalls (no lower point found) is still an optimum when the Newton step from
    // the curvature there would lower the objective by at most this (nats), and the objective is
    // precise enough to tell: its rounding (about eps |f|) well below it.
    double newton_decrement_tolerance = 1e-8;
    // The first start, transformed (m values); empty: the prior means. A group fit's later passes
    // start each participant where its last estimate was.
    std::span<const double> first_start;
};

// Why a fit ended. Every code but converged and infeasible still leaves an estimate: the best
// end point, which is no verified optimum.
enum class FitStatus : std::uint8_t {
    converged = 0,         // the gradient test holds at the estimate and its curvature is positive definite
    iteration_limit = 1,
    infeasible = 2,        // no start reached a point where the model is defined: no estimate
    interrupted = 3,
    evaluation_limit = 4,
    no_progress = 5,       // no lower point found, with the gradient above tolerance
    not_positive_definite = 6,  // stationary, but the Hessian is not positive definite (or not finite nearby)
    cusp = 7,              // stationary, but the curvature depends on the difference step
};

inline FitStatus status_of(optimize::Status s) {
    switch (s) {
        case optimize::Status::converged_gradient: return FitStatus::converged;
        case optimize::Status::max_iterations: return FitStatus::iteration_limit;
        case optimize::Status::max_evaluations: return FitStatus::evaluation_limit;
        case optimize::Status::interrupted: return FitStatus::interrupted;
        case optimize::Status::infeasible_start:
        case optimize::Status::invalid_dimension: return FitStatus::infeasible;
        case optimize::Status::line_search_failed:
        case optimize::Status::stalled: break;
    }
    return FitStatus::no_progress;
}

struct FitOutcome {
    std::array<double, max_fit_params> natural{};  // estimates, held values included
    std::array<double, max_fit_free> theta{};      // the free ones, transformed
    std::array<double, max_fit_free> se{};         // natural units, NaN where not identified
    optimize::Matrix cov{};                          // posterior covariance of theta (Laplace), m x m; NaN without
    double nll = std::numeric_limits<double>::infinity();
    double neg_log_joint = std::numeric_limits<double>::infinity();
    double lme = -std::numeric_limits<double>::infinity();
    FitStatus status = FitStatus::infeasible;
    optimize::Status optimiser = optimize::Status::infeasible_start;  // how the best start ended
    int iterations = 0;   // summed over the starts
    int evaluations = 0;  // of the objective, Hessian included
};

// The negative log-joint over the transformed free parameters.
template <class Nll>
class Posterior {
public:
    Posterior(Nll& nll, const FitSettings& s) : nll_(nll), s_(s) {
        for (std::size_t i = 0; i < s.params.size(); ++i) natural_[i] = s.params[i];
    }

    // Natural values at theta, into natural_; false where one is not finite.
    bool set(std::span<const double> theta) {
        for (std::size_t j = 0; j < s_.free.size(); ++j) {
            const double x = natural_of(s_.free[j].transform, theta[j]);
            if (!std::isfinite(x)) return false;
            natural_[s_.free[j].index] = x;
        }
        return true;
    }

    // The likelihood alone, and its gradient in the transformed space; inf where the model fails.
    double likelihood(std::span<const double> theta, std::span<double> grad) {
        ++evaluations;
        const std::size_t m = s_.free.size();
        if (!set(theta)) return infeasible(grad);
        const double f = nll_(std::span<const double>(natural_.data(), s_.params.size()), grad.first(m));
        if (!std::isfinite(f)) return infeasible(grad);
        for (std::size_t j = 0; j < m; ++j) {
            if (!std::isfinite(grad[j])) return infeasible(grad);
            grad[j] = grad[j] * slope_of(s_.free[j].transform, natural_[s_.free[j].index]);
        }
        return f;
    }

    // The likelihood's value alone: through the likelihood's value-only path where it has one (a
    // call with the natural values only), which gives the same value without carrying derivatives.
    double likelihood_value(std::span<const double> theta) {
        if constexpr (std::is_invocable_r_v<double, Nll&, std::span<const double>>) {
            ++evaluations;
            if (!set(theta)) return std::numeric_limits<double>::infinity();
            const double f = nll_(std::span<const double>(natural_.data(), s_.params.size()));
            return std::isfinite(f) ? f : std::numeric_limits<double>::infinity();
        } else {
            std::array<double, max_fit_free> grad{};
            return likelihood(theta, std::span<double>(grad.data(), s_.free.size()));
        }
    }

    double operator()(std::span<const double> theta, std::span<double> grad) {
        const double f = likelihood(theta, grad);
        if (!std::isfinite(f)) return f;
        return f + prior(theta, grad.data());
    }

    // The negative log-joint's value alone, the same bits as operator()'s.
    double value(std::span<const double> theta) {
        const double f = likelihood_value(theta);
        if (!std::isfinite(f)) return f;
        return f + prior(theta, nullptr);
    }

    std::span<const double> natural() const { return {natural_.data(), s_.params.size()}; }

    int evaluations = 0;

private:
    // The negative log prior density at theta; its gradient is added into grad unless null.
    double prior(std::span<const double> theta, double* grad) const {
        const std::size_t m = s_.free.size();
        double prior = 0.0;
        if (!s_.prior_precision.empty()) {
            std::array<double, max_fit_free> d{};
            for (std::size_t j = 0; j < m; ++j) d[j] = theta[j] - s_.free[j].prior_mean;
            for (std::size_t j = 0; j < m; ++j) {
                double pd = 0.0;
                for (std::size_t i = 0; i < m; ++i) pd = pd + s_.prior_precision[j * m + i] * d[i];
                prior = prior + 0.5 * (d[j] * pd);
                if (grad != nullptr) grad[j] = grad[j] + pd;
            }
            return prior + 0.5 * (static_cast<double>(m) * std::log(2.0 * std::numbers::pi) -
                                  s_.prior_log_det_precision);
        }
        for (std::size_t j = 0; j < m; ++j) {
            const FreeParameter& p = s_.free[j];
            const double d = theta[j] - p.prior_mean;
            prior = prior + 0.5 * ((d * d) / p.prior_var + std::log(2.0 * std::numbers::pi * p.prior_var));
            if (grad != nullptr) grad[j] = grad[j] + d / p.prior_var;
        }
        return prior;
    }

    double infeasible(std::span<double> grad) const {
        for (std::size_t j = 0; j < s_.free.size(); ++j) grad[j] = 0.0;
        return std::numeric_limits<double>::infinity();
    }

    Nll& nll_;
    const FitSettings& s_;
    std::array<double, max_fit_params> natural_{};
};

// The flatness check's step for free parameter j: a 200th of its prior's spread.
inline double flat_step(const FitSettings& s, std::size_t j) { return 0.005 * std::sqrt(s.free[j].prior_var); }

// Which free parameters the likelihood is flat in on one side of theta, from within a 200th of
// the prior's spread on (value and gradient unchanged a step further): a kink such as a binding
// cap, where the optimiser stops a little short of or past it, or a parameter the likelihood
// ignores. Differences across such a kink are no curvature.
//
// Where both near points are feasible, their gradients also give the curvature along each
// parameter at that step, the prior's included: `diagonal` receives it (NaN where not), a pilot
// for the spread that sets the Hessian's steps, at no further evaluation.
template <class Nll>
std::array<bool, max_fit_free> flat_at(Posterior<Nll>& posterior, const FitSettings& s, std::span<const double> theta,
                                       double nll, optimize::Vector& diagonal) {
    const std::size_t m = s.free.size();
    std::array<bool, max_fit_free> flat{};
    diagonal.fill(std::numeric_limits<double>::quiet_NaN());
    // Rounding in a sum over trials stays far below this; a parameter the data inform moves the gradient more.
    const double tol = 1e-10 * (1.0 + std::abs(nll));
    optimize::Vector near{}, far{}, g_near{}, g_far{};
    for (std::size_t j = 0; j < m; ++j) {
        std::array<double, 2> slope{std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
        const double e_up = flat_step(s, j);
        for (const double sign : {1.0, -1.0}) {
            const double e = sign * e_up;
            std::copy(theta.begin(), theta.end(), near.begin());
            std::copy(theta.begin(), theta.end(), far.begin());
            near[j] = theta[j] + e;
            far[j] = theta[j] + 2.0 * e;
            const double f = posterior.likelihood({near.data(), m}, {g_near.data(), m});
            if (std::isfinite(f)) slope[sign > 0.0 ? 0 : 1] = g_near[j];
            if (!std::isfinite(f) || !(std::abs(g_near[j]) <= tol)) continue;
            // A zero slope there may be a stationary point: flat only if a step further changes nothing.
            const double f_far = posterior.likelihood({far.data(), m}, {g_far.data(), m});
            bool same = std::abs(f_far - f) <= tol * std::abs(e);
            for (std::size_t i = 0; i < m; ++i) same = same && std::abs(g_far[i] - g_near[i]) <= tol;
            if (same) {
                flat[j] = true;
                break;
            }
        }
        const double prior = s.prior_precision.empty() ? 1.0 / s.free[j].prior_var : s.prior_precision[j * m + j];
        diagonal[j] = (slope[0] - slope[1]) / (2.0 * e_up) + prior;
    }
    return flat;
}

enum class Curvature : std::uint8_t { usable, not_positive_definite, cusp };

// Standard errors (delta method) and the Laplace evidence from the curvature at theta. An
// unidentified (flat) parameter has on its flat side only its prior's curvature and none shared
// with the others; its standard error is NaN, the others' come from the curvature among
// themselves, and the evidence integrates it against its prior alone (which can overstate the
// exact evidence by at most minus the log prior probability of the flat side). Without usable
// curvature every standard error and the evidence are NaN.
//
// The differences step a fixed fraction of each parameter's posterior spread (from the pilot
// curvature that flat_at gives), so that the truncation error is the same small fraction of every
// curvature, tight or loose. Curvature that changes by more than a percent between that step and four times it is
// a cusp (a belief clipped at 0 or 1 under a power below one): no number to report. `decrement`
// receives g' H^-1 g / 2 for the gradient g, over the identified parameters: what a Newton step
// would still gain.
template <class Nll>
Curvature laplace_at(Posterior<Nll>& posterior, const FitSettings& s, FitOutcome& out, std::span<const double> g,
                     double& decrement) {
    const std::size_t m = s.free.size();
    const std::span<const double> theta(out.theta.data(), m);
    optimize::Matrix pilot{}, h{}, coarse{}, lower{};
    optimize::Matrix& cov = out.cov;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t j = 0; j < m; ++j) out.se[j] = nan;
    std::fill_n(cov.begin(), m * m, nan);
    out.lme = nan;
    decrement = nan;
    optimize::Vector diagonal{};
    const auto flat = flat_at(posterior, s, theta, out.nll, diagonal);
    bool piloted = true;
    for (std::size_t j = 0; j < m; ++j) piloted = piloted && (flat[j] || std::isfinite(diagonal[j]));
    if (!piloted) {  // a near point infeasible: a pilot of its own, at hessian_step
        if (!laplace::hessian(posterior, theta, pilot, s.hessian_step)) return Curvature::not_positive_definite;
        for (std::size_t j = 0; j < m; ++j) diagonal[j] = pilot[j * m + j];
    }
    optimize::Vector steps{}, wide{};
    for (std::size_t j = 0; j < m; ++j) {
        const double d = diagonal[j];
        // The spread 1 / sqrt(d), bounded: no step beyond the pilot's hundredfold, none so short
        // that rounding of theta dominates it.
        double step = s.hessian_step;
        if (!flat[j] && std::isfinite(d) && d > 0.0)
            step = std::clamp(s.hessian_relative_step / std::sqrt(d), 1e-7 * std::max(1.0, std::abs(theta[j])),
                              100.0 * s.hessian_step);
        steps[j] = step;
        wide[j] = 4.0 * step;
    }
    if (!laplace::hessian(posterior, theta, std::span<const double>(steps.data(), m), h))
        return Curvature::not_positive_definite;
    // Where each curvature at the step agrees within the percent with the pilot's, taken at a step
    // at least four times as long, the curvature at four times the step lies between the two for
    // anything smooth, and a cusp would have shown (its difference curvature grows without bound
    // as the step shrinks, along every parameter that moves the kink): no second pass.
    bool settled = piloted;
    for (std::size_t j = 0; j < m && settled; ++j)
        settled = flat[j] || (flat_step(s, j) >= 4.0 * steps[j] &&
                              std::abs(h[j * m + j] - diagonal[j]) <= 1e-2 * std::abs(h[j * m + j]));
    if (!settled) {
        if (!laplace::hessian(posterior, theta, std::span<const double>(wide.data(), m), coarse))
            return Curvature::not_positive_definite;
        bool cusp = false;
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t j = 0; j < m; ++j)
                if (!flat[i] && !flat[j])
                    cusp = cusp || !(std::abs(h[i * m + j] - coarse[i * m + j]) <=
                                     1e-2 * std::sqrt(std::abs(h[i * m + i] * h[j * m + j])));
        if (cusp) return Curvature::cusp;
    }
    for (std::size_t j = 0; j < m; ++j) {
        if (!flat[j]) continue;
        for (std::size_t i = 0; i < m; ++i) h[i * m + j] = h[j * m + i] = 0.0;
        h[j * m + j] = 1.0 / s.free[j].prior_var;
    }
    if (!laplace::cholesky(h, m, lower)) return Curvature::not_positive_definite;
    laplace::inverse_from_cholesky(lower, m, cov);
    for (std::size_t j = 0; j < m; ++j) {
        const double slope = slope_of(s.free[j].transform, out.natural[s.free[j].index]);
        if (!flat[j]) out.se[j] = std::abs(slope) * std::sqrt(cov[j * m + j]);
    }
    out.lme = laplace::log_evidence(out.neg_log_joint, m, laplace::log_det_from_cholesky(lower, m));
    // A flat parameter sits on its kink, where the gradient is one-sided; its stationarity is
    // the flat side's, which flat_at has checked.
    double q = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        if (flat[i]) continue;
        double v = 0.0;
        for (std::size_t j = 0; j < m; ++j)
            if (!flat[j]) v += cov[i * m + j] * g[j];
        q += g[i] * v;
    }
    decrement = 0.5 * q;
    return Curvature::usable;
}

// Whether the objective, by its values at s.segment_points evenly spaced points between an
// optimum x (value fx) and a point p (value fp), never falls (beyond rounding) on the way from x to
// p. Along any line from the minimum of a convex basin it only rises; a barrier or another valley
// between them breaks that where a point falls on it, and then the optimiser must look. (Asking
// for convexity along the line as well gave back more than half of the time saved on the fitting
// benchmark's cases, and caught none of the lower points a run would have found that this misses.)
template <class Nll>
bool rises_towards(Posterior<Nll>& posterior, const FitSettings& s, std::span<const double> x, double fx,
                   std::span<const double> p, double fp) {
    if (s.segment_points == 0) return false;
    const std::size_t m = x.size();
    const double slack = 64.0 * std::numeric_limits<double>::epsilon() * std::max(1.0, std::abs(fx));
    const double parts = static_cast<double>(s.segment_points + 1);
    std::array<double, max_fit_free> point{};
    double previous = fx;
    for (std::size_t k = 1; k <= s.segment_points; ++k) {
        const double t = static_cast<double>(k) / parts;
        for (std::size_t j = 0; j < m; ++j) point[j] = x[j] + t * (p[j] - x[j]);
        const double f = posterior.value(std::span<const double>(point.data(), m));
        if (!std::isfinite(f) || f < previous - slack) return false;
        previous = f;
    }
    return fp >= previous - slack;
}

// The fit: the first start at the prior means, the others drawn from the priors by the seeded
// stream, then (with more than one start) from the lowest few of scan_points further draws, those
// not already seen to lie in the basin of an estimate that passed the gradient test; so a
// participant's fit depends on its seed alone. The lowest end point is the estimate; the scan's
// replaces it only when lower by more than rounding, or as low and converged where it was not.
template <class Nll>
FitOutcome fit_participant(Nll& nll, const FitSettings& s, std::uint64_t seed,
                           const std::atomic<bool>* stop = nullptr) {
    FitOutcome out;
    Posterior<Nll> posterior(nll, s);
    const std::size_t m = s.free.size();
    if (m == 0) {  // everything held: the evidence is the likelihood itself
        out.neg_log_joint = posterior.value(std::span<const double>());
        out.nll = out.neg_log_joint;
        out.status = std::isfinite(out.nll) ? FitStatus::converged : FitStatus::infeasible;
        out.lme = std::isfinite(out.nll) ? -out.nll : -std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < s.params.size(); ++i) out.natural[i] = s.params[i];
        out.evaluations = posterior.evaluations;
        return out;
    }
    SeededRng rng = SeededRng::from_seed(seed);
    bool found = false;
    optimize::Vector best_gradient{};
    auto stopped = [&] { return stop && stop->load(std::memory_order_relaxed); };
    auto run_from = [&](const std::array<double, max_fit_free>& start, bool scanned) {
        optimize::MinimizeOptions options = s.options;
        options.stop = stop;
        const optimize::MinimizeResult end = optimize::minimize(posterior, std::span<const double>(start.data(), m), options);
        out.iterations += end.iterations;
        if (end.status == optimize::Status::interrupted || stopped()) return false;
        if (!std::isfinite(end.f)) return true;
        bool better = !found || end.f < out.neg_log_joint;
        if (found && scanned) {
            const double margin = 64.0 * std::numeric_limits<double>::epsilon() * std::max(1.0, std::abs(out.neg_log_joint));
            better = end.f < out.neg_log_joint - margin ||
                     (end.f <= out.neg_log_joint + margin && end.converged() &&
                      out.optimiser != optimize::Status::converged_gradient);
        }
        if (better) {
            found = true;
            out.neg_log_joint = end.f;
            out.optimiser = end.status;
            best_gradient = end.gradient;
            for (std::size_t j = 0; j < m; ++j) out.theta[j] = end.x[j];
        }
        return true;
    };
    auto interrupted = [&] {
        out.status = FitStatus::interrupted;
        return out;
    };
    for (std::size_t k = 0; k < s.n_starts; ++k) {
        std::array<double, max_fit_free> start{};
        for (std::size_t j = 0; j < m; ++j)
            start[j] = k == 0 ? (s.first_start.empty() ? s.free[j].prior_mean : s.first_start[j])
                              : Normal{s.free[j].prior_mean, std::sqrt(s.free[j].prior_var)}.sample(rng);
        if (!run_from(start, false)) return interrupted();
    }
    if (s.n_starts > 1 && s.scan_points > 0) {
        // The lowest scan_starts points, lowest first (ties: the earlier draw).
        constexpr std::size_t most = 8;
        const std::size_t keep = std::min(s.scan_starts, most);
        std::array<std::array<double, max_fit_free>, most> lowest{};
        std::array<double, most> lowest_f{};
        lowest_f.fill(std::numeric_limits<double>::infinity());
        std::array<double, max_fit_free> point{};
        for (std::size_t q = 0; q < s.scan_points; ++q) {
            if (stopped()) return interrupted();
            for (std::size_t j = 0; j < m; ++j)
                point[j] = Normal{s.free[j].prior_mean, std::sqrt(s.free[j].prior_var)}.sample(rng);
            const double f = posterior.value(std::span<const double>(point.data(), m));  // no gradient needed
            std::size_t r = keep;
            while (r > 0 && f < lowest_f[r - 1]) --r;  // false for NaN
            if (r == keep) continue;
            for (std::size_t t = keep - 1; t > r; --t) {
                lowest_f[t] = lowest_f[t - 1];
                lowest[t] = lowest[t - 1];
            }
            lowest_f[r] = f;
            lowest[r] = point;
        }
        for (std::size_t r = 0; r < keep && std::isfinite(lowest_f[r]); ++r) {
            if (out.optimiser == optimize::Status::converged_gradient &&
                rises_towards(posterior, s, std::span<const double>(out.theta.data(), m), out.neg_log_joint,
                              std::span<const double>(lowest[r].data(), m), lowest_f[r]))
                continue;
            if (stopped() || !run_from(lowest[r], true)) return interrupted();
        }
    }
    if (!found) {  // no estimate: the free parameters and every statistic are NaN, held values stay
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (std::size_t i = 0; i < s.params.size(); ++i) out.natural[i] = s.params[i];
        for (std::size_t j = 0; j < m; ++j) out.natural[s.free[j].index] = nan;
        out.se.fill(nan);
        out.nll = out.neg_log_joint = out.lme = nan;
        out.evaluations = posterior.evaluations;
        return out;
    }
    out.nll = posterior.likelihood_value(std::span<const double>(out.theta.data(), m));
    for (std::size_t i = 0; i < s.params.size(); ++i) out.natural[i] = posterior.natural()[i];
    double decrement = 0.0;
    const Curvature curvature =
        laplace_at(posterior, s, out, std::span<const double>(best_gradient.data(), m), decrement);
    out.status = status_of(out.optimiser);
    // A stall is still an optimum where the curvature shows that no step could gain more than the
    // tolerance, and the objective's rounding is small enough to tell (near 1e300 nothing is).
    const bool precise = 64.0 * std::numeric_limits<double>::epsilon() * std::max(1.0, std::abs(out.neg_log_joint)) <=
                         s.newton_decrement_tolerance;
    if (out.status == FitStatus::no_progress && curvature == Curvature::usable && precise &&
        decrement <= s.newton_decrement_tolerance)
        out.status = FitStatus::converged;
    if (curvature == Curvature::cusp && (out.status == FitStatus::converged || out.status == FitStatus::no_progress))
        out.status = FitStatus::cusp;
    else if (curvature == Curvature::not_positive_definite && out.status == FitStatus::converged)
        out.status = FitStatus::not_positive_definite;
    out.evaluations = posterior.evaluations;
    return out;
}

}  // namespace velmora::engine
