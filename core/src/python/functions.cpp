#include "functions.hpp"

#include <string>

#include "../discounting.hpp"
#include "../forward_model.hpp"
#include "../hgf.hpp"
#include "../kalman.hpp"
#include "../learning.hpp"
#include "convert.hpp"
#include "entry.hpp"
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

// The list functions' defaults are the models' own (their descriptions, next to their equations).
constexpr Signature<6> kalman_sig{
    "kalman_run",
    {{{"initial_mean"}, {"initial_var"}, {"observations"}, {"process_noise"}, {"obs_noise"},
      {"prior_precision_cap", 0.0, true}}},
    5,
    "Run the 1-D Kalman filter; returns `[(mean, var), ...]` per step."};

PyResult<Object> kalman_run(PyObject* args, PyObject* kwargs) {
    auto a = parse<Float, Float, Floats, Float, Float, OptionalFloat>(kalman_sig, args, kwargs);
    if (!a) return std::unexpected(a.error());
    auto& [initial_mean, initial_var, observations, process_noise, obs_noise, cap] = *a;
    return to_python(kalman::run({initial_mean, initial_var, process_noise, obs_noise, cap}, observations.span()));
}

constexpr Signature<8> hgf_sig{
    "hgf_run",
    {{{"observations"},
      {"obs_noise"},
      {"precision_flexibility"},
      {"base_process_noise", list_default<hgf::Description>("base_process_noise")},
      {"mu1", list_default<hgf::Description>("mu1")},
      {"var1", list_default<hgf::Description>("var1")},
      {"mu2", list_default<hgf::Description>("mu2")},
      {"var2", list_default<hgf::Description>("var2")}}},
    3,
    "Run the volatility-coupled HGF; returns one tuple per step:\n"
    "`(t, prediction, observation, precision, prediction_error, learning_rate, volatility)`."};

PyResult<Object> hgf_run(PyObject* args, PyObject* kwargs) {
    auto a = parse<Floats, Float, Float, Float, Float, Float, Float, Float>(hgf_sig, args, kwargs);
    if (!a) return std::unexpected(a.error());
    // var2 is converted so that a bad value is still reported, but the filter has no use for it.
    auto& [observations, obs_noise, flexibility, base_noise, mu1, var1, mu2, var2] = *a;
    (void)var2;
    return to_python(hgf::run({obs_noise, flexibility, base_noise, mu1, var1, mu2}, observations.span()));
}

constexpr Signature<6> td_sig{
    "td_learn_sequence",
    {{{"initial_value"}, {"rewards"}, {"learning_rate"}, {"discount_factor"}, {"rpe_noise_std"}, {"seed"}}},
    6,
    "Learn a value estimate across a reward sequence; returns the value trajectory."};

PyResult<Object> td_learn_sequence(PyObject* args, PyObject* kwargs) {
    auto a = parse<Float, Floats, Float, Float, Float, Seed>(td_sig, args, kwargs);
    if (!a) return std::unexpected(a.error());
    // discount_factor is converted so that a bad value is still reported; the rule does not use it.
    auto& [initial_value, rewards, learning_rate, discount_factor, noise_std, seed] = *a;
    (void)discount_factor;
    return to_python(learning::td_learn_sequence({initial_value, learning_rate, noise_std, seed}, rewards.span()));
}

constexpr Signature<3> discounted_sig{"discounted_value",
                                      {{{"reward"}, {"delay"}, {"discount_factor"}}},
                                      3,
                                      "Subjective discounted value of `reward` after `delay` steps."};

PyResult<Object> discounted_value(PyObject* args, PyObject* kwargs) {
    auto a = parse<Float, Float, Float>(discounted_sig, args, kwargs);
    if (!a) return std::unexpected(a.error());
    auto [reward, delay, discount_factor] = *a;
    return build_float(discounting::discounted_value(reward, delay, discount_factor));
}

constexpr Signature<5> forward_sig{
    "forward_simulate",
    {{{"motor_command"}, {"update_rate"}, {"injury_noise_std"}, {"sensory_gain"}, {"seed"}}},
    5,
    "Simulate the self-motion forward model; returns `(t, predicted, actual, mismatch)` per step."};

PyResult<Object> forward_simulate(PyObject* args, PyObject* kwargs) {
    auto a = parse<Floats, Float, Float, Float, Seed>(forward_sig, args, kwargs);
    if (!a) return std::unexpected(a.error());
    auto& [motor_command, update_rate, noise_std, gain, seed] = *a;
    return to_python(forward_model::simulate({update_rate, noise_std, gain, seed}, motor_command.span()));
}

// Docstrings live as long as the process, like the function objects that point at them.
template <Wrapper F, std::size_t N>
PyMethodDef described(const Signature<N>& sig) {
    static const std::string doc = docstring(sig, sig.description);
    return method<F>(sig.function, doc.c_str());
}

}  // namespace

std::span<PyMethodDef> method_table() {
    static PyMethodDef methods[] = {
        described<kalman_run>(kalman_sig),
        described<hgf_run>(hgf_sig),
        described<td_learn_sequence>(td_sig),
        described<discounted_value>(discounted_sig),
        described<forward_simulate>(forward_sig),
    };
    return methods;
}

}  // namespace velmora::py
