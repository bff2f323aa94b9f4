// The array engine's module, `velmora._engine`: the models over NumPy buffers, many subjects per
// call, with the interpreter lock released while they compute. Its functions are internal;
// `velmora.arrays` checks and shapes their arguments.
//
// The entry points over participants take the model (and likelihood) and the participants' data
// positionally, everything else as keyword options (arguments.hpp): buffers.hpp holds the buffers
// and the one check of the participants' layout, workers.hpp the threads, description.cpp the
// report of the models, streams.cpp the seeded stream and the conversions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <string>
#include <tuple>
#include <utility>

#include "../python/convert.hpp"
#include "../python/entry.hpp"
#include "arguments.hpp"
#include "batch.hpp"
#include "buffers.hpp"
#include "description.hpp"
#include "fit_batch.hpp"
#include "objective.hpp"
#include "streams.hpp"
#include "workers.hpp"
#include "trials_module.hpp"

namespace velmora::py {

namespace {

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

// A buffer option that is present (parse_options made sure of every required one).
const Buffer& given(const std::optional<Buffer>& b) {
    if (!b) throw Panic("a required option was not read");
    return *b;
}

// run(model, values, starts, lengths, *, params, seeds=None, out, stride, threads, optional=0)
// -> None, or (subject, kind, message) of the lowest failing subject.
PyResult<Object> run(PyObject* args, PyObject* kwargs) {
    const char* name = nullptr;
    PyObject *values_obj, *starts_obj, *lengths_obj;
    if (!PyArg_ParseTuple(args, "sOOO", &name, &values_obj, &starts_obj, &lengths_obj)) return failed();
    static constexpr std::array accepted{
        input("params", &Options::params),   maybe(input("seeds", &Options::seeds, 'u')),
        output("out", &Options::out),        count("stride", &Options::stride),
        count("threads", &Options::threads), count("optional", &Options::optional, false)};
    auto options = parse_options("run", kwargs, accepted);
    if (!options) return std::unexpected(options.error());
    auto model = model_named(name);
    if (!model) return std::unexpected(model.error());
    auto present = mask_of(*model, options->optional);
    if (!present) return std::unexpected(present.error());
    if (engine::visit_model(*model, []<class M>() { return chooses<M>; }))
        return value_error("a model that chooses among options learns from the choices: run it with trial_logliks");
    auto data = participants_of(values_obj, starts_obj, lengths_obj, nullptr);
    if (!data) return std::unexpected(data.error());
    const Buffer &params = given(options->params), &out = given(options->out);
    const std::optional<Buffer>& seeds = options->seeds;
    const Py_ssize_t stride = options->stride;

    const std::size_t n = data->count();
    const auto [k, fields, width] = engine::visit_model(*model, [&]<class M>() {
        return std::tuple{engine::param_count<M>(*present, true), engine::field_count<M>, engine::input_width<M>};
    });
    if (stride < 0 || options->threads < 1) return value_error("stride must be non-negative and threads positive");
    if (data->starts.count() != n || params.count() != n * k || (seeds && seeds->count() != n) ||
        !holds(out.count(), fields, n, static_cast<std::size_t>(stride)))
        return value_error("engine buffers disagree in size");
    auto longest = participant_layout(*data, width, false);
    if (!longest) return std::unexpected(longest.error());
    if (*longest > static_cast<std::size_t>(stride)) return value_error("engine subject bounds out of range");

    const engine::Batch batch{*model,
                              *present,
                              data->values.data<const double>(),
                              {data->first(), n},
                              {data->length(), n},
                              params.data<const double>(),
                              seeds ? seeds->data<const std::uint64_t>() : nullptr,
                              out.data<double>(),
                              static_cast<std::size_t>(stride)};
    auto failure = run_batch(batch, static_cast<std::size_t>(options->threads));
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

// objective(model, response, inputs, responses | None, *, params, free, gradient, optional=0) -> nll
// The negative log-likelihood at natural parameter values and its derivatives with respect to
// params[free]; inf (and a zero gradient) where the model fails at those values, so that an
// optimiser treats the point as infeasible.
PyResult<Object> objective(PyObject* args, PyObject* kwargs) {
    const char *model_name = nullptr, *response = nullptr;
    PyObject *inputs_obj, *responses_obj;
    if (!PyArg_ParseTuple(args, "ssOO", &model_name, &response, &inputs_obj, &responses_obj)) return failed();
    static constexpr std::array accepted{input("params", &Options::params), input("free", &Options::free, 'i'),
                                         output("gradient", &Options::gradient),
                                         count("optional", &Options::optional, false),
                                         count("options", &Options::options, false)};
    auto options = parse_options("objective", kwargs, accepted);
    if (!options) return std::unexpected(options.error());
    auto likelihood = likelihood_kind(model_name, response, options->optional);
    if (!likelihood) return std::unexpected(likelihood.error());
    const LikelihoodKind kind = *likelihood;
    auto inputs = Buffer::get(inputs_obj, "inputs", 'f', false);
    if (!inputs) return std::unexpected(inputs.error());
    std::optional<Buffer> responses;
    if (responses_obj != Py_None) {
        auto got = Buffer::get(responses_obj, "responses", 'f', false);
        if (!got) return std::unexpected(got.error());
        responses.emplace(std::move(*got));
    }
    const Buffer &params = given(options->params), &free = given(options->free), &gradient = given(options->gradient);

    const std::size_t k = kind.count;
    if (params.count() != k) return value_error("params has the wrong length for this model");
    if (inputs->count() % kind.width != 0) return value_error("inputs must hold whole trials");
    if (kind.self_fit() == responses.has_value() || (responses && responses->count() != inputs->count() / kind.width))
        return value_error("responses must be None for 'observations' and one per trial otherwise");
    if (free.count() > engine::max_free || gradient.count() != free.count())
        return value_error("free and gradient must have the same length, at most 8");
    std::array<std::size_t, engine::max_free> indices{};
    for (std::size_t j = 0; j < free.count(); ++j) {
        const std::int64_t i = free.data<const std::int64_t>()[j];
        if (i < 0 || static_cast<std::size_t>(i) >= k) return value_error("free index out of range");
        indices[j] = static_cast<std::size_t>(i);
    }

    const std::span<const double> answers = responses ? std::span<const double>(responses->data<const double>(), responses->count())
                                                      : std::span<const double>();
    auto n_options = options_for(kind, options->options, answers);
    if (!n_options) return std::unexpected(n_options.error());
    engine::Likelihood task{kind.model, kind.response, kind.present, {inputs->data<const double>(), inputs->count()},
                            answers, {params.data<const double>(), k}};
    task.options = *n_options;
    const std::span<double> grad(gradient.data<double>(), gradient.count());
    Result<double> nll = 0.0;
    {
        // One participant's pass is short; other threads (a thread-pool study) run meanwhile.
        Unlocked unlocked;
        nll = engine::negative_log_likelihood(task, {indices.data(), free.count()}, grad);
    }
    if (!nll) {
        std::fill(grad.begin(), grad.end(), 0.0);
        return build_float(std::numeric_limits<double>::infinity());
    }
    return build_float(*nll);
}

// An optional buffer option of `count` items, or a ValueError.
PyResult<void> sized(const std::optional<Buffer>& b, const char* name, std::size_t count) {
    if (b && b->count() != count) {
        PyErr_Format(PyExc_ValueError, "%s has the wrong size", name);
        return std::unexpected(Raised{});
    }
    return {};
}

// fit(model, response, values, starts, lengths, responses | None, *, params, free, transforms,
//     prior_mean, prior_var, seeds, n_starts, threads, optional=0, natural, se, stats, status,
//     prior_means=None, prior_precision=None, prior_log_det_precision=0.0, theta=None, cov=None,
//     first_starts=None) -> None
// Each participant's MAP fit, written into its rows of the output buffers (see fit_batch.hpp); the
// optional ones give each participant its own prior means, a prior with correlations, and the
// transformed estimates with their posterior covariance.
PyResult<Object> fit(PyObject* args, PyObject* kwargs) {
    const char *model_name = nullptr, *response = nullptr;
    PyObject *values_obj, *starts_obj, *lengths_obj, *responses_obj;
    if (!PyArg_ParseTuple(args, "ssOOOO", &model_name, &response, &values_obj, &starts_obj, &lengths_obj,
                          &responses_obj))
        return failed();
    static constexpr std::array accepted{
        input("params", &Options::params),
        input("free", &Options::free, 'i'),
        input("transforms", &Options::transforms, 'i'),
        input("prior_mean", &Options::prior_mean),
        input("prior_var", &Options::prior_var),
        input("seeds", &Options::seeds, 'u'),
        count("n_starts", &Options::n_starts),
        count("threads", &Options::threads),
        count("optional", &Options::optional, false),
        output("natural", &Options::natural),
        output("se", &Options::se),
        output("stats", &Options::stats),
        output("status", &Options::status, 'i'),
        maybe(input("prior_means", &Options::prior_means)),
        maybe(input("prior_precision", &Options::prior_precision)),
        real("prior_log_det_precision", &Options::prior_log_det_precision),
        maybe(output("theta", &Options::theta)),
        maybe(output("cov", &Options::cov)),
        maybe(input("first_starts", &Options::first_starts)),
        count("options", &Options::options, false)};
    auto options = parse_options("fit", kwargs, accepted);
    if (!options) return std::unexpected(options.error());
    auto likelihood = likelihood_kind(model_name, response, options->optional);
    if (!likelihood) return std::unexpected(likelihood.error());
    const LikelihoodKind kind = *likelihood;
    if (options->n_starts < 1 || options->threads < 1) return value_error("n_starts and threads must be positive");
    auto data = participants_of(values_obj, starts_obj, lengths_obj, responses_obj);
    if (!data) return std::unexpected(data.error());
    const Buffer &params = given(options->params), &free = given(options->free), &transforms = given(options->transforms),
                 &prior_mean = given(options->prior_mean), &prior_var = given(options->prior_var),
                 &seeds = given(options->seeds), &natural = given(options->natural), &se = given(options->se),
                 &stats = given(options->stats), &status = given(options->status);

    // The layout is the caller's promise; a broken one must not become a read or write out of bounds.
    const std::size_t n = data->count(), k = kind.count, m = free.count();
    if (params.count() != k) return value_error("params has the wrong length for this model");
    if (m > engine::max_fit_free || transforms.count() != m || prior_mean.count() != m || prior_var.count() != m)
        return value_error("free, transforms and the priors must have one entry per free parameter, at most 8");
    if (data->starts.count() != n || seeds.count() != n || natural.count() != n * k || se.count() != n * m ||
        stats.count() != n * engine::fit_stat_count || status.count() != n)
        return value_error("engine buffers disagree in size");
    auto longest = participant_layout(*data, kind.width, !kind.self_fit());
    if (!longest) return std::unexpected(longest.error());
    auto n_options = options_for(kind, options->options, data->answers());
    if (!n_options) return std::unexpected(n_options.error());
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

    const std::optional<Buffer> &means = options->prior_means, &precision = options->prior_precision,
                                &first = options->first_starts, &theta = options->theta, &cov = options->cov;
    for (const auto& [b, name, size] : {std::tuple{&means, "prior_means", n * m}, {&precision, "prior_precision", m * m},
                                        {&first, "first_starts", n * m}, {&theta, "theta", n * m},
                                        {&cov, "cov", n * m * m}})
        if (auto ok = sized(*b, name, size); !ok) return std::unexpected(ok.error());
    const double log_det_precision = options->prior_log_det_precision;
    if (precision && !std::isfinite(log_det_precision)) return value_error("the prior's log det must be finite");
    // Checked as the shared prior is: a NaN mean leaves every fit without an estimate, and a precision
    // that is not positive definite makes the log joint unbounded below, which a fit would call converged.
    if (means) {
        const double* first_mean = means->data<const double>();
        if (!std::all_of(first_mean, first_mean + n * m, [](double x) { return std::isfinite(x); }))
            return value_error("prior means must be finite");
    }
    if (precision) {
        laplace::Matrix a{}, lower{};
        std::copy_n(precision->data<const double>(), m * m, a.begin());
        bool symmetric = true;  // up to the rounding of an inverse
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t j = 0; j < i; ++j)
                symmetric = symmetric && std::abs(a[i * m + j] - a[j * m + i]) <=
                                             1e-9 * std::sqrt(std::abs(a[i * m + i] * a[j * m + j]));
        if (!symmetric || !laplace::cholesky(a, m, lower))
            return value_error("prior_precision must be symmetric and positive definite");
    }

    engine::FitSettings settings;
    settings.params = {params.data<const double>(), k};
    settings.free = {parameters.data(), m};
    settings.n_starts = static_cast<std::size_t>(options->n_starts);
    if (precision) {
        settings.prior_precision = {precision->data<const double>(), m * m};
        settings.prior_log_det_precision = log_det_precision;
    }
    engine::FitTask task{kind.model,
                         kind.response,
                         kind.present,
                         data->values.data<const double>(),
                         {data->first(), n},
                         {data->length(), n},
                         data->responses_data(),
                         *n_options,
                         settings,
                         seeds.data<const std::uint64_t>(),
                         natural.data<double>(),
                         se.data<double>(),
                         stats.data<double>(),
                         status.data<std::int64_t>()};
    task.prior_means = means ? means->data<const double>() : nullptr;
    task.first_starts = first ? first->data<const double>() : nullptr;
    task.theta = theta ? theta->data<double>() : nullptr;
    task.cov = cov ? cov->data<double>() : nullptr;
    auto bounds = engine::chunk_bounds(n, *longest, fit_chunk_trials);
    const std::size_t chunks = bounds.size() - 1;
    engine::FitRunner runner(task, std::move(bounds));
    // One participant gains nothing from a thread of its own.
    auto done = run_workers(runner, chunks, n <= 1, static_cast<std::size_t>(options->threads));
    if (!done) return std::unexpected(done.error());
    return Object::borrow(Py_None);
}

// evaluate(model, response, values, starts, lengths, responses | None, *, params, draws,
//          optional=0, threads, out)
// Each participant's negative log-likelihood at each of its `draws` natural parameter vectors
// (see EvalTask); +inf where the model fails.
PyResult<Object> evaluate(PyObject* args, PyObject* kwargs) {
    const char *model_name = nullptr, *response = nullptr;
    PyObject *values_obj, *starts_obj, *lengths_obj, *responses_obj;
    if (!PyArg_ParseTuple(args, "ssOOOO", &model_name, &response, &values_obj, &starts_obj, &lengths_obj,
                          &responses_obj))
        return failed();
    static constexpr std::array accepted{input("params", &Options::params), count("draws", &Options::draws),
                                         count("optional", &Options::optional, false),
                                         count("threads", &Options::threads), output("out", &Options::out),
                                         count("options", &Options::options, false)};
    auto options = parse_options("evaluate", kwargs, accepted);
    if (!options) return std::unexpected(options.error());
    auto likelihood = likelihood_kind(model_name, response, options->optional);
    if (!likelihood) return std::unexpected(likelihood.error());
    const LikelihoodKind kind = *likelihood;
    if (options->draws < 1 || options->threads < 1) return value_error("draws and threads must be positive");
    auto data = participants_of(values_obj, starts_obj, lengths_obj, responses_obj);
    if (!data) return std::unexpected(data.error());
    const Buffer &params = given(options->params), &out = given(options->out);
    const std::size_t n = data->count(), d = static_cast<std::size_t>(options->draws);
    if (data->starts.count() != n || !holds(params.count(), n, d, kind.count) || !holds(out.count(), n, d))
        return value_error("engine buffers disagree in size");
    auto longest = participant_layout(*data, kind.width, !kind.self_fit());
    if (!longest) return std::unexpected(longest.error());
    auto n_options = options_for(kind, options->options, data->answers());
    if (!n_options) return std::unexpected(n_options.error());
    const engine::EvalTask task{kind.model,
                                kind.response,
                                kind.present,
                                data->values.data<const double>(),
                                {data->first(), n},
                                {data->length(), n},
                                data->responses_data(),
                                *n_options,
                                kind.count,
                                d,
                                params.data<const double>(),
                                out.data<double>()};
    // A pass per draw: chunks of about as many trials as a fit's.
    auto bounds = engine::chunk_bounds(n, *longest * d / 64 + 1, fit_chunk_trials);
    const std::size_t chunks = bounds.size() - 1;
    engine::EvalRunner runner(task, std::move(bounds));
    auto done = run_workers(runner, chunks, n <= 1, static_cast<std::size_t>(options->threads));
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
