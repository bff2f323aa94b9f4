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
    Given given;
    const double* values;  // input_width<M> per trial; starts and lengths count trials
    std::span<const std::int64_t> starts;
    std::span<const std::int64_t> lengths;
    const double* responses;  // one per trial; null for a self-fit
    FitSettings settings;     // `held` in the likelihood's parameter order
    const std::uint64_t* seeds;
    // Participant i writes natural[i * k ..), k = settings.held.size(); se[i * m ..) for m free;
    // stats[i * fit_stat_count ..); status[i].
    double* natural;
    double* se;
    double* stats;
    std::int64_t* status;

    std::size_t participants() const { return lengths.size(); }
};

// Fits participant i into its rows of the outputs; `stop` ends it early (status interrupted).
void fit_one(const FitTask& task, std::size_t i, const std::atomic<bool>& stop, const Poll* poll);

// Participants in chunks taken by whichever thread calls work_on; every participant's row depends
// on its own data and seed alone, so the thread count and order change nothing.
class FitRunner {
public:
    FitRunner(const FitTask& task, std::vector<std::size_t> bounds) : task_(task), bounds_(std::move(bounds)) {}

    void work_on(const Poll* poll = nullptr);
    void request_stop() { stop_.store(true, std::memory_order_relaxed); }

private:
    const FitTask& task_;
    std::vector<std::size_t> bounds_;
    std::atomic<std::size_t> next_chunk_{0};
    std::atomic<bool> stop_{false};
};

}  // namespace velmora::engine
