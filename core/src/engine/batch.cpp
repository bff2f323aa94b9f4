#include "batch.hpp"

#include "../density.hpp"
#include "../normal.hpp"

namespace velmora::engine {

namespace {

// Writes field f of trial t for one subject, and answers a stop request every so many trials so
// that a single long sequence can be interrupted too.
struct Columns {
    double* first;
    std::size_t field_stride;
    const std::atomic<bool>& stop;

    double& at(std::size_t f, std::size_t t) const { return first[f * field_stride + t]; }
    Flow next(std::size_t t) const {
        constexpr std::size_t every = std::size_t{1} << 16;
        return (t % every == every - 1 && stop.load(std::memory_order_relaxed)) ? Flow::stop : Flow::go_on;
    }
};

template <class M>
Result<Flow> run_subject_of(const Batch& b, std::size_t i, const std::atomic<bool>& stop) {
    const std::span<const double> values(b.values + b.starts[i], static_cast<std::size_t>(b.lengths[i]));
    const std::size_t k = param_count<M>(b.given, true);
    const auto args = unpack<M>(std::span<const double>(b.params + i * k, k), b.given, true, b.seeds ? b.seeds[i] : 0);
    const Columns out{b.out + i * b.stride, b.subjects() * b.stride, stop};
    constexpr std::size_t fields = M::fields.size();
    return M::run(args, values, [&](std::size_t t, const Trial<double, fields>& trial) {
        for (std::size_t f = 0; f < fields; ++f) out.at(f, t) = trial.fields[f];
        if constexpr (M::self_fit) out.at(fields, t) = -gaussian_nll(trial.predictive_var, trial.deviation);
        return out.next(t);
    });
}

}  // namespace

Result<Flow> run_subject(const Batch& b, std::size_t i, const std::atomic<bool>& stop) {
    return visit_model(b.model, [&]<class M>() { return run_subject_of<M>(b, i, stop); });
}

std::vector<std::size_t> chunk_bounds(std::span<const std::int64_t> lengths, std::size_t trials) {
    std::vector<std::size_t> bounds{0};
    std::size_t held = 0;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        held += static_cast<std::size_t>(lengths[i]) + 1;  // + 1: an empty subject still costs a call
        if (held >= trials) {
            bounds.push_back(i + 1);
            held = 0;
        }
    }
    if (bounds.back() != lengths.size()) bounds.push_back(lengths.size());
    return bounds;
}

void Runner::work_on() {
    for (;;) {
        const std::size_t c = next_chunk_.fetch_add(1, std::memory_order_relaxed);
        if (c + 1 >= bounds_.size() || stop_.load(std::memory_order_relaxed)) return;
        // Chunks are taken in order and a subject is skipped only above a known failure, so every
        // subject below the lowest failing one is computed: the reported subject is always the same.
        for (std::size_t i = bounds_[c]; i < bounds_[c + 1]; ++i) {
            if (i > lowest_failure_.load(std::memory_order_relaxed)) break;
            auto done = run_subject(batch_, i, stop_);
            if (!done) {
                const std::lock_guard lock(failure_mutex_);
                if (!failure_ || i < failure_->subject) failure_ = Failure{i, std::move(done.error())};
                lowest_failure_.store(failure_->subject, std::memory_order_relaxed);
                break;
            }
            if (*done == Flow::stop) return;
        }
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
