// The array engine's module, `velmora._engine`: the models over NumPy buffers, many subjects per
// call, with the interpreter lock released while they compute. Its functions are internal;
// `velmora.arrays` checks and shapes their arguments.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <numeric>
#include <span>
#include <string_view>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "../python/convert.hpp"
#include "../normal.hpp"
#include "../python/entry.hpp"
#include "../response.hpp"
#include "batch.hpp"
#include "fit_batch.hpp"
#include "objective.hpp"
#include "trials_module.hpp"

namespace velmora::py {

namespace {

// A held buffer of 8-byte items of one kind ('f' float64, 'i' int64, 'u' uint64), C-contiguous.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            if (held_) PyBuffer_Release(&view_);
            view_ = other.view_;
            held_ = std::exchange(other.held_, false);
        }
        return *this;
    }
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    static PyResult<Buffer> get(PyObject* obj, const char* name, char kind, bool writable) {
        Buffer b;
        const int flags = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &b.view_, flags) < 0) return failed();
        b.held_ = true;
        const std::string_view format = b.view_.format ? b.view_.format : "B";
        const char code = format.empty() ? '?' : format.back();
        const bool matches = kind == 'f' ? code == 'd' : kind == 'i' ? (code == 'q' || code == 'l')
                                                                        : (code == 'Q' || code == 'L');
        if (b.view_.itemsize != 8 || !matches) {
            PyErr_Format(PyExc_TypeError, "%s: expected a buffer of 8-byte items of kind '%c'", name, kind);
            return std::unexpected(Raised{});
        }
        return b;
    }

    std::size_t count() const { return static_cast<std::size_t>(view_.len) / 8; }
    template <class T>
    T* data() const {
        return static_cast<T*>(view_.buf);
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Releases the interpreter lock for its lifetime; `with_lock` takes it back for a moment.
class Unlocked {
public:
    Unlocked() : state_(PyEval_SaveThread()) {}
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;
    ~Unlocked() { PyEval_RestoreThread(state_); }

    template <class F>
    void with_lock(F&& f) {
        PyEval_RestoreThread(state_);
        f();
        state_ = PyEval_SaveThread();
    }

private:
    PyThreadState* state_;
};

// Signals are checked this often while workers compute, so Ctrl-C is answered promptly.
constexpr auto signal_poll = std::chrono::milliseconds(20);
// Below this many output cells a call is over in about a millisecond: no thread is worth starting.
constexpr std::size_t inline_cells = std::size_t{1} << 17;
constexpr std::size_t chunk_cells = std::size_t{1} << 15;
// A fit passes over its trials some hundreds of times: chunks of a few thousand trials balance.
constexpr std::size_t fit_chunk_trials = std::size_t{1} << 12;

// Has `runner` (an engine::Runner or FitRunner) work through its `chunks` on up to `threads`
// threads, or on the calling thread alone when `inline_only`. An interrupt stops the workers,
// waits for them and leaves its exception pending. When the system refuses a thread, those that
// started do the work, or else the calling thread.
template <class Runner>
PyResult<void> run_workers(Runner& runner, std::size_t chunks, bool inline_only, std::size_t threads) {
    std::exception_ptr thrown;
    bool interrupted = false;
    {
        Unlocked unlocked;
        {
            std::mutex mutex;
            std::condition_variable finished;
            const std::size_t workers = inline_only ? 0 : std::max<std::size_t>(1, std::min(threads, chunks));
            std::size_t running = workers;
            std::vector<std::jthread> pool;  // joined before the lock is taken back
            pool.reserve(workers);
            try {
                for (std::size_t k = 0; k < workers; ++k) {
                    pool.emplace_back([&] {
                        try {
                            runner.work_on();
                        } catch (...) {
                            runner.request_stop();
                            const std::lock_guard lock(mutex);
                            if (!thrown) thrown = std::current_exception();
                        }
                        const std::lock_guard lock(mutex);
                        --running;
                        finished.notify_one();
                    });
                }
            } catch (const std::system_error&) {
                // No room for another thread's stack, or a limit on threads: the ones started suffice.
            } catch (const std::bad_alloc&) {  // the same shortage, met while allocating the thread's state
            } catch (...) {
                runner.request_stop();
                throw;
            }
            std::unique_lock lock(mutex);
            running -= workers - pool.size();
            if (pool.empty()) {
                // Inline, or not one thread to be had: this one works, answering Ctrl-C between chunks
                // and within long subjects.
                lock.unlock();
                auto due = std::chrono::steady_clock::now() + signal_poll;
                const engine::Poll poll = [&] {
                    if (interrupted || std::chrono::steady_clock::now() < due) return;
                    unlocked.with_lock([&] { interrupted = PyErr_CheckSignals() < 0; });
                    if (interrupted) runner.request_stop();
                    due = std::chrono::steady_clock::now() + signal_poll;
                };
                runner.work_on(&poll);
            }
            while (!pool.empty() && !finished.wait_for(lock, signal_poll, [&] { return running == 0; })) {
                if (interrupted) continue;
                lock.unlock();
                unlocked.with_lock([&] { interrupted = PyErr_CheckSignals() < 0; });
                lock.lock();
                if (interrupted) runner.request_stop();
            }
        }
    }
    if (thrown) std::rethrow_exception(thrown);
    if (interrupted) return std::unexpected(Raised{});
    return {};
}

// Runs every subject of the batch on up to `threads` threads; the failure of the lowest failing
// subject, if any.
PyResult<std::optional<engine::Failure>> run_batch(const engine::Batch& batch, std::size_t threads) {
    // Padding costs a cell like a trial: a ragged batch's work is its whole output.
    const std::size_t cells = batch.subjects() * (batch.stride + 1);
    auto bounds = engine::chunk_bounds(batch.subjects(), batch.stride, chunk_cells);
    const std::size_t chunks = bounds.size() - 1;
    engine::Runner runner(batch, std::move(bounds));
    auto done = run_workers(runner, chunks, cells <= inline_cells, threads);
    if (!done) return std::unexpected(done.error());
    return runner.failure();
}

PyResult<std::size_t> model_named(const char* name) {
    if (auto index = engine::model_index(name)) return *index;
    PyErr_Format(PyExc_ValueError, "unknown model '%s'", name);
    return std::unexpected(Raised{});
}

std::unexpected<Raised> value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return std::unexpected(Raised{});
}

