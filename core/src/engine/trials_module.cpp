#include "trials_module.hpp"

#include <atomic>
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
                                  const Buffer& params) {
    if (params.count() != kind.count) return value_error("params has the wrong length for this model");
    if (inputs.count() % kind.width != 0) return value_error("inputs must hold whole trials");
    const std::size_t trials = inputs.count() / kind.width;
    if (responses && responses->count() != trials) return value_error("responses must be one per trial");
    if (kind.self_fit() == responses.has_value())
        return value_error("responses must be None for 'observations' and given otherwise");
    return Participant{{kind.model, kind.response, kind.present, doubles(inputs), doubles(responses), doubles(params)},
                       trials};
}

PyResult<Object> checked_out(std::span<double> out, std::size_t trials) {
    if (out.size() != trials) return value_error("outputs must hold one value per trial");
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
    static constexpr std::array accepted{input("params", &Options::params), output("loglik", &Options::loglik),
                                         maybe(output("belief", &Options::belief)),
                                         count("optional", &Options::optional, false)};
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
    auto p = participant(*kind, *inputs, responses, present_option(options->params));
    if (!p) return std::unexpected(p.error());
    const std::span<double> loglik = doubles(present_option(options->loglik)), belief = doubles(options->belief);
    if (auto ok = checked_out(loglik, p->trials); !ok) return ok;
    if (options->belief)
        if (auto ok = checked_out(belief, p->trials); !ok) return ok;
    return unlocked_run(p->task, [&](const engine::Likelihood& task) {
        return engine::trial_logliks(task, loglik, belief);
    });
}

PyResult<Object> simulate_responses(PyObject* args, PyObject* kwargs) {
    const char *model = nullptr, *response = nullptr;
    PyObject *inputs_obj, *seed_obj;
    if (!PyArg_ParseTuple(args, "ssOO", &model, &response, &inputs_obj, &seed_obj)) return failed();
    static constexpr std::array accepted{input("params", &Options::params), output("out", &Options::out),
                                         maybe(output("belief", &Options::belief)),
                                         count("optional", &Options::optional, false)};
    auto options = parse_options("simulate_responses", kwargs, accepted);
    if (!options) return std::unexpected(options.error());
    auto seed = to_seed(seed_obj);
    if (!seed) return name_conversion_failure("seed");
    auto kind = likelihood_kind(model, response, options->optional);
    if (!kind) return std::unexpected(kind.error());
    auto inputs = Buffer::get(inputs_obj, "inputs", 'f', false);
    if (!inputs) return std::unexpected(inputs.error());
    // The drawn responses stand where a fit's would be read: the layout checks are the same.
    const std::optional<Buffer>& out = options->out;
    auto p = participant(*kind, *inputs, out, present_option(options->params));
    if (!p) return std::unexpected(p.error());
    const std::span<double> belief = doubles(options->belief);
    if (options->belief)
        if (auto ok = checked_out(belief, p->trials); !ok) return ok;
    return unlocked_run(p->task, [&](const engine::Likelihood& task) {
        return engine::simulate_responses(task, *seed, doubles(out), belief);
    });
}

}  // namespace velmora::py
