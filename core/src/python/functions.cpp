#include "functions.hpp"

#include <exception>

#include "../forward_model.hpp"
#include "../hgf.hpp"
#include "../kalman.hpp"
#include "../learning.hpp"
#include "convert.hpp"
#include "exceptions.hpp"

namespace velmora::py {

namespace {

// A computation's value becomes Python objects; its error becomes the exception of its kind.
template <class T>
PyResult<Object> to_python(Result<std::vector<T>> result) {
    if (!result) return raise(std::move(result.error()));
    if constexpr (std::is_same_v<T, double>)
        return build_list(*result);
    else
        return build_rows(*result);
}

constexpr Param kalman_params[] = {{"initial_mean"}, {"initial_var"}, {"observations"},
                                   {"process_noise"}, {"obs_noise"},   {"prior_precision_cap"}};
constexpr Signature kalman_sig{"kalman_run", kalman_params, 5};

PyResult<Object> kalman_run(PyObject* args, PyObject* kwargs) {
    auto a = parse<Float, Float, Floats, Float, Float, OptionalFloat>(kalman_sig, args, kwargs);
    if (!a) return std::unexpected(a.error());
    auto& [initial_mean, initial_var, observations, process_noise, obs_noise, cap] = *a;
    return to_python(kalman::run(initial_mean, initial_var, std::move(observations), process_noise, obs_noise, cap));
}

constexpr Param hgf_params[] = {{"observations"},      {"obs_noise"}, {"precision_flexibility"},
                                {"base_process_noise", 0.01}, {"mu1", 0.0}, {"var1", 1.0},
                                {"mu2", 0.0},                 {"var2", 1.0}};
constexpr Signature hgf_sig{"hgf_run", hgf_params, 3};

PyResult<Object> hgf_run(PyObject* args, PyObject* kwargs) {
    auto a = parse<Floats, Float, Float, Float, Float, Float, Float, Float>(hgf_sig, args, kwargs);
    if (!a) return std::unexpected(a.error());
    // var2 is converted so that a bad value is still reported, but the filter has no use for it.
    auto& [observations, obs_noise, flexibility, base_noise, mu1, var1, mu2, var2] = *a;
    (void)var2;
    return to_python(hgf::run(std::move(observations), obs_noise, flexibility, base_noise, mu1, var1, mu2));
}

constexpr Param td_params[] = {{"initial_value"},   {"rewards"},       {"learning_rate"},
                               {"discount_factor"}, {"rpe_noise_std"}, {"seed"}};
constexpr Signature td_sig{"td_learn_sequence", td_params, 6};

PyResult<Object> td_learn_sequence(PyObject* args, PyObject* kwargs) {
    auto a = parse<Float, Floats, Float, Float, Float, Seed>(td_sig, args, kwargs);
    if (!a) return std::unexpected(a.error());
    // discount_factor is converted so that a bad value is still reported; the rule does not use it.
    auto& [initial_value, rewards, learning_rate, discount_factor, noise_std, seed] = *a;
    (void)discount_factor;
    return to_python(learning::td_learn_sequence(initial_value, std::move(rewards), learning_rate, noise_std, seed));
}

constexpr Param discounted_params[] = {{"reward"}, {"delay"}, {"discount_factor"}};
constexpr Signature discounted_sig{"discounted_value", discounted_params, 3};

PyResult<Object> discounted_value(PyObject* args, PyObject* kwargs) {
    auto a = parse<Float, Float, Float>(discounted_sig, args, kwargs);
    if (!a) return std::unexpected(a.error());
    auto [reward, delay, discount_factor] = *a;
    return build_float(learning::discounted_value(reward, delay, discount_factor));
}

constexpr Param forward_params[] = {
    {"motor_command"}, {"update_rate"}, {"injury_noise_std"}, {"sensory_gain"}, {"seed"}};
constexpr Signature forward_sig{"forward_simulate", forward_params, 5};

PyResult<Object> forward_simulate(PyObject* args, PyObject* kwargs) {
    auto a = parse<Floats, Float, Float, Float, Seed>(forward_sig, args, kwargs);
    if (!a) return std::unexpected(a.error());
    auto& [motor_command, update_rate, noise_std, gain, seed] = *a;
    return to_python(forward_model::simulate(std::move(motor_command), update_rate, noise_std, gain, seed));
}

// Every call enters here: no C++ exception may unwind into the interpreter.
template <PyResult<Object> (*Wrapper)(PyObject*, PyObject*)>
PyObject* call_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    try {
        auto result = Wrapper(args, kwargs);
        return result ? result->release() : nullptr;
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unexpected failure in the native core");
    }
    return nullptr;
}

template <PyResult<Object> (*Wrapper)(PyObject*, PyObject*)>
constexpr PyMethodDef method(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_entry<Wrapper>)),
            METH_VARARGS | METH_KEYWORDS, doc};
}

// The docstring's first line is the text signature the interpreter shows through inspect.
PyMethodDef methods[] = {
    method<kalman_run>(
        "kalman_run",
        "kalman_run(initial_mean, initial_var, observations, process_noise, obs_noise, prior_precision_cap=None)\n"
        "--\n\n"
        "Run the 1-D Kalman filter; returns `[(mean, var), ...]` per step."),
    method<hgf_run>(
        "hgf_run",
        "hgf_run(observations, obs_noise, precision_flexibility, base_process_noise=0.01, mu1=0.0, var1=1.0, "
        "mu2=0.0, var2=1.0)\n--\n\n"
        "Run the volatility-coupled HGF; returns one tuple per step:\n"
        "`(t, prediction, observation, precision, prediction_error, learning_rate, volatility)`."),
    method<td_learn_sequence>(
        "td_learn_sequence",
        "td_learn_sequence(initial_value, rewards, learning_rate, discount_factor, rpe_noise_std, seed)\n--\n\n"
        "Learn a value estimate across a reward sequence; returns the value trajectory."),
    method<discounted_value>(
        "discounted_value",
        "discounted_value(reward, delay, discount_factor)\n--\n\n"
        "Subjective discounted value of `reward` after `delay` steps."),
    method<forward_simulate>(
        "forward_simulate",
        "forward_simulate(motor_command, update_rate, injury_noise_std, sensory_gain, seed)\n--\n\n"
        "Simulate the self-motion forward model; returns `(t, predicted, actual, mismatch)` per step."),
};

}  // namespace

std::span<PyMethodDef> method_table() { return methods; }

}  // namespace velmora::py