bool no_keywords(PyObject* kwargs) {
    if (kwargs && PyDict_Size(kwargs) > 0) {
        PyErr_SetString(PyExc_TypeError, "internal engine functions take positional arguments only");
        return false;
    }
    return true;
}

// Which optional parameters a parameter vector holds: bit j for the model's j-th (True: the first).
PyResult<engine::Given> given_of(std::size_t model, Py_ssize_t given) {
    const auto valid_for = [&]<class M>() { return engine::valid_given<M>(engine::Given(given)); };
    const bool valid = given >= 0 && engine::visit_model(model, valid_for);
    if (!valid) return value_error("given names an optional parameter the model does not have");
    return engine::Given(given);
}

// Whether trials [start, start + length) of `width` doubles each lie within `count` doubles.
bool within(std::int64_t start, std::int64_t length, std::size_t width, std::size_t count) {
    const auto first = static_cast<std::size_t>(start), n = static_cast<std::size_t>(length);
    return first <= count / width && n <= count / width - first;
}

// Whether `count` items are exactly a * b * c: a product that wraps around (a huge stride or draw
// count) would otherwise pass the size check and lead to writes far out of bounds.
bool holds(std::size_t count, std::size_t a, std::size_t b, std::size_t c = 1) {
    std::size_t ab = 0, abc = 0;
    return !__builtin_mul_overflow(a, b, &ab) && !__builtin_mul_overflow(ab, c, &abc) && count == abc;
}

// run(model, values, starts, lengths, params, seeds | None, out, stride, threads, given)
// -> None, or (subject, kind, message) of the lowest failing subject.
PyResult<Object> run(PyObject* args, PyObject* kwargs) {
    const char* name = nullptr;
    PyObject *values_obj, *starts_obj, *lengths_obj, *params_obj, *seeds_obj, *out_obj;
    Py_ssize_t stride = 0, threads = 0, given_arg = 0;
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "sOOOOOOnnn", &name, &values_obj, &starts_obj, &lengths_obj,
                                                  &params_obj, &seeds_obj, &out_obj, &stride, &threads, &given_arg))
        return failed();
    auto model = model_named(name);
    if (!model) return std::unexpected(model.error());
    auto given = given_of(*model, given_arg);
    if (!given) return std::unexpected(given.error());
    auto values = Buffer::get(values_obj, "values", 'f', false);
    if (!values) return std::unexpected(values.error());
    auto starts = Buffer::get(starts_obj, "starts", 'i', false);
    if (!starts) return std::unexpected(starts.error());
    auto lengths = Buffer::get(lengths_obj, "lengths", 'i', false);
    if (!lengths) return std::unexpected(lengths.error());
    auto params = Buffer::get(params_obj, "params", 'f', false);
    if (!params) return std::unexpected(params.error());
    std::optional<Buffer> seeds;
    if (seeds_obj != Py_None) {
        auto held = Buffer::get(seeds_obj, "seeds", 'u', false);
        if (!held) return std::unexpected(held.error());
        seeds.emplace(std::move(*held));
    }
    auto out = Buffer::get(out_obj, "out", 'f', true);
    if (!out) return std::unexpected(out.error());

    // The layout is the caller's promise; a broken one must not become a write out of bounds.
    const std::size_t n = lengths->count();
    const auto [k, fields, width] = engine::visit_model(*model, [&]<class M>() {
        return std::tuple{engine::param_count<M>(*given, true), engine::field_count<M>, engine::input_width<M>};
    });
    if (stride < 0 || threads < 1) return value_error("stride must be non-negative and threads positive");
    if (starts->count() != n || params->count() != n * k || (seeds && seeds->count() != n) ||
        !holds(out->count(), fields, n, static_cast<std::size_t>(stride)))
        return value_error("engine buffers disagree in size");
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t start = starts->data<const std::int64_t>()[i];
        const std::int64_t length = lengths->data<const std::int64_t>()[i];
        if (start < 0 || length < 0 || length > stride || !within(start, length, width, values->count()))
            return value_error("engine subject bounds out of range");
    }

    const engine::Batch batch{*model,
                              *given,
                              values->data<const double>(),
                              {starts->data<const std::int64_t>(), n},
                              {lengths->data<const std::int64_t>(), n},
                              params->data<const double>(),
                              seeds ? seeds->data<const std::uint64_t>() : nullptr,
                              out->data<double>(),
                              static_cast<std::size_t>(stride)};
    auto failure = run_batch(batch, static_cast<std::size_t>(threads));
    if (!failure) return std::unexpected(failure.error());
    if (!*failure) return Object::borrow(Py_None);
    const auto& [subject, error] = **failure;
    const std::string message = error.to_string();
    Object result = Object::steal(Py_BuildValue("(nns#)", static_cast<Py_ssize_t>(subject),
                                                static_cast<Py_ssize_t>(error.kind.index()), message.data(),
                                                static_cast<Py_ssize_t>(message.size())));
    if (!result) return failed();
    return result;
}

