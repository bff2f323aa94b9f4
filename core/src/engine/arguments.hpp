// How the array engine's entry points read their arguments: the model and likelihood named, and
// the options, keyword-only, each parsed here by name and kind, so that no call site depends on a
// long positional order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <variant>

#include "../python/handle.hpp"
#include "../response.hpp"
#include "buffers.hpp"
#include "models.hpp"
#include "objective.hpp"

namespace velmora::py {

inline PyResult<std::size_t> model_named(const char* name) {
    if (auto index = engine::model_index(name)) return *index;
    PyErr_Format(PyExc_ValueError, "unknown model '%s'", name);
    return std::unexpected(Raised{});
}

inline bool no_keywords(PyObject* kwargs) {
    if (kwargs && PyDict_Size(kwargs) > 0) {
        PyErr_SetString(PyExc_TypeError, "internal engine functions take positional arguments only");
        return false;
    }
    return true;
}

// Which optional parameters a parameter vector holds: bit j for the model's j-th (True: the first).
inline PyResult<engine::OptionalMask> mask_of(std::size_t model, Py_ssize_t mask) {
    const auto valid_for = [&]<class M>() { return engine::valid_mask<M>(engine::OptionalMask(mask)); };
    const bool valid = mask >= 0 && engine::visit_model(model, valid_for);
    if (!valid) return value_error("optional names an optional parameter the model does not have");
    return engine::OptionalMask(mask);
}

// The likelihood a fit or an objective call names: its model, the inputs' own density
// ("observations") or a response model's, the optional parameters present, the length of its
// parameter vector and the doubles of one trial's input.
struct LikelihoodKind {
    std::size_t model;
    std::size_t response;
    engine::OptionalMask present;
    std::size_t count;
    std::size_t width;

