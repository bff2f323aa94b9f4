#include "description.hpp"

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "../model.hpp"
#include "../python/convert.hpp"
#include "../response.hpp"
#include "arguments.hpp"
#include "models.hpp"

namespace velmora::py {

namespace {

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

PyResult<Object> flag(bool b) { return Object::borrow(b ? Py_True : Py_False); }

PyResult<Object> whole(std::size_t n) {
    Object number = Object::steal(PyLong_FromSize_t(n));
    if (!number) return failed();
    return number;
}

PyResult<Object> number_or_none(std::optional<double> x) {
    if (!x) return Object::borrow(Py_None);
    return build_float(*x);
}

// A dict filled key by key; the first failure leaves its exception pending.
class Dict {
public:
    static PyResult<Dict> make() {
        Dict d;
        d.dict_ = Object::steal(PyDict_New());
        if (!d.dict_) return failed();
        return d;
    }
    bool set(const char* key, PyResult<Object> value) {
        return value && PyDict_SetItemString(dict_.get(), key, value->get()) == 0;
    }
    bool set(std::string_view key, PyResult<Object> value) {
        auto name = str(key);
        return name && value && PyDict_SetItem(dict_.get(), name->get(), value->get()) == 0;
    }
    Object take() { return std::move(dict_); }

private:
    Object dict_;
};

// A fitted parameter: {"transform": name, "prior": (mean, variance), "held": value | None,
// "held_for_responses": value | None}.
PyResult<Object> fit_facts(const velmora::Param& p) {
    auto d = Dict::make();
    if (!d) return std::unexpected(d.error());
    Object prior = Object::steal(Py_BuildValue("(dd)", p.prior.mean, p.prior.var));
    if (!prior) return failed();
    if (!d->set("transform", str(transform_name(p.transform))) || !d->set("prior", std::move(prior)) ||
        !d->set("held", number_or_none(p.held)) || !d->set("held_for_responses", number_or_none(p.held_for_responses)))
        return failed();
    return d->take();
}

// Parameter name -> fit_facts, for the fitted ones of `params`, in order.
PyResult<Object> fitted_params(std::span<const velmora::Param> params) {
    auto d = Dict::make();
    if (!d) return std::unexpected(d.error());
    for (const velmora::Param& p : params)
        if (p.fitted() && !d->set(p.name, fit_facts(p))) return failed();
    return d->take();
}

// Response model -> parameter -> (mean, variance): the model's own default priors for its
// response models' parameters.
template <class M>
PyResult<Object> response_priors() {
    auto all = Dict::make();
    if (!all) return std::unexpected(all.error());
    for (std::string_view r : M::responses) {
        auto one = Dict::make();
        if (!one) return std::unexpected(one.error());
        bool any = false;
        for (const ResponsePrior& p : response_priors_of<M>) {
            if (p.response != r) continue;
            any = true;
            Object pair = Object::steal(Py_BuildValue("(dd)", p.prior.mean, p.prior.var));
            if (!pair || !one->set(p.param, std::move(pair))) return failed();
        }
        if (any && !all->set(r, one->take())) return failed();
    }
    return all->take();
}

// One model's entry of the report.
template <class M>
PyResult<Object> describe() {
    std::vector<std::string_view> params, optional, noise, fields(M::fields.begin(), M::fields.end()), not_fitted;
    for (const velmora::Param& p : M::params) {
        params.push_back(p.name);
        if (p.optional) optional.push_back(p.name);
        if (p.noise) noise.push_back(p.name);
    }
    if (M::self_fit) fields.push_back("loglik");
    const std::vector<std::string_view> inputs(M::inputs.begin(), M::inputs.end());
    // The list function's arguments that change no likelihood: those the model never reads, its
    // noise (a likelihood is of the noiseless model) and the seed of that noise.
    if constexpr (engine::is_fitted<M>) {
        for (const velmora::Param& p : list_only_params<M>) not_fitted.push_back(p.name);
        not_fitted.insert(not_fitted.end(), noise.begin(), noise.end());
        if (M::seeded) not_fitted.push_back("seed");
    }
    auto defaults = Dict::make();  // the list function's defaults of the model's own parameters; None: absent
    if (!defaults) return std::unexpected(defaults.error());
    for (const velmora::Param& p : M::params)
        if ((p.optional || p.list_default) && !defaults->set(p.name, number_or_none(p.list_default))) return failed();
    auto list_only = Dict::make();  // the list function's arguments the model never reads, and their defaults
    if (!list_only) return std::unexpected(list_only.error());
    for (const velmora::Param& p : list_only_params<M>)
        if (!list_only->set(p.name, number_or_none(p.list_default))) return failed();
    auto entry = Dict::make();
    if (!entry) return std::unexpected(entry.error());
    if (!entry->set("name", str(M::name)) || !entry->set("params", str_tuple(params)) ||
        !entry->set("list_only", list_only->take()) || !entry->set("optional", str_tuple(optional)) || !entry->set("noise", str_tuple(noise)) ||
        !entry->set("fields", str_tuple(fields)) || !entry->set("inputs", str_tuple(inputs)) ||
        !entry->set("seeded", flag(M::seeded)) || !entry->set("self_fit", flag(M::self_fit)) ||
        !entry->set("fits_responses", flag(M::fits_responses)) || !entry->set("responses", str_tuple(M::responses)) ||
        !entry->set("fitted", fitted_params(M::params)) || !entry->set("defaults", defaults->take()) ||
        !entry->set("not_fitted", str_tuple(not_fitted)) || !entry->set("chooses", flag(chooses<M>)) ||
        !entry->set("option_fields", str_tuple(option_fields<M>)) ||
        !entry->set("option_values", whole(option_values_of<M>)) ||
        !entry->set("response_priors", response_priors<M>()) ||
        !entry->set("missing_inputs", flag(missing_inputs_of<M>)) ||
        !entry->set("binary_inputs", flag(binary_inputs_of<M>)))
        return failed();
    return entry->take();
}

// One response model's entry: its parameters in the order they follow the model's, their fit
// facts, whether it is the inputs' own density, whether its responses are choices, and how far
// inside (0, 1) a probability model takes a belief at either end (else 0).
template <class R>
PyResult<Object> describe_response() {
    std::vector<std::string_view> params;
    for (const velmora::Param& p : R::params) params.push_back(p.name);
    double margin = 0.0;
    if constexpr (requires { R::margin; }) margin = R::margin;
    auto entry = Dict::make();
    if (!entry) return std::unexpected(entry.error());
    if (!entry->set("name", str(R::name)) || !entry->set("params", str_tuple(params)) ||
        !entry->set("fitted", fitted_params(R::params)) || !entry->set("self_fit", flag(R::self_fit)) ||
        !entry->set("choices", flag(R::choices)) || !entry->set("over_options", flag(R::over_options)) ||
        !entry->set("margin", build_float(margin)))
        return failed();
    return entry->take();
}

template <class Table, class Describe>
PyResult<Object> report(PyObject* args, PyObject* kwargs, Describe&& describe_one) {
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "")) return failed();
    constexpr std::size_t n = std::tuple_size_v<Table>;
    Object all = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!all) return failed();
    for (std::size_t i = 0; i < n; ++i) {
        auto entry = visit_entry<Table>(i, describe_one);
        if (!entry || PyTuple_SetItem(all.get(), static_cast<Py_ssize_t>(i), entry->release()) < 0) return failed();
    }
    return all;
}

}  // namespace

PyResult<Object> models(PyObject* args, PyObject* kwargs) {
    return report<engine::Models>(args, kwargs, []<class M>() { return describe<M>(); });
}

PyResult<Object> responses(PyObject* args, PyObject* kwargs) {
    return report<response::Kinds>(args, kwargs, []<class R>() { return describe_response<R>(); });
}

}  // namespace velmora::py