// The likelihood a fit or an objective call names: its model, the inputs' own density
// ("observations") or a response model's, the optional parameters given, the length of its
// parameter vector and the doubles of one trial's input.
struct LikelihoodKind {
    std::size_t model;
    std::size_t response;
    engine::Given given;
    std::size_t count;
    std::size_t width;

    bool self_fit() const { return visit_entry<response::Kinds>(response, []<class R>() { return R::self_fit; }); }
};

PyResult<LikelihoodKind> likelihood_kind(const char* model_name, const char* response_name, Py_ssize_t given_arg) {
    auto model = model_named(model_name);
    if (!model) return std::unexpected(model.error());
    const std::optional<std::size_t> response = index_named<response::Kinds>(response_name);
    if (!response) {
        PyErr_Format(PyExc_ValueError, "unknown response model '%s'", response_name);
        return std::unexpected(Raised{});
    }
    auto given = given_of(*model, given_arg);
    if (!given) return std::unexpected(given.error());
    const std::optional<std::size_t> count = engine::likelihood_param_count(*model, *response, *given);
    if (!count) return value_error("this model has no likelihood of that kind");
    return LikelihoodKind{*model, *response, *given, *count, engine::input_width_of(*model)};
}

// Holds each (object, name, kind, writable) of `wanted` as a buffer in `out`, in its order.
template <std::size_t N>
PyResult<void> get_buffers(const std::array<std::tuple<PyObject*, const char*, char, bool>, N>& wanted,
                           std::array<Buffer, N>& out) {
    for (std::size_t j = 0; j < N; ++j) {
        const auto& [obj, name, code, writable] = wanted[j];
        auto held = Buffer::get(obj, name, code, writable);
        if (!held) return std::unexpected(held.error());
        out[j] = std::move(*held);
    }
    return {};
}

// The layout of participants' data is the caller's promise; a broken one must not become a read
// out of bounds. Checks it against the likelihood and gives the longest participant's trials.
PyResult<std::size_t> participant_layout(const LikelihoodKind& kind, bool no_responses, const Buffer& values,
                                         const Buffer& starts, const Buffer& lengths, const Buffer& responses) {
    const bool self_fit = kind.self_fit();
    if (values.count() % kind.width != 0) return value_error("values must hold whole trials");
    if (self_fit != no_responses || (!self_fit && responses.count() != values.count() / kind.width))
        return value_error("responses must be None for 'observations' and one per trial otherwise");
    const std::size_t n = lengths.count();
    if (starts.count() != n) return value_error("engine buffers disagree in size");
    std::size_t longest = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t start = starts.data<const std::int64_t>()[i];
        const std::int64_t length = lengths.data<const std::int64_t>()[i];
        if (start < 0 || length < 0 || !within(start, length, kind.width, values.count()))
            return value_error("engine subject bounds out of range");
        longest = std::max(longest, static_cast<std::size_t>(length));
    }
    return longest;
}

