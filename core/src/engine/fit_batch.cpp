#include "fit_batch.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "objective.hpp"

namespace velmora::engine {

void fit_one(const FitTask& t, std::size_t i, const std::atomic<bool>& stop, const Poll* poll) {
    const auto start = static_cast<std::size_t>(t.starts[i]);
    const auto length = static_cast<std::size_t>(t.lengths[i]);
    const std::size_t width = input_width_of(t.model);
    const std::span<const double> inputs(t.values + start * width, length * width);
    const std::span<const double> responses =
        t.responses ? std::span<const double>(t.responses + start, length) : std::span<const double>();
    const std::size_t m = t.settings.free.size();
    std::array<std::size_t, max_fit_free> free{};
    for (std::size_t j = 0; j < m; ++j) free[j] = t.settings.free[j].index;

    auto nll = [&](std::span<const double> natural, std::span<double> grad) {
        if (poll) (*poll)();
        const Likelihood task{t.model, t.response, t.given, inputs, responses, natural, poll, &stop};
        const Result<double> value = negative_log_likelihood(task, {free.data(), m}, grad);
        // Once stopped, every point is infeasible, so that a line search in flight ends at once.
        if (!value || stop.load(std::memory_order_relaxed)) return std::numeric_limits<double>::infinity();
        return *value;
    };
    const FitOutcome out = fit_participant(nll, t.settings, t.seeds[i], &stop);

    const std::size_t k = t.settings.held.size();
    std::copy_n(out.natural.begin(), k, t.natural + i * k);
    std::copy_n(out.se.begin(), m, t.se + i * m);
    double* stats = t.stats + i * fit_stat_count;
    stats[stat_nll] = out.nll;
    stats[stat_neg_log_joint] = out.neg_log_joint;
    stats[stat_lme] = out.lme;
    stats[stat_iterations] = out.iterations;
    stats[stat_evaluations] = out.evaluations;
    t.status[i] = static_cast<std::int64_t>(out.status);
}

void FitRunner::work_on(const Poll* poll) {
    for (;;) {
        const std::size_t c = next_chunk_.fetch_add(1, std::memory_order_relaxed);
        if (c + 1 >= bounds_.size() || stop_.load(std::memory_order_relaxed)) return;
        for (std::size_t i = bounds_[c]; i < bounds_[c + 1]; ++i) fit_one(task_, i, stop_, poll);
    }
}

}  // namespace velmora::engine
