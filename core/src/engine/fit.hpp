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

#include "../laplace.hpp"
#include "../normal.hpp"
#include "../optimize.hpp"
#include "../random.hpp"

namespace velmora::engine {

// A fit holds at most this many parameters in its natural vector, and frees at most max_fit_free.
inline constexpr std::size_t max_fit_params = 12;
inline constexpr std::size_t max_fit_free = optimize::max_dimension;

// How a free parameter maps its unbounded value to its natural one; the codes are the binding's.
enum class Transform : std::uint8_t { identity = 0, log = 1, logit = 2 };

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
    std::span<const double> held;  // the natural vector; entries at free indices are overwritten
    std::span<const FreeParameter> free;
    // A prior with correlations: its precision matrix (m x m, row-major) and log det, replacing the
    // free parameters' own variances in the density; empty for independent priors. Random starts
    // still draw each parameter from its own mean and variance.
    std::span<const double> prior_precision;
    double prior_log_det_precision = 0.0;
    std::size_t n_starts = 4;
    optimize::MinimizeOptions options{};
    double hessian_step = 1e-4;
    // The first start, transformed (m values); empty: the prior means. A group fit's later passes
    // start each participant where its last estimate was.
    std::span<const double> first_start;
};

enum class FitStatus : std::uint8_t {
    converged = 0,
    not_converged = 1,  // the best end point is an estimate, but the optimiser did not settle
    infeasible = 2,     // no start reached a point where the model is defined: no estimate
    interrupted = 3,
};

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
        for (std::size_t i = 0; i < s.held.size(); ++i) natural_[i] = s.held[i];
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
        const double f = nll_(std::span<const double>(natural_.data(), s_.held.size()), grad.first(m));
        if (!std::isfinite(f)) return infeasible(grad);
        for (std::size_t j = 0; j < m; ++j) {
            if (!std::isfinite(grad[j])) return infeasible(grad);
            grad[j] = grad[j] * slope_of(s_.free[j].transform, natural_[s_.free[j].index]);
        }
        return f;
    }

    double operator()(std::span<const double> theta, std::span<double> grad) {
        const double f = likelihood(theta, grad);
        if (!std::isfinite(f)) return f;
        const std::size_t m = s_.free.size();
        double prior = 0.0;
        if (!s_.prior_precision.empty()) {
            std::array<double, max_fit_free> d{};
            for (std::size_t j = 0; j < m; ++j) d[j] = theta[j] - s_.free[j].prior_mean;
            for (std::size_t j = 0; j < m; ++j) {
                double pd = 0.0;
                for (std::size_t i = 0; i < m; ++i) pd = pd + s_.prior_precision[j * m + i] * d[i];
                prior = prior + 0.5 * (d[j] * pd);
                grad[j] = grad[j] + pd;
            }
            return f + (prior + 0.5 * (static_cast<double>(m) * std::log(2.0 * std::numbers::pi) -
                                       s_.prior_log_det_precision));
        }
        for (std::size_t j = 0; j < m; ++j) {
            const FreeParameter& p = s_.free[j];
            const double d = theta[j] - p.prior_mean;
            prior = prior + 0.5 * ((d * d) / p.prior_var + std::log(2.0 * std::numbers::pi * p.prior_var));
            grad[j] = grad[j] + d / p.prior_var;
        }
        return f + prior;
    }

    std::span<const double> natural() const { return {natural_.data(), s_.held.size()}; }

    int evaluations = 0;

private:
    double infeasible(std::span<double> grad) const {
        for (std::size_t j = 0; j < s_.free.size(); ++j) grad[j] = 0.0;
        return std::numeric_limits<double>::infinity();
    }

    Nll& nll_;
    const FitSettings& s_;
    std::array<double, max_fit_params> natural_{};
};