// objective(model, response, inputs, responses | None, params, free, gradient, given) -> nll
// The negative log-likelihood at natural parameter values and its derivatives with respect to
// params[free]; inf (and a zero gradient) where the model fails at those values, so that an
// optimiser treats the point as infeasible.
PyResult<Object> objective(PyObject* args, PyObject* kwargs) {
    const char *model_name = nullptr, *response = nullptr;
    PyObject *inputs_obj, *responses_obj, *params_obj, *free_obj, *gradient_obj;
    Py_ssize_t given_arg = 0;
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "ssOOOOOn", &model_name, &response, &inputs_obj,
                                                  &responses_obj, &params_obj, &free_obj, &gradient_obj, &given_arg))
        return failed();
    auto likelihood = likelihood_kind(model_name, response, given_arg);
    if (!likelihood) return std::unexpected(likelihood.error());
    const LikelihoodKind kind = *likelihood;
    const bool self_fit = kind.self_fit();
    auto inputs = Buffer::get(inputs_obj, "inputs", 'f', false);
    if (!inputs) return std::unexpected(inputs.error());
    std::optional<Buffer> responses;
    if (responses_obj != Py_None) {
        auto held = Buffer::get(responses_obj, "responses", 'f', false);
        if (!held) return std::unexpected(held.error());
        responses.emplace(std::move(*held));
    }
    auto params = Buffer::get(params_obj, "params", 'f', false);
    if (!params) return std::unexpected(params.error());
    auto free = Buffer::get(free_obj, "free", 'i', false);
    if (!free) return std::unexpected(free.error());
    auto gradient = Buffer::get(gradient_obj, "gradient", 'f', true);
    if (!gradient) return std::unexpected(gradient.error());

    const std::size_t k = kind.count;
    if (params->count() != k) return value_error("params has the wrong length for this model");
    if (inputs->count() % kind.width != 0) return value_error("inputs must hold whole trials");
    if (self_fit == responses.has_value() || (responses && responses->count() != inputs->count() / kind.width))
        return value_error("responses must be None for 'observations' and one per trial otherwise");
    if (free->count() > engine::max_free || gradient->count() != free->count())
        return value_error("free and gradient must have the same length, at most 8");
    std::array<std::size_t, engine::max_free> indices{};
    for (std::size_t j = 0; j < free->count(); ++j) {
        const std::int64_t i = free->data<const std::int64_t>()[j];
        if (i < 0 || static_cast<std::size_t>(i) >= k) return value_error("free index out of range");
        indices[j] = static_cast<std::size_t>(i);
    }

    const engine::Likelihood task{kind.model, kind.response, kind.given, {inputs->data<const double>(), inputs->count()},
                                  responses ? std::span<const double>(responses->data<const double>(), responses->count())
                                            : std::span<const double>(),
                                  {params->data<const double>(), k}};
    const std::span<double> grad(gradient->data<double>(), gradient->count());
    Result<double> nll = 0.0;
    {
        // One participant's pass is short; other threads (a thread-pool study) run meanwhile.
        Unlocked unlocked;
        nll = engine::negative_log_likelihood(task, {indices.data(), free->count()}, grad);
    }
    if (!nll) {
        std::fill(grad.begin(), grad.end(), 0.0);
        return build_float(std::numeric_limits<double>::infinity());
    }
    return build_float(*nll);
}

// An optional float64 buffer: none for None, else `count` items or a ValueError.
PyResult<std::optional<Buffer>> optional_buffer(PyObject* obj, const char* name, bool writable, std::size_t count) {
    if (obj == Py_None) return std::optional<Buffer>();
    auto held = Buffer::get(obj, name, 'f', writable);
    if (!held) return std::unexpected(held.error());
    if (held->count() != count) {
        PyErr_Format(PyExc_ValueError, "%s has the wrong size", name);
        return std::unexpected(Raised{});
    }
    return std::optional<Buffer>(std::move(*held));
}

