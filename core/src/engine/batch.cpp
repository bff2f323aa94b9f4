#include "batch.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "../density.hpp"
#include "../normal.hpp"

namespace velmora::engine {

namespace {

// Trials (or padding cells) between stop checks.
constexpr std::size_t check_every = std::size_t{1} << 16;

// Writes field f of trial t for one subject, and answers a stop request every so many trials so
// that a single long sequence can be interrupted too.
struct Columns {
    double* first;
    std::size_t field_stride;
    const std::atomic<bool>& stop;
    const Poll* poll;

    double& at(std::size_t f, std::size_t t) const { return first[f * field_stride + t]; }
    Flow next(std::size_t t) const {
        const bool check = t % check_every == check_every - 1;
        if (check && poll) (*poll)();
        return (check && stop.load(std::memory_order_relaxed)) ? Flow::stop : Flow::go_on;
    }
};

template <class M>
Result<Flow> run_subject_of(const Batch& b, std::size_t i, const std::atomic<bool>& stop, const Poll* poll) {
    constexpr std::size_t width = input_width<M>;
    const std::span<const double> values(b.values + b.starts[i] * width, static_cast<std::size_t>(b.lengths[i]) * width);
    const std::size_t k = param_count<M>(b.present, true);
    const auto args = unpack<M>(std::span<const double>(b.params + i * k, k), b.present, true, b.seeds ? b.seeds[i] : 0);
    const Columns out{b.out + i * b.stride, b.subjects() * b.stride, stop, poll};
    constexpr std::size_t fields = M::fields.size();
    // A model that chooses reads the choices, which a batch run has not: the binding refuses it.
    if constexpr (chooses<M>)
        return std::unexpected(VelmoraError::invalid_parameter("model", 0.0, "learns from choices a run does not have"));
    else
    return M::run(args, values, [&](std::size_t t, const Trial<double, fields>& trial) {
        for (std::size_t f = 0; f < fields; ++f) out.at(f, t) = trial.fields[f];
        if constexpr (M::self_fit) out.at(fields, t) = -gaussian_nll(trial.predictive_var(), trial.deviation);
        return out.next(t);
    });
}

}  // namespace

Result<Flow> run_subject(const Batch& b, std::size_t i, const std::atomic<bool>& stop, const Poll* poll) {
    return visit_model(b.model, [&]<class M>() { return run_subject_of<M>(b, i, stop, poll); });
}

Flow pad_subject(const Batch& b, std::size_t i, const std::atomic<bool>& stop, const Poll* poll) {
    const auto length = static_cast<std::size_t>(b.lengths[i]);
    double* const row = b.out + i * b.stride;
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const std::size_t fields = visit_model(b.model, []<class M>() { return field_count<M>; });
    for (std::size_t f = 0; f < fields; ++f) {
        double* const first = row + f * b.subjects() * b.stride;
        for (std::size_t t = length; t < b.stride; t += check_every) {
            std::fill(first + t, first + std::min(b.stride, t + check_every), nan);
            if (poll) (*poll)();
            if (stop.load(std::memory_order_relaxed)) return Flow::stop;
        }
    }
    return Flow::go_on;
}

std::vector<std::size_t> chunk_bounds(std::size_t subjects, std::size_t stride, std::size_t cells) {
    // + 1: an empty row still costs a call.
    const std::size_t per_chunk = std::max<std::size_t>(1, cells / (stride + 1));
    std::vector<std::size_t> bounds{0};
    for (std::size_t end = per_chunk; end < subjects; end += per_chunk) bounds.push_back(end);
    if (bounds.back() != subjects) bounds.push_back(subjects);
    return bounds;
}

void Runner::work_on(const Poll* poll) {
    for (;;) {
        const std::size_t c = next_chunk_.fetch_add(1, std::memory_order_relaxed);
        if (c + 1 >= bounds_.size() || stop_.load(std::memory_order_relaxed)) return;
        // Chunks are taken in order and a subject is skipped only above a known failure, so every
        // subject below the lowest failing one is computed: the reported subject is always the same.
        for (std::size_t i = bounds_[c]; i < bounds_[c + 1]; ++i) {
            if (i > lowest_failure_.load(std::memory_order_relaxed)) break;
            auto done = run_subject(batch_, i, stop_, poll);
            if (!done) {
                const std::lock_guard lock(failure_mutex_);
                if (!failure_ || i < failure_->subject) failure_ = Failure{i, std::move(done.error())};
                lowest_failure_.store(failure_->subject, std::memory_order_relaxed);
                break;
            }
            if (*done == Flow::stop || pad_subject(batch_, i, stop_, poll) == Flow::stop) return;
        }
        if (poll) (*poll)();
    }
}

void fill_normal(std::span<double> out, SeededRng& rng, double loc, double scale) {
    const Normal normal{loc, scale};
    for (double& x : out) x = normal.sample(rng);
}

void derive_seeds(std::span<std::uint64_t> out, std::uint64_t seed) {
    // A bijective mix of distinct counters gives distinct seeds; the base comes from the seed's
    // own generator so that neighbouring seeds give unrelated sets.
    SeededRng rng = SeededRng::from_seed(seed);
    const std::uint64_t base = rng.next_word64();
    for (std::size_t i = 0; i < out.size(); ++i) {
        std::uint64_t z = base + (static_cast<std::uint64_t>(i) + 1) * 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        out[i] = z ^ (z >> 31);
    }
}

}  // namespace velmora::engine
