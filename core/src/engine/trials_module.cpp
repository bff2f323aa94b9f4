#include "trials_module.hpp"

#include <atomic>
#include <cmath>
#include <tuple>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "../python/convert.hpp"
#include "arguments.hpp"
#include "buffers.hpp"
#include "trials.hpp"

namespace velmora::py {

namespace {

const Buffer& present_option(const std::optional<Buffer>& b) {
    if (!b) throw Panic("a required option was not read");
    return *b;
}

std::span<double> doubles(const Buffer& b) { return {b.data<double>(), b.count()}; }
std::span<double> doubles(const std::optional<Buffer>& b) { return b ? doubles(*b) : std::span<double>{}; }

// The arguments both entry points share: which likelihood, the participant's data and the
// parameter vector, checked against one another as the objective checks them.
struct Participant {
    engine::Likelihood task;
    std::size_t trials = 0;
};

PyResult<Participant> participant(const LikelihoodKind& kind, const Buffer& inputs, const std::optional<Buffer>& responses,
                                  const Buffer& params, Py_ssize_t options, bool drawn = false) {
    if (params.count() != kind.count) return value_error("params has the wrong length for this model");
    if (inputs.count() % kind.width != 0) return value_error("inputs must hold whole trials");
    const std::size_t trials = inputs.count() / kind.width;
    if (responses && responses->count() != trials) return value_error("responses must be one per trial");
    if (kind.self_fit() == responses.has_value())
        return value_error("responses must be None for 'observations' and given otherwise");
    // Responses still to be drawn hold nothing to check.
    auto n_options = options_for(kind, options, drawn ? std::span<const double>() : doubles(responses));
    if (!n_options) return std::unexpected(n_options.error());
    Participant p{{kind.model, kind.response, kind.present, doubles(inputs), doubles(responses), doubles(params)}, trials};
    p.task.options = *n_options;
    return p;
}

PyResult<Object> checked_out(std::span<double> out, std::size_t trials, std::size_t per_trial = 1) {
    if (out.size() != trials * per_trial) return value_error("outputs must hold one value per trial (K for options)");
    return Object::borrow(Py_None);
}

// Runs `f(task)` without the interpreter lock, polling for signals every so many trials as the
// objective's long passes do; None, the model's failure as (kind, message), or the interrupt raised.
template <class F>
PyResult<Object> unlocked_run(engine::Likelihood task, F&& f) {
    std::atomic<bool> stop = false;
    bool interrupted = false;
    PyThreadState* state = PyEval_SaveThread();
    const engine::Poll poll = [&] {
        PyEval_RestoreThread(state);
        interrupted = PyErr_CheckSignals() < 0;
        state = PyEval_SaveThread();
        if (interrupted) stop.store(true, std::memory_order_relaxed);
    };
    task.poll = &poll;
    task.stop = &stop;
    Result<void> done;
    try {
        done = f(task);
    } catch (...) {
        PyEval_RestoreThread(state);
        throw;
    }
    PyEval_RestoreThread(state);
    if (interrupted) return std::unexpected(Raised{});
    if (done) return Object::borrow(Py_None);
    const std::string message = done.error().to_string();
    Object failure = Object::steal(Py_BuildValue("(ns#)", static_cast<Py_ssize_t>(done.error().kind.index()),
                                                 message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!failure) return failed();
    return failure;
}

}  // namespace

PyResult<Object> trial_logliks(PyObject* args, PyObject* kwargs) {
    const char *model = nullptr, *response = nullptr;
    PyObject *inputs_obj, *responses_obj;
    if (!PyArg_ParseTuple(args, "ssOO", &model, &response, &inputs_obj, &responses_obj)) return failed();
    static constexpr std::array accepted{input("params", &Options::params),
                                         maybe(output("loglik", &Options::loglik)),
                                         maybe(output("belief", &Options::belief)),
                                         maybe(output("fields", &Options::fields)),
                                         maybe(output("probabilities", &Options::probabilities)),
                                         count("optional", &Options::optional, false),
                                         count("options", &Options::options, false)};
    auto options = parse_options("trial_logliks", kwargs, accepted);
    if (!options) return std::unexpected(options.error());
    auto kind = likelihood_kind(model, response, options->optional);
    if (!kind) return std::unexpected(kind.error());
    auto inputs = Buffer::get(inputs_obj, "inputs", 'f', false);
    if (!inputs) return std::unexpected(inputs.error());
    std::optional<Buffer> responses;
    if (responses_obj != Py_None) {
        auto r = Buffer::get(responses_obj, "responses", 'f', false);
        if (!r) return std::unexpected(r.error());
        responses.emplace(std::move(*r));
    }
    auto p = participant(*kind, *inputs, responses, present_option(options->params), options->options);
    if (!p) return std::unexpected(p.error());
    const std::size_t k = p->task.options;
    const engine::TrialOutputs out{doubles(options->loglik), doubles(options->belief), doubles(options->fields),
                                   doubles(options->probabilities)};
    for (const auto& [given, span, per_trial] :
         {std::tuple{options->loglik.has_value(), out.loglik, std::size_t{1}},
          {options->belief.has_value(), out.belief, k == 0 ? 1 : k},
          {options->fields.has_value(), out.fields, engine::trial_field_count(kind->model, k)},
          {options->probabilities.has_value(), out.probabilities, k}})
        if (given)
            if (auto ok = checked_out(span, p->trials, per_trial); !ok) return ok;
    if (options->probabilities && k == 0) return value_error("probabilities are for a response model over options");
    return unlocked_run(p->task, [&](const engine::Likelihood& task) { return engine::trial_logliks(task, out); });
}

PyResult<Object> simulate_responses(PyObject* args, PyObject* kwargs) {
    const char *model = nullptr, *response = nullptr;
    PyObject *inputs_obj, *seed_obj;
    if (!PyArg_ParseTuple(args, "ssOO", &model, &response, &inputs_obj, &seed_obj)) return failed();
    static constexpr std::array accepted{input("params", &Options::params), output("out", &Options::out),
                                         maybe(output("belief", &Options::belief)),
                                         maybe(output("outcomes", &Options::outcomes)),
                                         count("optional", &Options::optional, false),
                                         count("options", &Options::options, false)};
    auto options = parse_options("simulate_responses", kwargs, accepted);
    if (!options) return std::unexpected(options.error());
    auto seed = to_seed(seed_obj);
    if (!seed) return name_conversion_failure("seed");
    auto kind = likelihood_kind(model, response, options->optional);
    if (!kind) return std::unexpected(kind.error());
    auto inputs = Buffer::get(inputs_obj, "inputs", 'f', false);
    if (!inputs) return std::unexpected(inputs.error());
    const std::optional<Buffer>& out = options->out;
    if (kind->chooses()) {
        // A closed loop: the inputs are the payoffs, K per trial; choices and outcomes are drawn.
        const Py_ssize_t k = options->options;
        if (k < 2 || static_cast<std::size_t>(k) > max_options) return value_error("options must be from 2 to 32");
        const std::size_t trials = inputs->count() / static_cast<std::size_t>(k);
        if (inputs->count() % static_cast<std::size_t>(k) != 0) return value_error("payoffs must hold K per trial");
        if (!options->outcomes || out->count() != trials || options->outcomes->count() != trials)
            return value_error("out and outcomes must hold one value per trial");
        if (options->belief) return value_error("belief is not drawn in a closed loop");
        // Checked as an input would be, before any work: the model learns from the payoff it receives.
        for (double r : doubles(*inputs))
            if (std::isinf(r)) return value_error("payoffs must be finite or NaN (no outcome shown)");
        const Buffer& params = present_option(options->params);
        if (params.count() != kind->count) return value_error("params has the wrong length for this model");
        engine::Likelihood task{kind->model, kind->response, kind->present, {}, {}, doubles(params)};
        task.options = static_cast<std::size_t>(k);
        const std::span<const double> payoffs = doubles(*inputs);
        return unlocked_run(task, [&](const engine::Likelihood& t) {
            return engine::simulate_choices(t, payoffs, *seed, doubles(out), doubles(options->outcomes));
        });
    }
    // The drawn responses stand where a fit's would be read: the layout checks are the same.
    auto p = participant(*kind, *inputs, out, present_option(options->params), options->options, true);
    if (!p) return std::unexpected(p.error());
    const std::span<double> belief = doubles(options->belief);
    if (options->belief)
        if (auto ok = checked_out(belief, p->trials); !ok) return ok;
    return unlocked_run(p->task, [&](const engine::Likelihood& task) {
        return engine::simulate_responses(task, *seed, doubles(out), belief);
    });
}

}  // namespace velmora::py