// fit(model, response, values, starts, lengths, responses | None, held, free, transforms, prior_mean,
//     prior_var, seeds, n_starts, threads, given, natural, se, stats, status,
//     prior_means | None, prior_precision | None, prior_log_det_precision, theta | None, cov | None,
//     first_starts | None) -> None
// Each participant's MAP fit, written into its rows of the output buffers (see fit_batch.hpp); the
// optional ones give each participant its own prior means, a prior with correlations, and the
// transformed estimates with their posterior covariance.
PyResult<Object> fit(PyObject* args, PyObject* kwargs) {
    const char *model_name = nullptr, *response = nullptr;
    PyObject *values_obj, *starts_obj, *lengths_obj, *responses_obj, *held_obj, *free_obj, *transforms_obj,
        *mean_obj, *var_obj, *seeds_obj, *natural_obj, *se_obj, *stats_obj, *status_obj, *means_obj, *precision_obj,
        *theta_obj, *cov_obj, *first_obj;
    Py_ssize_t n_starts = 0, threads = 0, given_arg = 0;
    double log_det_precision = 0.0;
    if (!no_keywords(kwargs) ||
        !PyArg_ParseTuple(args, "ssOOOOOOOOOOnnnOOOOOOdOOO", &model_name, &response, &values_obj, &starts_obj,
                          &lengths_obj, &responses_obj, &held_obj, &free_obj, &transforms_obj, &mean_obj, &var_obj,
                          &seeds_obj, &n_starts, &threads, &given_arg, &natural_obj, &se_obj, &stats_obj, &status_obj,
                          &means_obj, &precision_obj, &log_det_precision, &theta_obj, &cov_obj, &first_obj))
        return failed();
    auto likelihood = likelihood_kind(model_name, response, given_arg);
    if (!likelihood) return std::unexpected(likelihood.error());
    const LikelihoodKind kind = *likelihood;
    const bool self_fit = kind.self_fit();
    if (n_starts < 1 || threads < 1) return value_error("n_starts and threads must be positive");

    std::array<Buffer, 14> b;
    const std::array<std::tuple<PyObject*, const char*, char, bool>, 14> wanted{{
        {values_obj, "values", 'f', false}, {starts_obj, "starts", 'i', false}, {lengths_obj, "lengths", 'i', false},
        {responses_obj == Py_None ? values_obj : responses_obj, "responses", 'f', false},
        {held_obj, "held", 'f', false}, {free_obj, "free", 'i', false}, {transforms_obj, "transforms", 'i', false},
        {mean_obj, "prior_mean", 'f', false}, {var_obj, "prior_var", 'f', false}, {seeds_obj, "seeds", 'u', false},
        {natural_obj, "natural", 'f', true}, {se_obj, "se", 'f', true}, {stats_obj, "stats", 'f', true},
        {status_obj, "status", 'i', true}}};
    if (auto got = get_buffers(wanted, b); !got) return std::unexpected(got.error());
    const auto& [values, starts, lengths, responses, held, free, transforms, prior_mean, prior_var, seeds, natural,
                 se, stats, status] = b;

    // The layout is the caller's promise; a broken one must not become a read or write out of bounds.
    const std::size_t n = lengths.count(), k = kind.count, m = free.count();
    if (held.count() != k) return value_error("held has the wrong length for this model");
    if (m > engine::max_fit_free || transforms.count() != m || prior_mean.count() != m || prior_var.count() != m)
        return value_error("free, transforms and the priors must have one entry per free parameter, at most 8");
    if (starts.count() != n || seeds.count() != n || natural.count() != n * k || se.count() != n * m ||
        stats.count() != n * engine::fit_stat_count || status.count() != n)
        return value_error("engine buffers disagree in size");
    auto longest = participant_layout(kind, responses_obj == Py_None, values, starts, lengths, responses);
    if (!longest) return std::unexpected(longest.error());
    std::array<engine::FreeParameter, engine::max_fit_free> parameters{};
    for (std::size_t j = 0; j < m; ++j) {
        const std::int64_t index = free.data<const std::int64_t>()[j];
        const std::int64_t transform = transforms.data<const std::int64_t>()[j];
        const double mean = prior_mean.data<const double>()[j], var = prior_var.data<const double>()[j];
        if (index < 0 || static_cast<std::size_t>(index) >= k) return value_error("free index out of range");
        for (std::size_t i = 0; i < j; ++i)
            if (parameters[i].index == static_cast<std::size_t>(index)) return value_error("a free index is repeated");
        if (transform < 0 || transform > 2) return value_error("unknown transform code");
        if (!std::isfinite(mean) || !(std::isfinite(var) && var > 0.0))
            return value_error("prior means must be finite and prior variances finite and positive");
        parameters[j] = {static_cast<std::size_t>(index), static_cast<engine::Transform>(transform), mean, var};
    }

    auto means = optional_buffer(means_obj, "prior_means", false, n * m);
    if (!means) return std::unexpected(means.error());
    auto precision = optional_buffer(precision_obj, "prior_precision", false, m * m);
    if (!precision) return std::unexpected(precision.error());
    auto first = optional_buffer(first_obj, "first_starts", false, n * m);
    if (!first) return std::unexpected(first.error());
    auto theta = optional_buffer(theta_obj, "theta", true, n * m);
    if (!theta) return std::unexpected(theta.error());
    auto cov = optional_buffer(cov_obj, "cov", true, n * m * m);
    if (!cov) return std::unexpected(cov.error());
    if (*precision && !std::isfinite(log_det_precision)) return value_error("the prior's log det must be finite");
    // Checked as the shared prior is: a NaN mean leaves every fit without an estimate, and a precision
    // that is not positive definite makes the log joint unbounded below, which a fit would call converged.
    if (*means) {
        const double* first_mean = (*means)->data<const double>();
        if (!std::all_of(first_mean, first_mean + n * m, [](double x) { return std::isfinite(x); }))
            return value_error("prior means must be finite");
    }
    if (*precision) {
        laplace::Matrix a{}, lower{};
        std::copy_n((*precision)->data<const double>(), m * m, a.begin());
        bool symmetric = true;  // up to the rounding of an inverse
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t j = 0; j < i; ++j)
                symmetric = symmetric && std::abs(a[i * m + j] - a[j * m + i]) <=
                                             1e-9 * std::sqrt(std::abs(a[i * m + i] * a[j * m + j]));
        if (!symmetric || !laplace::cholesky(a, m, lower))
            return value_error("prior_precision must be symmetric and positive definite");
    }

    engine::FitSettings settings;
    settings.held = {held.data<const double>(), k};
    settings.free = {parameters.data(), m};
    settings.n_starts = static_cast<std::size_t>(n_starts);
    if (*precision) {
        settings.prior_precision = {(*precision)->data<const double>(), m * m};
        settings.prior_log_det_precision = log_det_precision;
    }
    engine::FitTask task{kind.model,
                               kind.response,
                               kind.given,
                               values.data<const double>(),
                               {starts.data<const std::int64_t>(), n},
                               {lengths.data<const std::int64_t>(), n},
                               self_fit ? nullptr : responses.data<const double>(),
                               settings,
                               seeds.data<const std::uint64_t>(),
                               natural.data<double>(),
                               se.data<double>(),
                               stats.data<double>(),
                               status.data<std::int64_t>()};
    task.prior_means = *means ? (*means)->data<const double>() : nullptr;
    task.first_starts = *first ? (*first)->data<const double>() : nullptr;
    task.theta = *theta ? (*theta)->data<double>() : nullptr;
    task.cov = *cov ? (*cov)->data<double>() : nullptr;
    auto bounds = engine::chunk_bounds(n, *longest, fit_chunk_trials);
    const std::size_t chunks = bounds.size() - 1;
    engine::FitRunner runner(task, std::move(bounds));
    // One participant gains nothing from a thread of its own.
    auto done = run_workers(runner, chunks, n <= 1, static_cast<std::size_t>(threads));
    if (!done) return std::unexpected(done.error());
    return Object::borrow(Py_None);
}

