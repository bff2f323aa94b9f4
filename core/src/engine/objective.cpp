#include "objective.hpp"

#include <array>
#include <cmath>
#include <optional>

#include "../dual.hpp"
#include "../hgf.hpp"
#include "../kalman.hpp"
#include "../learning.hpp"

namespace velmora::engine {

namespace {

using D = Dual<max_free>;
constexpr double two_pi = 6.283185307179586;

// -log N(x; mean, variance), from the deviation x - mean.
D gaussian_nll(const D& variance, const D& deviation) {
    return 0.5 * (log(two_pi * variance) + (deviation * deviation) / variance);
}

// Adds one trial's term: the filter's own prediction, or the response around the belief.
struct Accumulate {
    const Likelihood& task;
    const D& zeta;
    D total{};

    void observation(const D& predictive_var, const D& deviation) { total = total + gaussian_nll(predictive_var, deviation); }
    void response(std::size_t t, const D& belief) {
        const double r = task.responses[t];
        if (!std::isnan(r)) total = total + gaussian_nll(zeta, r - belief);
    }
};

Result<D> run(const Likelihood& task, std::span<const D> p) {
    const D zeta = task.self_fit ? D(1.0) : p[p.size() - 1];
    Accumulate acc{task, zeta};
    Result<Flow> done = Flow::go_on;
    switch (task.model) {
        case Model::kalman: {
            const kalman::SettingsT<D> s{p[0], p[1], p[2], p[3], task.has_cap ? std::optional<D>(p[4]) : std::nullopt};
            done = kalman::run_into(s, task.inputs, [&](std::size_t t, const kalman::StepT<D>& st) {
                if (task.self_fit)
                    acc.observation((1.0 / st.prior_precision) + (1.0 / st.obs_precision), st.innovation);
                else
                    acc.response(t, st.prior_mean);
                return Flow::go_on;
            });
            break;
        }
        case Model::hgf: {
            const hgf::SettingsT<D> s{p[0], p[1], p[2], p[3], p[4], p[5]};
            const D obs_precision = 1.0 / max_num(p[0], VARIANCE_FLOOR);
            done = hgf::run_into(s, task.inputs, [&](std::size_t t, const hgf::DetailedT<D>& d) {
                if (task.self_fit)
                    acc.observation((1.0 / d.predicted_precision) + (1.0 / obs_precision), d.row.prediction_error);
                else
                    acc.response(t, d.row.prediction);
                return Flow::go_on;
            });
            break;
        }
        case Model::td: {
            const learning::SettingsT<D> s{p[0], p[1], 0.0, 0};
            D before = p[0];
            done = learning::td_into(s, task.inputs, [&](std::size_t t, const D& after) {
                acc.response(t, before);
                before = after;
                return Flow::go_on;
            });
            break;
        }
        case Model::forward:
            break;
    }
    if (!done) return std::unexpected(std::move(done.error()));
    return acc.total;
}

}  // namespace

std::size_t likelihood_param_count(Model model, bool self_fit, bool has_cap) {
    const std::size_t zeta = self_fit ? 0 : 1;
    switch (model) {
        case Model::kalman: return (has_cap ? 5 : 4) + zeta;
        case Model::hgf: return 6 + zeta;
        case Model::td: return 2 + zeta;
        case Model::forward: return 0;
    }
    return 0;
}

Result<double> negative_log_likelihood(const Likelihood& task, std::span<const std::size_t> free,
                                       std::span<double> gradient) {
    std::array<D, max_free + 2> p{};
    for (std::size_t i = 0; i < task.params.size(); ++i) p[i] = D(task.params[i]);
    for (std::size_t j = 0; j < free.size(); ++j) p[free[j]].d[j] = 1.0;
    auto total = run(task, std::span<const D>(p.data(), task.params.size()));
    if (!total) return std::unexpected(std::move(total.error()));
    for (std::size_t j = 0; j < free.size(); ++j) gradient[j] = total->d[j];
    return total->v;
}

}  // namespace velmora::engine