    bool self_fit() const { return visit_entry<response::Kinds>(response, []<class R>() { return R::self_fit; }); }
    bool chooses() const { return engine::visit_model(model, []<class M>() { return velmora::chooses<M>; }); }
    bool over_options() const {
        return visit_entry<response::Kinds>(response, []<class R>() { return R::over_options; });
    }
    std::size_t option_values() const {
        return engine::visit_model(model, []<class M>() { return velmora::option_values_of<M>; });
    }
};

// K for a model that chooses among options, from 2 to max_options, with its responses checked to
// be options' indices or NaN (missed), since the model indexes its per-option state by them; 0 for
// any other model, which takes no `options`.
inline PyResult<std::size_t> options_for(const LikelihoodKind& kind, Py_ssize_t options,
                                         std::span<const double> responses) {
    if (!kind.chooses() && !kind.over_options()) {
        if (options != 0) return value_error("options is for a model that chooses among options");
        return std::size_t{0};
    }
    if (!kind.chooses()) {
        // A choice rule over the option values the model hands each trial: as many options as those.
        const auto own = static_cast<Py_ssize_t>(kind.option_values());
        if (options != 0 && options != own) return value_error("options must be the model's own option values' count");
        options = own;
    }
    if (options < 2 || static_cast<std::size_t>(options) > max_options) {
        PyErr_Format(PyExc_ValueError, "options must be from 2 to %zu", max_options);
        return std::unexpected(Raised{});
    }
    for (std::size_t t = 0; t < responses.size(); ++t) {
        const double c = responses[t];
        if (!std::isnan(c) && !(c >= 0.0 && c < static_cast<double>(options) && c == std::floor(c))) {
            const Object got = Object::steal(PyFloat_FromDouble(c));
            if (!got) return failed();
            PyErr_Format(PyExc_ValueError, "responses: a choice is an option's index from 0 to %zd or NaN, got %R at row %zu",
                         options - 1, got.get(), t);
            return std::unexpected(Raised{});
        }
    }
    return static_cast<std::size_t>(options);
}

inline PyResult<LikelihoodKind> likelihood_kind(const char* model_name, const char* response_name, Py_ssize_t mask) {
    auto model = model_named(model_name);
    if (!model) return std::unexpected(model.error());
    const std::optional<std::size_t> response = index_named<response::Kinds>(response_name);
    if (!response) {
        PyErr_Format(PyExc_ValueError, "unknown response model '%s'", response_name);
        return std::unexpected(Raised{});
    }
    auto present = mask_of(*model, mask);
    if (!present) return std::unexpected(present.error());
    const std::optional<std::size_t> count = engine::likelihood_param_count(*model, *response, *present);
    if (!count) return value_error("this model has no likelihood of that kind");
    return LikelihoodKind{*model, *response, *present, *count, engine::input_width_of(*model)};
}

// The keyword options of the entry points, each held as its kind once read. An option not given
// keeps its default here (a buffer: none).
struct Options {
    std::optional<Buffer> params, seeds, out, gradient, free, transforms, prior_mean, prior_var, natural, se,
        stats, status, prior_means, prior_precision, theta, cov, first_starts, loglik, belief, fields, probabilities,
        payoffs, outcomes;
    Py_ssize_t optional = 0, stride = 0, threads = 1, n_starts = 1, draws = 1, options = 0;
    double prior_log_det_precision = 0.0;
};

// One keyword option: its name, where it is held, and for a buffer its item kind, whether it is
// written, and whether None stands for leaving it out.
struct Option {
    const char* name;
    std::variant<std::optional<Buffer> Options::*, Py_ssize_t Options::*, double Options::*> slot;
    char kind = 'f';
    bool writable = false;
    bool nullable = false;
    bool required = true;
};

constexpr Option input(const char* name, std::optional<Buffer> Options::* slot, char kind = 'f') {
    return {name, slot, kind, false, false, true};
}
constexpr Option output(const char* name, std::optional<Buffer> Options::* slot, char kind = 'f') {
    return {name, slot, kind, true, false, true};
}
constexpr Option maybe(Option o) {
    o.nullable = true;
    o.required = false;
    return o;
}
constexpr Option count(const char* name, Py_ssize_t Options::* slot, bool required = true) {
    return {name, slot, 'n', false, false, required};
}
constexpr Option real(const char* name, double Options::* slot) { return {name, slot, 'd', false, false, false}; }

// Reads the call's keywords by `accepted`: every one named there and given is converted to its
// kind (a buffer's kind and writability checked), a keyword it does not name or a required one
// missing is a TypeError naming `function`.
inline PyResult<Options> parse_options(const char* function, PyObject* kwargs, std::span<const Option> accepted) {
    Options options;
    std::array<bool, 32> seen{};
    if (accepted.size() > seen.size()) throw Panic("an entry point accepts more options than parse_options reads");
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t at = 0;
        while (PyDict_Next(kwargs, &at, &key, &value)) {
            const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, nullptr) : nullptr;
            std::size_t j = 0;
            while (name && j < accepted.size() && std::string_view(accepted[j].name) != name) ++j;
            if (!name || j == accepted.size()) {
                if (!PyErr_Occurred())
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument %R", function, key);
                return std::unexpected(Raised{});
            }
            seen[j] = true;
        }
    }
    for (std::size_t j = 0; j < accepted.size(); ++j) {
        const Option& o = accepted[j];
        if (!seen[j]) {
            if (!o.required) continue;
            PyErr_Format(PyExc_TypeError, "%s() missing required keyword argument '%s'", function, o.name);
            return std::unexpected(Raised{});
        }
        // A reference of our own: converting one option may run code that changes the dictionary.
        const Object value = Object::borrow(PyDict_GetItemString(kwargs, o.name));
        if (!value) return failed();
        if (const auto* buffer = std::get_if<std::optional<Buffer> Options::*>(&o.slot)) {
            if (o.nullable && value.get() == Py_None) continue;
            auto held = Buffer::get(value.get(), o.name, o.kind, o.writable);
            if (!held) return std::unexpected(held.error());
            (options.**buffer).emplace(std::move(*held));
        } else if (const auto* integer = std::get_if<Py_ssize_t Options::*>(&o.slot)) {
            const Py_ssize_t n = PyLong_AsSsize_t(value.get());
            if (n == -1 && PyErr_Occurred()) return std::unexpected(Raised{});
            options.*(*integer) = n;
        } else {
            const double x = PyFloat_AsDouble(value.get());
            if (x == -1.0 && PyErr_Occurred()) return std::unexpected(Raised{});
            options.*std::get<double Options::*>(o.slot) = x;
        }
    }
    return options;
}

// The positional part shared by the entry points over participants: the participants' inputs,
// where each starts and how long it is, and (for a likelihood) their responses or None.
inline PyResult<Participants> participants_of(PyObject* values, PyObject* starts, PyObject* lengths,
                                              PyObject* responses) {
    Participants p;
    auto v = Buffer::get(values, "values", 'f', false);
    if (!v) return std::unexpected(v.error());
    auto s = Buffer::get(starts, "starts", 'i', false);
    if (!s) return std::unexpected(s.error());
    auto l = Buffer::get(lengths, "lengths", 'i', false);
    if (!l) return std::unexpected(l.error());
    p.values = std::move(*v);
    p.starts = std::move(*s);
    p.lengths = std::move(*l);
    if (responses && responses != Py_None) {
        auto r = Buffer::get(responses, "responses", 'f', false);
        if (!r) return std::unexpected(r.error());
        p.responses.emplace(std::move(*r));
    }
    return p;
}

}  // namespace velmora::py