// evaluate(model, response, values, starts, lengths, responses | None, params, draws, given, threads, out)
// Each participant's negative log-likelihood at each of its `draws` natural parameter vectors
// (see EvalTask); +inf where the model fails.
PyResult<Object> evaluate(PyObject* args, PyObject* kwargs) {
    const char *model_name = nullptr, *response = nullptr;
    PyObject *values_obj, *starts_obj, *lengths_obj, *responses_obj, *params_obj, *out_obj;
    Py_ssize_t draws = 0, given_arg = 0, threads = 0;
    if (!no_keywords(kwargs) ||
        !PyArg_ParseTuple(args, "ssOOOOOnnnO", &model_name, &response, &values_obj, &starts_obj, &lengths_obj,
                          &responses_obj, &params_obj, &draws, &given_arg, &threads, &out_obj))
        return failed();
    auto likelihood = likelihood_kind(model_name, response, given_arg);
    if (!likelihood) return std::unexpected(likelihood.error());
    const LikelihoodKind kind = *likelihood;
    const bool self_fit = kind.self_fit();
    if (draws < 1 || threads < 1) return value_error("draws and threads must be positive");
    std::array<Buffer, 6> b;
    const std::array<std::tuple<PyObject*, const char*, char, bool>, 6> wanted{{
        {values_obj, "values", 'f', false}, {starts_obj, "starts", 'i', false}, {lengths_obj, "lengths", 'i', false},
        {responses_obj == Py_None ? values_obj : responses_obj, "responses", 'f', false},
        {params_obj, "params", 'f', false}, {out_obj, "out", 'f', true}}};
    if (auto got = get_buffers(wanted, b); !got) return std::unexpected(got.error());
    const auto& [values, starts, lengths, responses, params, out] = b;
    const std::size_t n = lengths.count(), d = static_cast<std::size_t>(draws);
    if (starts.count() != n || !holds(params.count(), n, d, kind.count) || !holds(out.count(), n, d))
        return value_error("engine buffers disagree in size");
    auto longest = participant_layout(kind, responses_obj == Py_None, values, starts, lengths, responses);
    if (!longest) return std::unexpected(longest.error());
    const engine::EvalTask task{kind.model,
                                kind.response,
                                kind.given,
                                values.data<const double>(),
                                {starts.data<const std::int64_t>(), n},
                                {lengths.data<const std::int64_t>(), n},
                                self_fit ? nullptr : responses.data<const double>(),
                                kind.count,
                                d,
                                params.data<const double>(),
                                out.data<double>()};
    // A pass per draw: chunks of about as many trials as a fit's.
    auto bounds = engine::chunk_bounds(n, *longest * d / 64 + 1, fit_chunk_trials);
    const std::size_t chunks = bounds.size() - 1;
    engine::EvalRunner runner(task, std::move(bounds));
    auto done = run_workers(runner, chunks, n <= 1, static_cast<std::size_t>(threads));
    if (!done) return std::unexpected(done.error());
    return Object::borrow(Py_None);
}

// Calls `fill(first, count)` over [0, total) in blocks without the interpreter lock, answering
// Ctrl-C between blocks.
template <class Fill>
PyResult<void> in_blocks(std::size_t total, Fill&& fill) {
    bool interrupted = false;
    {
        Unlocked unlocked;
        for (std::size_t at = 0; at < total && !interrupted; at += inline_cells) {
            fill(at, std::min(inline_cells, total - at));
            if (at + inline_cells < total) unlocked.with_lock([&] { interrupted = PyErr_CheckSignals() < 0; });
        }
    }
    if (interrupted) return std::unexpected(Raised{});
    return {};
}

// normal(out, seed, loc, scale): fills `out` with the seeded stream, answering Ctrl-C between blocks.
PyResult<Object> normal(PyObject* args, PyObject* kwargs) {
    PyObject *out_obj, *seed_obj;
    double loc = 0.0, scale = 1.0;
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "OOdd", &out_obj, &seed_obj, &loc, &scale)) return failed();
    auto seed = to_seed(seed_obj);
    if (!seed) return name_conversion_failure("seed");
    auto out = Buffer::get(out_obj, "out", 'f', true);
    if (!out) return std::unexpected(out.error());
    SeededRng rng = SeededRng::from_seed(*seed);
    const std::span<double> all(out->data<double>(), out->count());
    auto done = in_blocks(all.size(), [&](std::size_t at, std::size_t count) {
        engine::fill_normal(all.subspan(at, count), rng, loc, scale);
    });
    if (!done) return std::unexpected(done.error());
    return Object::borrow(Py_None);
}

