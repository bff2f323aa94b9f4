// One-dimensional Kalman filter in precision form, with an optional cap on the prior precision.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "numeric.hpp"

namespace velmora::kalman {

// Posterior after one observation; a plain record of doubles in tuple order.
struct Row {
    double mean;
    double var;
};

struct Settings {
    double initial_mean;
    double initial_var;
    double process_noise;
    double obs_noise;
    std::optional<double> prior_precision_cap;
};

// The running filter: posterior of the last step and the constants of the run.
struct Filter {
    double mean;
    double var;
    double obs_precision;
    Settings settings;
};

// What a step tells besides its row: the prior precision it used (after floor and cap) and the
// observation's deviation from the previous posterior mean, which the likelihood needs.
struct Step {
    Row row;
    double prior_precision;
    double innovation;
    double obs_precision;
};

inline Filter start(const Settings& s) {
    return {s.initial_mean, max_num(s.initial_var, VARIANCE_FLOOR), 1.0 / max_num(s.obs_noise, VARIANCE_FLOOR), s};
}

// One prediction and update. On error the filter is left as it was.
inline Result<Step> step(Filter& f, double y) {
    const Settings& s = f.settings;
    // The parameter checks look only at constants, but they keep their place in the step so that
    // the first observation's finiteness is judged between them.
    if (auto ok = rule::finite_non_negative.check("process_noise", s.process_noise); !ok)
        return std::unexpected(std::move(ok.error()));
    const double predicted_var = max_num(f.var + s.process_noise, VARIANCE_FLOOR);

    if (auto ok = rule::finite.check("observation", y); !ok) return std::unexpected(std::move(ok.error()));
    if (auto ok = rule::finite_non_negative.check("obs_noise", s.obs_noise); !ok)
        return std::unexpected(std::move(ok.error()));
    if (s.prior_precision_cap)
        if (auto ok = rule::finite_positive.check("prior_precision_cap", *s.prior_precision_cap); !ok)
            return std::unexpected(std::move(ok.error()));

    double prior_precision = 1.0 / predicted_var;
    if (s.prior_precision_cap) prior_precision = min_num(prior_precision, *s.prior_precision_cap);

    const double posterior_precision = f.obs_precision + prior_precision;
    if (!is_finite_positive(posterior_precision))
        return std::unexpected(VelmoraError::numerical_divergence("kalman::update posterior precision"));

    const double weighted_obs = f.obs_precision * y;
    const double weighted_prior = prior_precision * f.mean;
    const double new_mean = (weighted_obs + weighted_prior) / posterior_precision;
    if (!is_finite(new_mean))
        return std::unexpected(VelmoraError::numerical_divergence("kalman::update posterior mean"));

    const double innovation = y - f.mean;
    f.mean = new_mean;
    f.var = max_num(1.0 / posterior_precision, VARIANCE_FLOOR);
    return Step{{f.mean, f.var}, prior_precision, innovation, f.obs_precision};
}

// The filter over a sequence, each step handed to `sink(index, step)`; the one loop that every
// binding runs. An empty sequence is returned before anything is checked.
template <class Sink>
Result<Flow> run_into(const Settings& settings, std::span<const double> observations, Sink&& sink) {
    if (observations.empty()) return Flow::go_on;
    Filter filter = start(settings);
    for (std::size_t i = 0; i < observations.size(); ++i) {
        auto s = step(filter, observations[i]);
        if (!s) return std::unexpected(std::move(s.error()));
        if (sink(i, *s) == Flow::stop) return Flow::stop;
    }
    return Flow::go_on;
}

Result<std::vector<Row>> run(const Settings& settings, std::span<const double> observations);

}  // namespace velmora::kalman
