#include "batch.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "../forward_model.hpp"
#include "../hgf.hpp"
#include "../kalman.hpp"
#include "../learning.hpp"
#include "../normal.hpp"

namespace velmora::engine {

namespace {

constexpr double two_pi = 6.283185307179586;

// Log density of a Gaussian prediction: variance s, deviation v.
inline double gaussian_loglik(double s, double v) { return -0.5 * (std::log(two_pi * s) + (v * v) / s); }

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

}  // namespace

Result<Flow> run_subject(const Batch& b, std::size_t i, const std::atomic<bool>& stop, const Poll* poll) {
    const std::span<const double> values(b.values + b.starts[i], static_cast<std::size_t>(b.lengths[i]));
    const double* p = b.params + i * param_count(b.model, b.has_cap);
    const Columns out{b.out + i * b.stride, b.subjects() * b.stride, stop, poll};

    switch (b.model) {
        case Model::kalman: {
            const kalman::Settings s{p[0], p[1], p[2], p[3], b.has_cap ? std::optional<double>(p[4]) : std::nullopt};
            return kalman::run_into(s, values, [&](std::size_t t, const kalman::Step& st) {
                out.at(0, t) = st.row.mean;
                out.at(1, t) = st.row.var;
                const double predictive_var = (1.0 / st.prior_precision) + (1.0 / st.obs_precision);
                out.at(2, t) = gaussian_loglik(predictive_var, st.innovation);
                return out.next(t);
            });
        }
        case Model::hgf: {
            const hgf::Settings s{p[0], p[1], p[2], p[3], p[4], p[5]};
            const double obs_precision = 1.0 / max_num(p[0], VARIANCE_FLOOR);
            return hgf::run_into(s, values, [&](std::size_t t, const hgf::Detailed& d) {
                const hgf::HgfStep& r = d.row;
                out.at(0, t) = r.t;
                out.at(1, t) = r.prediction;
                out.at(2, t) = r.observation;
                out.at(3, t) = r.precision;
                out.at(4, t) = r.prediction_error;
                out.at(5, t) = r.learning_rate;
                out.at(6, t) = r.volatility;
                const double predictive_var = (1.0 / d.predicted_precision) + (1.0 / obs_precision);
                out.at(7, t) = gaussian_loglik(predictive_var, r.prediction_error);
                return out.next(t);
            });
        }
        case Model::td: {
            const learning::Settings s{p[0], p[1], p[2], b.seeds ? b.seeds[i] : 0};
            return learning::td_into(s, values, [&](std::size_t t, double v) {
                out.at(0, t) = v;
                return out.next(t);
            });
        }
        case Model::forward: {
            const forward_model::Settings s{p[0], p[1], p[2], b.seeds ? b.seeds[i] : 0};
            return forward_model::simulate_into(s, values, [&](std::size_t t, const forward_model::Row& r) {
                out.at(0, t) = r.t;
                out.at(1, t) = r.predicted;
                out.at(2, t) = r.actual;
                out.at(3, t) = r.mismatch;
                return out.next(t);
            });
        }
    }
    return Flow::go_on;
}

Flow pad_subject(const Batch& b, std::size_t i, const std::atomic<bool>& stop, const Poll* poll) {
    const auto length = static_cast<std::size_t>(b.lengths[i]);
    double* const row = b.out + i * b.stride;
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t f = 0; f < field_count(b.model); ++f) {
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
