#include "fit_batch.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "objective.hpp"

namespace velmora::engine {

namespace {

// Participant i's slices of a task's inputs (the model's width per trial) and responses.
template <class Task>
std::pair<std::span<const double>, std::span<const double>> data_of(const Task& t, std::size_t i) {
    const auto start = static_cast<std::size_t>(t.starts[i]);
    const auto length = static_cast<std::size_t>(t.lengths[i]);
    const std::size_t width = input_width_of(t.model);
    return {{t.values + start * width, length * width},
            t.responses ? std::span<const double>(t.responses + start, length) : std::span<const double>()};
}

// One callable of both kinds: with the gradient, and the value alone.
template <class... F>
struct Both : F... {
    using F::operator()...;
};
template <class... F>
Both(F...) -> Both<F...>;

}  // namespace

void fit_one(const FitTask& t, std::size_t i, const std::atomic<bool>& stop, const Poll* poll) {
    const auto [inputs, responses] = data_of(t, i);
    const std::size_t m = t.settings.free.size();
    std::array<std::size_t, max_fit_free> free{};
    for (std::size_t j = 0; j < m; ++j) free[j] = t.settings.free[j].index;
    FitSettings settings = t.settings;
    std::array<FreeParameter, max_fit_free> own{};
    if (t.prior_means != nullptr) {
        for (std::size_t j = 0; j < m; ++j) own[j] = {free[j], t.settings.free[j].transform, t.prior_means[i * m + j],
                                                      t.settings.free[j].prior_var};
        settings.free = {own.data(), m};
    }
    if (t.first_starts != nullptr) settings.first_start = {t.first_starts + i * m, m};

    auto with_gradient = [&](std::span<const double> natural, std::span<double> grad) {
        if (poll) (*poll)();
        const Likelihood task{t.model, t.response, t.present, inputs, responses, natural, poll, &stop, t.options};
        const Result<double> value = negative_log_likelihood(task, {free.data(), m}, grad);
        // Once stopped, every point is infeasible, so that a line search in flight ends at once.
        if (!value || stop.load(std::memory_order_relaxed)) return std::numeric_limits<double>::infinity();
        return *value;
    };
    // The value alone, over doubles: the same value without the derivatives' cost (the scan's points).
    auto value_only = [&](std::span<const double> natural) {
        if (poll) (*poll)();
        const Likelihood task{t.model, t.response, t.present, inputs, responses, natural, poll, &stop, t.options};
        const Result<double> value = negative_log_likelihood(task, {}, {});
        if (!value || stop.load(std::memory_order_relaxed)) return std::numeric_limits<double>::infinity();
        return *value;
    };
    Both nll{with_gradient, value_only};
    const FitOutcome out = fit_participant(nll, settings, t.seeds[i], &stop);

    const std::size_t k = t.settings.params.size();
    std::copy_n(out.natural.begin(), k, t.natural + i * k);
    std::copy_n(out.se.begin(), m, t.se + i * m);
    double* stats = t.stats + i * fit_stat_count;
    stats[stat_nll] = out.nll;
    stats[stat_neg_log_joint] = out.neg_log_joint;
    stats[stat_lme] = out.lme;
    stats[stat_iterations] = out.iterations;
    stats[stat_evaluations] = out.evaluations;
    t.status[i] = static_cast<std::int64_t>(out.status);
    if (t.theta != nullptr) std::copy_n(out.theta.begin(), m, t.theta + i * m);
    if (t.cov != nullptr) std::copy_n(out.cov.begin(), m * m, t.cov + i * m * m);
}

void evaluate_one(const EvalTask& t, std::size_t i, const std::atomic<bool>& stop, const Poll* poll) {
    const auto [inputs, responses] = data_of(t, i);
    for (std::size_t d = 0; d < t.draws; ++d) {
        if (poll) (*poll)();
        const std::size_t row = i * t.draws + d;
        if (stop.load(std::memory_order_relaxed)) {
            t.out[row] = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        const Likelihood task{t.model, t.response, t.present, inputs, responses, {t.params + row * t.k, t.k}, poll, &stop, t.options};
        const Result<double> value = negative_log_likelihood(task, {}, {});
        // A model that fails gives NaN at some points (a zero variance): no likelihood there either.
        t.out[row] = value && !std::isnan(*value) ? *value : std::numeric_limits<double>::infinity();
    }
}

}  // namespace velmora::engine
