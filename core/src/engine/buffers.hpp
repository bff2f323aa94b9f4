// The array engine's buffers: NumPy arrays (or any buffer) held for the length of a call, and the
// one check of the participants' layout that every entry point over participants makes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <span>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "../python/handle.hpp"

namespace velmora::py {

inline std::unexpected<Raised> value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return std::unexpected(Raised{});
}

// A held buffer of 8-byte items of one kind ('f' float64, 'i' int64, 'u' uint64), C-contiguous.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            if (held_) PyBuffer_Release(&view_);
            view_ = other.view_;
            held_ = std::exchange(other.held_, false);
        }
        return *this;
    }
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    static PyResult<Buffer> get(PyObject* obj, const char* name, char kind, bool writable) {
        Buffer b;
        const int flags = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &b.view_, flags) < 0) return failed();
        b.held_ = true;
        const std::string_view format = b.view_.format ? b.view_.format : "B";
        const char code = format.empty() ? '?' : format.back();
        const bool matches = kind == 'f'   ? code == 'd'
                             : kind == 'i' ? (code == 'q' || code == 'l')
                                           : (code == 'Q' || code == 'L');
        if (b.view_.itemsize != 8 || !matches) {
            PyErr_Format(PyExc_TypeError, "%s: expected a buffer of 8-byte items of kind '%c'", name, kind);
            return std::unexpected(Raised{});
        }
        return b;
    }

    std::size_t count() const { return static_cast<std::size_t>(view_.len) / 8; }
    template <class T>
    T* data() const {
        return static_cast<T*>(view_.buf);
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Whether trials [start, start + length) of `width` doubles each lie within `count` doubles.
inline bool within(std::int64_t start, std::int64_t length, std::size_t width, std::size_t count) {
    const auto first = static_cast<std::size_t>(start), n = static_cast<std::size_t>(length);
    return first <= count / width && n <= count / width - first;
}

// Whether `count` items are exactly a * b * c: a product that wraps around (a huge stride or draw
// count) would otherwise pass the size check and lead to writes far out of bounds.
inline bool holds(std::size_t count, std::size_t a, std::size_t b, std::size_t c = 1) {
    std::size_t ab = 0, abc = 0;
    return !__builtin_mul_overflow(a, b, &ab) && !__builtin_mul_overflow(ab, c, &abc) && count == abc;
}

// The participants of a call: their trials' inputs back to back (`width` doubles a trial), where
// each one's trials start and how many it has, and, for a likelihood of responses, one response
// per trial.
struct Participants {
    Buffer values, starts, lengths;
    std::optional<Buffer> responses;

    std::size_t count() const { return lengths.count(); }
    const std::int64_t* first() const { return starts.data<const std::int64_t>(); }
    const std::int64_t* length() const { return lengths.data<const std::int64_t>(); }
    const double* responses_data() const { return responses ? responses->data<const double>() : nullptr; }
    std::span<const double> answers() const {
        return responses ? std::span<const double>(responses->data<const double>(), responses->count())
                         : std::span<const double>();
    }
};

// The layout of participants' data is the caller's promise; a broken one must not become a read
// or write out of bounds. Checks it for trials of `width` doubles, with responses exactly when
// `with_responses`, and gives the longest participant's trials.
inline PyResult<std::size_t> participant_layout(const Participants& p, std::size_t width, bool with_responses) {
    if (p.values.count() % width != 0) return value_error("values must hold whole trials");
    if (with_responses != p.responses.has_value() ||
        (p.responses && p.responses->count() != p.values.count() / width))
        return value_error("responses must be None for 'observations' and one per trial otherwise");
    const std::size_t n = p.count();
    if (p.starts.count() != n) return value_error("engine buffers disagree in size");
    std::size_t longest = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t start = p.first()[i], length = p.length()[i];
        if (start < 0 || length < 0 || !within(start, length, width, p.values.count()))
            return value_error("engine subject bounds out of range");
        longest = std::max(longest, static_cast<std::size_t>(length));
    }
    return longest;
}

}  // namespace velmora::py
