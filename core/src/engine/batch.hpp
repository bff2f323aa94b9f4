// Many subjects in one call: the models run over flat arrays on worker threads, writing their
// fields straight into preallocated outputs. Plain C++; the binding hands in the memory.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "../error.hpp"
#include "../numeric.hpp"
#include "../random.hpp"
#include "models.hpp"

namespace velmora::engine {

// For the model M at index `model` of the table: subject i's trials are starts[i] .. starts[i] +
// lengths[i], each input_width<M> doubles of `values` (trial j at values[j * width ..)); it reads
// params[i * k .. i * k + k) for k = param_count<M>(present, true), and writes field f <
// field_count<M> of its trial t at out[(f * subjects + i) * stride + t].
struct Batch {
    std::size_t model;
    OptionalMask present;
    const double* values;
    std::span<const std::int64_t> starts;
    std::span<const std::int64_t> lengths;
    const double* params;
    const std::uint64_t* seeds;  // one per subject; null where the model draws nothing
    double* out;
    std::size_t stride;

    std::size_t subjects() const { return lengths.size(); }
};

struct Failure {
    std::size_t subject;
    VelmoraError error;
};

// Runs one subject into its rows of the output; returns early (Flow::stop) once `stop` is set.
// Called every so many trials (and between chunks) by the thread it is given to, which then
// answers for the caller, e.g. by requesting a stop on an interrupt; only that thread calls it.
using Poll = std::function<void()>;

Result<Flow> run_subject(const Batch& batch, std::size_t i, const std::atomic<bool>& stop,
                         const Poll* poll = nullptr);

// Writes NaN past subject i's length in each of its rows, so that a ragged batch's output needs no
// filling beforehand; returns early (Flow::stop) once `stop` is set.
Flow pad_subject(const Batch& batch, std::size_t i, const std::atomic<bool>& stop, const Poll* poll = nullptr);

// Consecutive subjects grouped so that each group holds about `cells` cells of one output field
// (`stride` per subject: its trials and their padding; at least one subject per group): the unit
// of work a thread takes at a time.
std::vector<std::size_t> chunk_bounds(std::size_t subjects, std::size_t stride, std::size_t cells);

// The subjects of chunks [0, bounds.size() - 1) computed by whoever calls `work_on`; the lowest
// failing subject is kept, whatever the order in which threads reach it.
class Runner {
public:
    Runner(const Batch& batch, std::vector<std::size_t> bounds) : batch_(batch), bounds_(std::move(bounds)) {}

    // Takes chunks until none are left or `stop` is set; `poll`, if given, is called between
    // chunks and within long subjects.
    void work_on(const Poll* poll = nullptr);
    void request_stop() { stop_.store(true, std::memory_order_relaxed); }
    std::optional<Failure> failure() const { return failure_; }

private:
    const Batch& batch_;
    std::vector<std::size_t> bounds_;
    std::atomic<std::size_t> next_chunk_{0};
    std::atomic<std::size_t> lowest_failure_{SIZE_MAX};
    std::atomic<bool> stop_{false};
    std::mutex failure_mutex_;
    std::optional<Failure> failure_;
};

// The next out.size() deviates of a seeded stream, loc + scale * z as the models draw them.
void fill_normal(std::span<double> out, SeededRng& rng, double loc, double scale);

// n seeds derived from one, all distinct.
void derive_seeds(std::span<std::uint64_t> out, std::uint64_t seed);

}  // namespace velmora::engine
