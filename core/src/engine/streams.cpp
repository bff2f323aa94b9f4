#include "streams.hpp"

#include <algorithm>
#include <cstring>
#include <span>

#include "../discounting.hpp"
#include "../normal.hpp"
#include "../python/convert.hpp"
#include "arguments.hpp"
#include "batch.hpp"
#include "buffers.hpp"
#include "workers.hpp"

namespace velmora::py {

// normal(out, seed, loc, scale): fills `out` with the seeded stream, answering Ctrl-C between blocks.
PyResult<Object> normal(PyObject* args, PyObject* kwargs) {
    PyObject *out_obj, *seed_obj;
    double loc = 0.0, scale = 1.0;
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "OOdd", &out_obj, &seed_obj, &loc, &scale)) return failed();
    auto seed = to_seed(seed_obj);
    if (!seed) return name_conversion_failure("seed");
    auto out = Buffer::get(out_obj, "out", 'f', true);
    if (!out) return std::unexpected(out.error());
    SeededRng rng = SeededRng::from_seed(*seed);
    const std::span<double> all(out->data<double>(), out->count());
    auto done = in_blocks(all.size(), [&](std::size_t at, std::size_t count) {
        engine::fill_normal(all.subspan(at, count), rng, loc, scale);
    });
    if (!done) return std::unexpected(done.error());
    return Object::borrow(Py_None);
}

// seeds(out, seed): fills `out` with distinct seeds derived from one.
PyResult<Object> seeds(PyObject* args, PyObject* kwargs) {
    PyObject *out_obj, *seed_obj;
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "OO", &out_obj, &seed_obj)) return failed();
    auto seed = to_seed(seed_obj);
    if (!seed) return name_conversion_failure("seed");
    auto out = Buffer::get(out_obj, "out", 'u', true);
    if (!out) return std::unexpected(out.error());
    engine::derive_seeds({out->data<std::uint64_t>(), out->count()}, *seed);
    return Object::borrow(Py_None);
}

// uniform(out, seed): fills `out` with uniform deviates in [0, 1) from the seeded stream, one word each.
PyResult<Object> uniform(PyObject* args, PyObject* kwargs) {
    PyObject *out_obj, *seed_obj;
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "OO", &out_obj, &seed_obj)) return failed();
    auto seed = to_seed(seed_obj);
    if (!seed) return name_conversion_failure("seed");
    auto out = Buffer::get(out_obj, "out", 'f', true);
    if (!out) return std::unexpected(out.error());
    SeededRng rng = SeededRng::from_seed(*seed);
    double* const first = out->data<double>();
    auto done = in_blocks(out->count(), [&](std::size_t at, std::size_t count) {
        for (std::size_t i = at; i < at + count; ++i) first[i] = word_to_half_open(rng.next_word64());
    });
    if (!done) return std::unexpected(done.error());
    return Object::borrow(Py_None);
}

// discounted_value(reward, delay, discount_factor, out): the scalar function element by element
// over four buffers of one length.
PyResult<Object> discounted_value(PyObject* args, PyObject* kwargs) {
    PyObject *reward_obj, *delay_obj, *factor_obj, *out_obj;
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "OOOO", &reward_obj, &delay_obj, &factor_obj, &out_obj))
        return failed();
    auto reward = Buffer::get(reward_obj, "reward", 'f', false);
    if (!reward) return std::unexpected(reward.error());
    auto delay = Buffer::get(delay_obj, "delay", 'f', false);
    if (!delay) return std::unexpected(delay.error());
    auto factor = Buffer::get(factor_obj, "discount_factor", 'f', false);
    if (!factor) return std::unexpected(factor.error());
    auto out = Buffer::get(out_obj, "out", 'f', true);
    if (!out) return std::unexpected(out.error());
    const std::size_t n = out->count();
    if (reward->count() != n || delay->count() != n || factor->count() != n)
        return value_error("engine buffers disagree in size");
    const double *r = reward->data<const double>(), *d = delay->data<const double>(), *f = factor->data<const double>();
    double* const o = out->data<double>();
    auto done = in_blocks(n, [&](std::size_t at, std::size_t count) {
        for (std::size_t i = at; i < at + count; ++i) o[i] = discounting::discounted_value(r[i], d[i], f[i]);
    });
    if (!done) return std::unexpected(done.error());
    return Object::borrow(Py_None);
}

// as_double(obj, name), as_seed(obj, name), as_doubles(obj, name): the list functions' own
// conversions, so the array functions accept and reject exactly what they do, with their messages.
PyResult<Object> as_double(PyObject* args, PyObject* kwargs) {
    PyObject* obj;
    const char* name;
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "Os", &obj, &name)) return failed();
    auto value = to_double(obj);
    if (!value) return name_conversion_failure(name);
    return build_float(*value);
}

PyResult<Object> as_seed(PyObject* args, PyObject* kwargs) {
    PyObject* obj;
    const char* name;
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "Os", &obj, &name)) return failed();
    auto value = to_seed(obj);
    if (!value) return name_conversion_failure(name);
    Object seed = Object::steal(PyLong_FromUnsignedLongLong(*value));
    if (!seed) return failed();
    return seed;
}

PyResult<Object> as_doubles(PyObject* args, PyObject* kwargs) {
    PyObject* obj;
    const char* name;
    if (!no_keywords(kwargs) || !PyArg_ParseTuple(args, "Os", &obj, &name)) return failed();
    auto values = to_doubles(obj);
    if (!values) return name_conversion_failure(name);
    const auto span = values->span();
    Object bytes = Object::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(span.size_bytes())));
    if (!bytes) return failed();
    if (!span.empty()) std::memcpy(PyByteArray_AsString(bytes.get()), span.data(), span.size_bytes());
    return bytes;
}

}  // namespace velmora::py