// seeds(out, seed): fills `out` with distinct seeds derived from one.
PyResult<Object> seeds(PyObject* args, PyObject* kwargs) {
    PyObject *out_obj, *seed_obj;
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "OO", &out_obj, &seed_obj)) return failed();
    auto seed = to_seed(seed_obj);
    if (!seed) return name_conversion_failure("seed");
    auto out = Buffer::get(out_obj, "out", 'u', true);
    if (!out) return std::unexpected(out.error());
    engine::derive_seeds({out->data<std::uint64_t>(), out->count()}, *seed);
    return Object::borrow(Py_None);
}

// as_double(obj, name), as_seed(obj, name), as_doubles(obj, name): the list functions' own
// conversions, so the array functions accept and reject exactly what they do, with their messages.
PyResult<Object> as_double(PyObject* args, PyObject* kwargs) {
    PyObject* obj;
    const char* name;
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "Os", &obj, &name)) return failed();
    auto value = to_double(obj);
    if (!value) return name_conversion_failure(name);
    return build_float(*value);
}

PyResult<Object> as_seed(PyObject* args, PyObject* kwargs) {
    PyObject* obj;
    const char* name;
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "Os", &obj, &name)) return failed();
    auto value = to_seed(obj);
    if (!value) return name_conversion_failure(name);
    Object seed = Object::steal(PyLong_FromUnsignedLongLong(*value));
    if (!seed) return failed();
    return seed;
}

PyResult<Object> as_doubles(PyObject* args, PyObject* kwargs) {
    PyObject* obj;
    const char* name;
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "Os", &obj, &name)) return failed();
    auto values = to_doubles(obj);
    if (!values) return name_conversion_failure(name);
    const auto span = values->span();
    Object bytes = Object::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(span.size_bytes())));
    if (!bytes) return failed();
    if (!span.empty()) std::memcpy(PyByteArray_AsString(bytes.get()), span.data(), span.size_bytes());
    return bytes;
}

PyResult<Object> str(std::string_view text) {
    Object value = Object::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!value) return failed();
    return value;
}

PyResult<Object> str_tuple(std::span<const std::string_view> texts) {
    Object tuple = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
    if (!tuple) return failed();
    for (std::size_t i = 0; i < texts.size(); ++i) {
        auto item = str(texts[i]);
        if (!item) return std::unexpected(item.error());
        if (PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item->release()) < 0) return failed();
    }
    return tuple;
}

// One model's entry of the report: what Python reads instead of restating the model.
template <class M>
PyResult<Object> describe() {
    std::vector<std::string_view> params, optional, noise, fields(M::fields.begin(), M::fields.end());
    for (const auto& p : M::params) {
        params.push_back(p.name);
        if (p.optional) optional.push_back(p.name);
        if (p.noise) noise.push_back(p.name);
    }
    if (M::self_fit) fields.push_back("loglik");
    const std::vector<std::string_view> inputs(M::inputs.begin(), M::inputs.end());
    Object entry = Object::steal(PyDict_New());
    if (!entry) return failed();
    const auto set = [&](const char* key, PyResult<Object> value) {
        return value && PyDict_SetItemString(entry.get(), key, value->get()) == 0;
    };
    const auto flag = [](bool b) { return Object::borrow(b ? Py_True : Py_False); };
    if (!set("name", str(M::name)) || !set("params", str_tuple(params)) || !set("optional", str_tuple(optional)) ||
        !set("noise", str_tuple(noise)) || !set("fields", str_tuple(fields)) || !set("inputs", str_tuple(inputs)) ||
        !set("seeded", flag(M::seeded)) ||
        !set("self_fit", flag(M::self_fit)) || !set("fits_responses", flag(M::fits_responses)) ||
        !set("responses", str_tuple(M::responses)))
        return failed();
    return entry;
}

// models() -> one dict per model of the table, in its order.
PyResult<Object> models(PyObject* args, PyObject* kwargs) {
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "")) return failed();
    Object all = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(engine::model_count)));
    if (!all) return failed();
    for (std::size_t i = 0; i < engine::model_count; ++i) {
        auto entry = engine::visit_model(i, []<class M>() { return describe<M>(); });
        if (!entry || PyTuple_SetItem(all.get(), static_cast<Py_ssize_t>(i), entry->release()) < 0) return failed();
    }
    return all;
}

