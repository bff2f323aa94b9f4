// Many participants fitted in one call: each participant's data are a slice of flat arrays, each
// fit writes its row of preallocated outputs, and worker threads take participants in chunks.
// Plain C++; the binding hands in the memory.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "batch.hpp"
#include "fit.hpp"
#include "models.hpp"

namespace velmora::engine {

// Per participant: the likelihood's statistics, in the columns of FitTask::stats.
enum FitStat : std::size_t { stat_nll, stat_neg_log_joint, stat_lme, stat_iterations, stat_evaluations, fit_stat_count };

struct FitTask {
    std::size_t model;  // index into Models
    std::size_t response;  // index into response::Kinds
    OptionalMask present;
    const double* values;  // input_width<M> per trial; starts and lengths count trials
    std::span<const std::int64_t> starts;
    std::span<const std::int64_t> lengths;
    const double* responses;  // one per trial; null for a self-fit
    std::size_t options;      // K, for a model that chooses among options
    FitSettings settings;     // `held` in the likelihood's parameter order
    const std::uint64_t* seeds;
    // Participant i writes natural[i * k ..), k = settings.params.size(); se[i * m ..) for m free;
    // stats[i * fit_stat_count ..); status[i].
    double* natural;
    double* se;
    double* stats;
    std::int64_t* status;
    // Optional (null: not used). Each participant's own prior means, prior_means[i * m ..), in place
    // of the settings' (a group's regression on covariates); its transformed estimates theta[i * m ..)
    // and their posterior covariance cov[i * m * m ..).
    const double* prior_means = nullptr;
    const double* first_starts = nullptr;  // first_starts[i * m ..): participant i's first start, transformed
    double* theta = nullptr;
    double* cov = nullptr;

    std::size_t participants() const { return lengths.size(); }
};

// The negative log-likelihood of each participant at each of `draws` parameter vectors: participant
// i's d-th vector at params[(i * draws + d) * k ..), its value to out[i * draws + d]; +inf where the
// model fails at it. Inputs and responses as in FitTask.
struct EvalTask {
    std::size_t model;
    std::size_t response;
    OptionalMask present;
    const double* values;
    std::span<const std::int64_t> starts;
    std::span<const std::int64_t> lengths;
    const double* responses;
    std::size_t options;
    std::size_t k;  // the likelihood's parameter count
    std::size_t draws;
    const double* params;
    double* out;

    std::size_t participants() const { return lengths.size(); }
};

// Fits participant i into its rows of the outputs; `stop` ends it early (status interrupted).
void fit_one(const FitTask& task, std::size_t i, const std::atomic<bool>& stop, const Poll* poll);

// Evaluates participant i's rows of an EvalTask.
void evaluate_one(const EvalTask& task, std::size_t i, const std::atomic<bool>& stop, const Poll* poll);

// Participants in chunks taken by whichever thread calls work_on; every participant's row depends
// on its own data (and seed) alone, so the thread count and order change nothing.
template <class Task, void (*One)(const Task&, std::size_t, const std::atomic<bool>&, const Poll*)>
class ParticipantRunner {
public:
    ParticipantRunner(const Task& task, std::vector<std::size_t> bounds) : task_(task), bounds_(std::move(bounds)) {}

    void work_on(const Poll* poll = nullptr) {
        for (;;) {
            const std::size_t c = next_chunk_.fetch_add(1, std::memory_order_relaxed);
            if (c + 1 >= bounds_.size() || stop_.load(std::memory_order_relaxed)) return;
            for (std::size_t i = bounds_[c]; i < bounds_[c + 1]; ++i) One(task_, i, stop_, poll);
        }
    }
    void request_stop() { stop_.store(true, std::memory_order_relaxed); }

private:
    const Task& task_;
    std::vector<std::size_t> bounds_;
    std::atomic<std::size_t> next_chunk_{0};
    std::atomic<bool> stop_{false};
};

using FitRunner = ParticipantRunner<FitTask, fit_one>;
using EvalRunner = ParticipantRunner<EvalTask, evaluate_one>;

}  // namespace velmora::engine
