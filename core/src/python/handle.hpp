// Owning handle for Python references, and the marker for "an exception is pending".
#pragma once

#include <Python.h>

#include <expected>
#include <stdexcept>
#include <string>
#include <utility>

namespace velmora::py {

// Owns one strong reference; move-only, released in the destructor so no path can leak it.
class Object {
public:
    Object() noexcept = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    Object(Object&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Object& operator=(Object&& other) noexcept {
        Object(std::move(other)).swap(*this);
        return *this;
    }
    ~Object() { Py_XDECREF(ptr_); }

    // Takes over a new reference (possibly null, as returned by a failing C-API call).
    static Object steal(PyObject* ptr) noexcept { return Object(ptr); }
    // Adds a reference of our own to a borrowed one.
    static Object borrow(PyObject* ptr) noexcept {
        Py_XINCREF(ptr);
        return Object(ptr);
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference to the caller, typically back to the interpreter.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void swap(Object& other) noexcept { std::swap(ptr_, other.ptr_); }

private:
    explicit Object(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

// The failure side of every binding step: a Python exception is pending in the interpreter.
struct Raised {};

template <class T>
using PyResult = std::expected<T, Raised>;

// Called right after a C-API call reported failure: makes sure an exception is pending.
inline std::unexpected<Raised> failed() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return std::unexpected(Raised{});
}

// A broken invariant of the binding itself; caught at the call entry and raised as PanicException.
struct Panic : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace velmora::py
