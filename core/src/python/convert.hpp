// Binding of call arguments to declared parameters, their conversion, and result building.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "handle.hpp"

namespace velmora::py {

// One declared parameter; all are positional-or-keyword.
struct Param {
    const char* name;
    double default_value = 0.0;  // used only for an omitted optional double
};

// A function's parameter description: its name, its parameters in order and how many lead as required.
struct Signature {
    const char* function;
    std::span<const Param> params;
    std::size_t required;
};

inline constexpr std::size_t max_params = 8;
// Owned, because converting one argument may run code that drops the caller's other references
// (a C caller's keyword dictionary can change under us); empty marks an omitted argument.
using Slots = std::array<Object, max_params>;

// Fills one slot per parameter from the positional tuple and the keyword dictionary, or raises the
// TypeError of the call's shape.
PyResult<Slots> bind(const Signature& sig, PyObject* args, PyObject* kwargs);

// Conversions of one argument; on failure the interpreter's exception is pending, not yet renamed.
PyResult<double> to_double(PyObject* obj);
PyResult<std::vector<double>> to_doubles(PyObject* obj);
PyResult<std::uint64_t> to_seed(PyObject* obj);

// Renames a pending exact TypeError after the argument it came from; other exceptions pass unchanged.
std::unexpected<Raised> name_conversion_failure(const char* param);

// Native types of parameters; each knows how to convert a bound slot.
struct Float {
    using type = double;
    static PyResult<double> convert(PyObject* obj, const Param& p) { return obj ? to_double(obj) : p.default_value; }
};
struct OptionalFloat {
    using type = std::optional<double>;
    static PyResult<type> convert(PyObject* obj, const Param&) {
        if (!obj || obj == Py_None) return std::nullopt;
        return to_double(obj);
    }
};
struct Floats {
    using type = std::vector<double>;
    static PyResult<type> convert(PyObject* obj, const Param&) { return to_doubles(obj); }
};
struct Seed {
    using type = std::uint64_t;
    static PyResult<type> convert(PyObject* obj, const Param&) { return to_seed(obj); }
};

// Binds, then converts in parameter order; the first failure ends the call.
template <class... Kinds>
PyResult<std::tuple<typename Kinds::type...>> parse(const Signature& sig, PyObject* args, PyObject* kwargs) {
    auto slots = bind(sig, args, kwargs);
    if (!slots) return std::unexpected(slots.error());
    std::tuple<std::optional<typename Kinds::type>...> converted;
    bool ok = true;
    std::size_t i = 0;
    auto step = [&]<class Kind>(std::optional<typename Kind::type>& out) {
        if (!ok) return;
        const Param& p = sig.params[i];
        if (auto value = Kind::convert((*slots)[i].get(), p))
            out.emplace(std::move(*value));
        else {
            name_conversion_failure(p.name);
            ok = false;
        }
        ++i;
    };
    std::apply([&](auto&... outs) { (step.template operator()<Kinds>(outs), ...); }, converted);
    if (!ok) return std::unexpected(Raised{});
    return std::apply([](auto&... outs) { return std::tuple<typename Kinds::type...>(std::move(*outs)...); },
                      converted);
}

PyResult<Object> build_float(double value);
PyResult<Object> build_list(std::span<const double> values);
PyResult<Object> new_list(std::size_t size);
PyResult<Object> build_tuple(std::span<const double> fields);

// A vector of records of doubles becomes a list of tuples of floats, fields in declaration order.
template <class Row>
PyResult<Object> build_rows(const std::vector<Row>& rows) {
    constexpr std::size_t width = sizeof(Row) / sizeof(double);
    static_assert(sizeof(Row) == width * sizeof(double) && std::is_trivially_copyable_v<Row>,
                  "a result row must be a plain record of doubles");
    auto list = new_list(rows.size());
    if (!list) return list;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto fields = std::bit_cast<std::array<double, width>>(rows[i]);
        auto tuple = build_tuple(fields);
        if (!tuple) return std::unexpected(tuple.error());
        PyList_SetItem(list->get(), static_cast<Py_ssize_t>(i), tuple->release());
    }
    return list;
}

}  // namespace velmora::py