// Which free parameters the likelihood is flat in on one side of theta, from within a 200th of
// the prior's spread on (value and gradient unchanged a step further): a kink such as a binding
// cap, where the optimiser stops a little short of or past it, or a parameter the likelihood
// ignores. Differences across such a kink are no curvature.
template <class Nll>
std::array<bool, max_fit_free> flat_at(Posterior<Nll>& posterior, const FitSettings& s, std::span<const double> theta,
                                       double nll) {
    const std::size_t m = s.free.size();
    std::array<bool, max_fit_free> flat{};
    // Rounding in a sum over trials stays far below this; a parameter the data inform moves the gradient more.
    const double tol = 1e-10 * (1.0 + std::abs(nll));
    optimize::Vector near{}, far{}, g_near{}, g_far{};
    for (std::size_t j = 0; j < m; ++j) {
        for (const double sign : {1.0, -1.0}) {
            const double e = sign * 0.005 * std::sqrt(s.free[j].prior_var);
            std::copy(theta.begin(), theta.end(), near.begin());
            std::copy(theta.begin(), theta.end(), far.begin());
            near[j] = theta[j] + e;
            far[j] = theta[j] + 2.0 * e;
            const double f = posterior.likelihood({near.data(), m}, {g_near.data(), m});
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
    }
    return flat;
}

// Standard errors (delta method) and the Laplace evidence from the curvature at theta. An
// unidentified (flat) parameter has on its flat side only its prior's curvature and none shared
// with the others; its standard error is NaN, the others' come from the curvature among
// themselves, and the evidence integrates it against its prior alone (which can overstate the
// exact evidence by at most minus the log prior probability of the flat side). Without usable
// curvature every standard error and the evidence are NaN.
template <class Nll>
void laplace_at(Posterior<Nll>& posterior, const FitSettings& s, FitOutcome& out) {
    const std::size_t m = s.free.size();
    const std::span<const double> theta(out.theta.data(), m);
    optimize::Matrix h{}, lower{};
    optimize::Matrix& cov = out.cov;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t j = 0; j < m; ++j) out.se[j] = nan;
    std::fill_n(cov.begin(), m * m, nan);
    out.lme = nan;
    if (!laplace::hessian(posterior, theta, h, s.hessian_step)) return;
    const auto flat = flat_at(posterior, s, theta, out.nll);
    for (std::size_t j = 0; j < m; ++j) {
        if (!flat[j]) continue;
        for (std::size_t i = 0; i < m; ++i) h[i * m + j] = h[j * m + i] = 0.0;
        h[j * m + j] = 1.0 / s.free[j].prior_var;
    }
    if (!laplace::cholesky(h, m, lower)) return;
    laplace::inverse_from_cholesky(lower, m, cov);
    for (std::size_t j = 0; j < m; ++j) {
        const double slope = slope_of(s.free[j].transform, out.natural[s.free[j].index]);
        if (!flat[j]) out.se[j] = std::abs(slope) * std::sqrt(cov[j * m + j]);
    }
    out.lme = laplace::log_evidence(out.neg_log_joint, m, laplace::log_det_from_cholesky(lower, m));
}

// The fit: the first start at the prior means, the others drawn from the priors by the seeded
// stream, so a participant's fit depends on its seed alone; the best end point is the estimate.
template <class Nll>
FitOutcome fit_participant(Nll& nll, const FitSettings& s, std::uint64_t seed,
                           const std::atomic<bool>* stop = nullptr) {
    FitOutcome out;
    Posterior<Nll> posterior(nll, s);
    const std::size_t m = s.free.size();
    std::array<double, max_fit_free> grad{};
    if (m == 0) {  // everything held: the evidence is the likelihood itself
        out.neg_log_joint = posterior(std::span<const double>(), std::span<double>());
        out.nll = out.neg_log_joint;
        out.status = std::isfinite(out.nll) ? FitStatus::converged : FitStatus::infeasible;
        out.lme = std::isfinite(out.nll) ? -out.nll : -std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < s.held.size(); ++i) out.natural[i] = s.held[i];
        out.evaluations = posterior.evaluations;
        return out;
    }
    SeededRng rng = SeededRng::from_seed(seed);
    bool found = false;
    for (std::size_t k = 0; k < s.n_starts; ++k) {
        std::array<double, max_fit_free> start{};
        for (std::size_t j = 0; j < m; ++j)
            start[j] = k == 0 ? (s.first_start.empty() ? s.free[j].prior_mean : s.first_start[j])
                              : Normal{s.free[j].prior_mean, std::sqrt(s.free[j].prior_var)}.sample(rng);
        optimize::MinimizeOptions options = s.options;
        options.stop = stop;
        const optimize::MinimizeResult end = optimize::minimize(posterior, std::span<const double>(start.data(), m), options);
        out.iterations += end.iterations;
        if (end.status == optimize::Status::interrupted || (stop && stop->load(std::memory_order_relaxed))) {
            out.status = FitStatus::interrupted;
            return out;
        }
        if (std::isfinite(end.f) && (!found || end.f < out.neg_log_joint)) {
            found = true;
            out.neg_log_joint = end.f;
            out.optimiser = end.status;
            for (std::size_t j = 0; j < m; ++j) out.theta[j] = end.x[j];
        }
    }
    if (!found) {  // no estimate: the free parameters and every statistic are NaN, held values stay
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (std::size_t i = 0; i < s.held.size(); ++i) out.natural[i] = s.held[i];
        for (std::size_t j = 0; j < m; ++j) out.natural[s.free[j].index] = nan;
        out.se.fill(nan);
        out.nll = out.neg_log_joint = out.lme = nan;
        out.evaluations = posterior.evaluations;
        return out;
    }
    out.nll = posterior.likelihood(std::span<const double>(out.theta.data(), m), std::span<double>(grad.data(), m));
    for (std::size_t i = 0; i < s.held.size(); ++i) out.natural[i] = posterior.natural()[i];
    out.status = (out.optimiser == optimize::Status::converged_gradient ||
                  out.optimiser == optimize::Status::converged_reduction)
                     ? FitStatus::converged
                     : FitStatus::not_converged;
    laplace_at(posterior, s, out);
    out.evaluations = posterior.evaluations;
    return out;
}

}  // namespace velmora::engine