// responses() -> (name, parameter names, self_fit, margin) per likelihood the engine computes, in its
// order; margin: how far inside (0, 1) a probability model takes a belief at either end (else 0).
PyResult<Object> responses(PyObject* args, PyObject* kwargs) {
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "")) return failed();
    Object all = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(response::kind_count)));
    if (!all) return failed();
    for (std::size_t i = 0; i < response::kind_count; ++i) {
        auto entry = visit_entry<response::Kinds>(i, []<class R>() -> PyResult<Object> {
            auto name = str(R::name);
            if (!name) return name;
            auto params = str_tuple(R::params);
            if (!params) return params;
            double margin = 0.0;
            if constexpr (requires { R::margin; }) margin = R::margin;
            Object tuple = Object::steal(
                Py_BuildValue("(OOOd)", name->get(), params->get(), R::self_fit ? Py_True : Py_False, margin));
            if (!tuple) return failed();
            return tuple;
        });
        if (!entry || PyTuple_SetItem(all.get(), static_cast<Py_ssize_t>(i), entry->release()) < 0) return failed();
    }
    return all;
}

// uniform(out, seed): fills `out` with uniform deviates in [0, 1) from the seeded stream, one word each.
PyResult<Object> uniform(PyObject* args, PyObject* kwargs) {
    PyObject *out_obj, *seed_obj;
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "OO", &out_obj, &seed_obj)) return failed();
    auto seed = to_seed(seed_obj);
    if (!seed) return name_conversion_failure("seed");
    auto out = Buffer::get(out_obj, "out", 'f', true);
    if (!out) return std::unexpected(out.error());
    SeededRng rng = SeededRng::from_seed(*seed);
    double* const first = out->data<double>();
    auto done = in_blocks(out->count(), [&](std::size_t at, std::size_t count) {
        for (std::size_t i = at; i < at + count; ++i) first[i] = word_to_half_open(rng.next_word64());
    });
    if (!done) return std::unexpected(done.error());
    return Object::borrow(Py_None);
}

// discounted_value(reward, delay, discount_factor, out): the scalar function element by element
// over four buffers of one length.
PyResult<Object> discounted_value(PyObject* args, PyObject* kwargs) {
    PyObject *reward_obj, *delay_obj, *factor_obj, *out_obj;
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "OOOO", &reward_obj, &delay_obj, &factor_obj, &out_obj))
        return failed();
    auto reward = Buffer::get(reward_obj, "reward", 'f', false);
    if (!reward) return std::unexpected(reward.error());
    auto delay = Buffer::get(delay_obj, "delay", 'f', false);
    if (!delay) return std::unexpected(delay.error());
    auto factor = Buffer::get(factor_obj, "discount_factor", 'f', false);
    if (!factor) return std::unexpected(factor.error());
    auto out = Buffer::get(out_obj, "out", 'f', true);
    if (!out) return std::unexpected(out.error());
    const std::size_t n = out->count();
    if (reward->count() != n || delay->count() != n || factor->count() != n)
        return value_error("engine buffers disagree in size");
    const double *r = reward->data<const double>(), *d = delay->data<const double>(), *f = factor->data<const double>();
    double* const o = out->data<double>();
    auto done = in_blocks(n, [&](std::size_t at, std::size_t count) {
        for (std::size_t i = at; i < at + count; ++i) o[i] = learning::discounted_value(r[i], d[i], f[i]);
    });
    if (!done) return std::unexpected(done.error());
    return Object::borrow(Py_None);
}

PyMethodDef methods[] = {
    method<run>("run", "Run a model over a batch of subjects (internal; see velmora.arrays)."),
    method<objective>("objective", "Negative log-likelihood and its gradient for a fit (internal)."),
    method<fit>("fit", "Fit a model to many participants at once (internal; see velmora.arrays.fit)."),
    method<evaluate>("evaluate", "Negative log-likelihoods of many participants at many parameter vectors (internal)."),
    method<trial_logliks>("trial_logliks", "Each trial's log-likelihood and belief for one participant (internal)."),
    method<simulate_responses>("simulate_responses", "Responses drawn around each trial's belief (internal)."),
    method<models>("models", "The engine's models: names, parameters, fields and what each supports (internal)."),
    method<responses>("responses", "The engine's likelihoods: names, parameters and whether they fit inputs (internal)."),
    method<normal>("normal", "Fill a float64 buffer with seeded normal deviates (internal)."),
    method<uniform>("uniform", "Fill a float64 buffer with seeded uniform deviates in [0, 1) (internal)."),
    method<discounted_value>("discounted_value", "discounted_value element by element over buffers (internal)."),
    method<seeds>("seeds", "Fill a uint64 buffer with seeds derived from one (internal)."),
    method<as_double>("as_double", "Convert as the list functions convert a number (internal)."),
    method<as_seed>("as_seed", "Convert as the list functions convert a seed (internal)."),
    method<as_doubles>("as_doubles", "Convert as the list functions convert a sequence (internal)."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_engine", "Array engine of velmora: the models over buffers, many subjects per call.",
    0, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace velmora::py

// Holds no state of its own, so any interpreter may import it.
PyMODINIT_FUNC PyInit__engine() {
    try {
        return PyModule_Create2(&velmora::py::module_def, 3);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        velmora::py::raise_panic("unexpected failure while initialising velmora._engine");
    }
    return nullptr;
}
