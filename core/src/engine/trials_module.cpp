#include "trials_module.hpp"

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "../python/convert.hpp"
#include "trials.hpp"

namespace velmora::py {

namespace {

// A held, C-contiguous float64 buffer.
class FloatBuffer {
public:
    FloatBuffer() = default;
    FloatBuffer(const FloatBuffer&) = delete;
    FloatBuffer& operator=(const FloatBuffer&) = delete;
    FloatBuffer(FloatBuffer&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}
    ~FloatBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // None gives an empty buffer where `optional`.
    static PyResult<FloatBuffer> get(PyObject* obj, const char* name, bool writable, bool optional = false) {
        FloatBuffer b;
        if (optional && obj == Py_None) return b;
        const int flags = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &b.view_, flags) < 0) return failed();
        b.held_ = true;
        const std::string_view format = b.view_.format ? b.view_.format : "B";
        if (b.view_.itemsize != 8 || format.empty() || format.back() != 'd') {
            PyErr_Format(PyExc_TypeError, "%s: expected a buffer of 8-byte items of kind 'f'", name);
            return std::unexpected(Raised{});
        }
        return b;
    }

    std::span<double> span() const {
        if (!held_) return {};
        return {static_cast<double*>(view_.buf), static_cast<std::size_t>(view_.len) / 8};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

std::unexpected<Raised> value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return std::unexpected(Raised{});
}

// The arguments both entry points share: which likelihood, the participant's data and the
// parameter vector, checked against one another as the objective checks them.
struct Participant {
    engine::Likelihood task;
    std::size_t trials = 0;
};

PyResult<Participant> participant(const char* model_name, const char* response_name, const FloatBuffer& inputs,
                                  const FloatBuffer& responses, bool no_responses, const FloatBuffer& params,
                                  Py_ssize_t given) {
    const std::optional<std::size_t> model = engine::model_index(model_name);
    if (!model) {
        PyErr_Format(PyExc_ValueError, "unknown model '%s'", model_name);
        return std::unexpected(Raised{});
    }
    const std::optional<std::size_t> response = index_named<response::Kinds>(response_name);
    if (!response) {
        PyErr_Format(PyExc_ValueError, "unknown response model '%s'", response_name);
        return std::unexpected(Raised{});
    }
    if (given < 0) return value_error("given names an optional parameter the model does not have");
    const std::optional<std::size_t> count =
        engine::likelihood_param_count(*model, *response, static_cast<engine::Given>(given));
    if (!count) return value_error("this model has no likelihood of that kind");
    if (params.span().size() != *count) return value_error("params has the wrong length for this model");
    const std::size_t width = engine::input_width_of(*model);
    if (inputs.span().size() % width != 0) return value_error("inputs must hold whole trials");
    const std::size_t trials = inputs.span().size() / width;
    const bool self_fit = visit_entry<response::Kinds>(*response, []<class R>() { return R::self_fit; });
    if (!no_responses && responses.span().size() != trials)
        return value_error("responses must be one per trial");
    if (self_fit != no_responses) return value_error("responses must be None for 'observations' and given otherwise");
    return Participant{
        {*model, *response, static_cast<engine::Given>(given), inputs.span(), responses.span(), params.span()}, trials};
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

bool no_keywords(PyObject* kwargs) {
    if (kwargs && PyDict_Size(kwargs) > 0) {
        PyErr_SetString(PyExc_TypeError, "internal engine functions take positional arguments only");
        return false;
    }
    return true;
}

}  // namespace

PyResult<Object> trial_logliks(PyObject* args, PyObject* kwargs) {
    const char *model = nullptr, *response = nullptr;
    PyObject *inputs_obj, *responses_obj, *params_obj, *loglik_obj, *belief_obj;
    Py_ssize_t given = 0;
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "ssOOOnOO", &model, &response, &inputs_obj, &responses_obj,
                                                  &params_obj, &given, &loglik_obj, &belief_obj))
        return failed();
    auto inputs = FloatBuffer::get(inputs_obj, "inputs", false);
    if (!inputs) return std::unexpected(inputs.error());
    auto responses = FloatBuffer::get(responses_obj, "responses", false, true);
    if (!responses) return std::unexpected(responses.error());
    auto params = FloatBuffer::get(params_obj, "params", false);
    if (!params) return std::unexpected(params.error());
    auto loglik = FloatBuffer::get(loglik_obj, "loglik", true);
    if (!loglik) return std::unexpected(loglik.error());
    auto belief = FloatBuffer::get(belief_obj, "belief", true, true);
    if (!belief) return std::unexpected(belief.error());
    auto p = participant(model, response, *inputs, *responses, responses_obj == Py_None, *params, given);
    if (!p) return std::unexpected(p.error());
    if (auto ok = checked_out(loglik->span(), p->trials); !ok) return ok;
    if (belief_obj != Py_None)
        if (auto ok = checked_out(belief->span(), p->trials); !ok) return ok;
    return unlocked_run(p->task, [&](const engine::Likelihood& task) {
        return engine::trial_logliks(task, loglik->span(), belief->span());
    });
}

PyResult<Object> simulate_responses(PyObject* args, PyObject* kwargs) {
    const char *model = nullptr, *response = nullptr;
    PyObject *inputs_obj, *params_obj, *seed_obj, *responses_obj, *belief_obj;
    Py_ssize_t given = 0;
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "ssOOnOOO", &model, &response, &inputs_obj, &params_obj,
                                                  &given, &seed_obj, &responses_obj, &belief_obj))
        return failed();
    auto seed = to_seed(seed_obj);
    if (!seed) return name_conversion_failure("seed");
    auto inputs = FloatBuffer::get(inputs_obj, "inputs", false);
    if (!inputs) return std::unexpected(inputs.error());
    auto params = FloatBuffer::get(params_obj, "params", false);
    if (!params) return std::unexpected(params.error());
    auto responses = FloatBuffer::get(responses_obj, "responses", true);
    if (!responses) return std::unexpected(responses.error());
    auto belief = FloatBuffer::get(belief_obj, "belief", true, true);
    if (!belief) return std::unexpected(belief.error());
    // The drawn responses stand where a fit's would be read: the layout checks are the same.
    auto p = participant(model, response, *inputs, *responses, false, *params, given);
    if (!p) return std::unexpected(p.error());
    if (belief_obj != Py_None)
        if (auto ok = checked_out(belief->span(), p->trials); !ok) return ok;
    return unlocked_run(p->task, [&](const engine::Likelihood& task) {
        return engine::simulate_responses(task, *seed, responses->span(), belief->span());
    });
}

}  // namespace velmora::py
