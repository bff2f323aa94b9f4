// Binding of call arguments to declared parameters, their conversion, and result building.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "handle.hpp"

namespace velmora::py {

// One declared parameter; all are positional-or-keyword. Parameters past a signature's required
// ones have a default: `default_value`, or None where `defaults_to_none` is set.
struct Argument {
    const char* name;
    double default_value = 0.0;
    bool defaults_to_none = false;
};

// A function's parameters in order, how many lead as required, and what it does: the one place
// its signature is written down (the docstring's signature line is generated from it).
template <std::size_t N>
struct Signature {
    const char* function;
    std::array<Argument, N> params;
    std::size_t required;
    const char* description;
};

// The size-independent view that binding and messages need.
struct SignatureView {
    const char* function;
    std::span<const Argument> params;
    std::size_t required;

    template <std::size_t N>
    constexpr SignatureView(const Signature<N>& sig) : function(sig.function), params(sig.params), required(sig.required) {}
};

// "name(a, b, c=0.01, d=None)\n--\n\n" followed by the description: the form from which the
// interpreter takes a builtin's text signature.
std::string docstring(SignatureView sig, const char* description);

// Owned, because converting one argument may run code that drops the caller's other references
// (a C caller's keyword dictionary can change under us); empty marks an omitted argument.
template <std::size_t N>
using Slots = std::array<Object, N>;

// Fills one slot per parameter from the positional tuple and the keyword dictionary, or raises the
// TypeError of the call's shape.
PyResult<void> bind(SignatureView sig, PyObject* args, PyObject* kwargs, std::span<Object> slots);

// A sequence of doubles, read in place from a buffer of native doubles or copied from the items
// of any other sequence. Holds the buffer until it is dropped, so the exporter cannot resize it.
class Doubles {
public:
    Doubles() = default;
    explicit Doubles(std::vector<double> owned) : owned_(std::move(owned)), span_(owned_) {}
    explicit Doubles(const Py_buffer& view) : view_(view), held_(true),
        span_(static_cast<const double*>(view.buf), static_cast<std::size_t>(view.len) / sizeof(double)) {}
    Doubles(Doubles&& other) noexcept { *this = std::move(other); }
    Doubles& operator=(Doubles&& other) noexcept {
        if (this == &other) return *this;
        release();
        owned_ = std::move(other.owned_);
        view_ = other.view_;
        held_ = std::exchange(other.held_, false);
        span_ = held_ ? other.span_ : std::span<const double>(owned_);
        other.span_ = {};
        return *this;
    }
    ~Doubles() { release(); }

    std::span<const double> span() const { return span_; }

private:
    void release() noexcept {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    std::vector<double> owned_;
    Py_buffer view_{};
    bool held_ = false;
    std::span<const double> span_;
};

// Conversions of one argument; on failure the interpreter's exception is pending, not yet renamed.
PyResult<double> to_double(PyObject* obj);
PyResult<Doubles> to_doubles(PyObject* obj);
PyResult<std::uint64_t> to_seed(PyObject* obj);

// Clears a pending exception that is an ordinary Exception and says so; an interrupt or an exit
// (anything else derived from BaseException) stays pending, since the user asked to stop.
bool clear_if_ordinary();

// Renames a pending exact TypeError after the argument it came from; other exceptions pass unchanged.
std::unexpected<Raised> name_conversion_failure(const char* param);

// Native types of parameters; each knows how to convert a bound slot.
struct Float {
    using type = double;
    static PyResult<double> convert(PyObject* obj, const Argument& p) { return obj ? to_double(obj) : p.default_value; }
};
struct OptionalFloat {
    using type = std::optional<double>;
    static PyResult<type> convert(PyObject* obj, const Argument&) {
        if (!obj || obj == Py_None) return std::nullopt;
        return to_double(obj);
    }
};
struct Floats {
    using type = Doubles;
    static PyResult<type> convert(PyObject* obj, const Argument&) { return to_doubles(obj); }
};
struct Seed {
    using type = std::uint64_t;
    static PyResult<type> convert(PyObject* obj, const Argument&) { return to_seed(obj); }
};

// Binds, then converts in parameter order; the first failure ends the call.
template <class... Kinds, std::size_t N>
PyResult<std::tuple<typename Kinds::type...>> parse(const Signature<N>& sig, PyObject* args, PyObject* kwargs) {
    static_assert(sizeof...(Kinds) == N, "one parameter kind per declared parameter");
    Slots<N> slots{};
    if (auto bound = bind(sig, args, kwargs, slots); !bound) return std::unexpected(bound.error());
    std::tuple<std::optional<typename Kinds::type>...> converted;
    bool ok = true;
    std::size_t i = 0;
    auto step = [&]<class Kind>(std::optional<typename Kind::type>& out) {
        if (!ok) return;
        const Argument& p = sig.params[i];
        if (auto value = Kind::convert(slots[i].get(), p))
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
