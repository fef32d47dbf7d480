// Owning references to interpreter objects.
//
// A `ref` owns exactly one reference (or none). It is made only through `ref::steal`
// (take over a new reference, as returned by most C API calls) or `ref::borrow` (add a
// reference of our own to a borrowed pointer); there is no implicit conversion from a raw
// pointer. `release()` hands the reference back to C code, `get()` lends it.
#pragma once

#include "compat.hpp"

#include <utility>

namespace quarn {

class ref {
public:
    ref() noexcept = default;
    ref(const ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    ref(ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~ref() { Py_XDECREF(p_); }

    ref& operator=(ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    /// Takes over a new reference (NULL allowed).
    [[nodiscard]] static ref steal(PyObject* p) noexcept { return ref(p); }
    /// Adds a reference of our own to a borrowed pointer (NULL allowed).
    [[nodiscard]] static ref borrow(PyObject* p) noexcept { return ref(Py_XNewRef(p)); }

    /// Lends the pointer; the reference stays here.
    PyObject* get() const noexcept { return p_; }
    /// Hands the reference to the caller and forgets it.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    /// Returns a new reference to the object (NULL stays NULL).
    [[nodiscard]] PyObject* new_ref() const noexcept { return Py_XNewRef(p_); }
    /// Drops the reference, if any.
    void reset() noexcept { Py_CLEAR(p_); }

    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

/// A reference kept in static storage for as long as the runtime that made it.
///
/// It has no destructor on purpose: static destructors run after the interpreter has
/// been finalised, when releasing a reference is no longer safe. `reset()` drops it
/// while that is still safe (a failed module load); `abandon()` forgets it without
/// touching it, once the runtime it belongs to has been finalised (its object went with
/// that runtime). It lends its pointer implicitly.
class static_ref {
public:
    constexpr static_ref() noexcept = default;
    static_ref(const static_ref&) = delete;
    static_ref& operator=(const static_ref&) = delete;

    /// Stores `value`, dropping what was held before.
    void set(ref value) noexcept {
        PyObject* old = p_;
        p_ = value.release();
        Py_XDECREF(old);
    }
    void reset() noexcept { Py_CLEAR(p_); }
    void abandon() noexcept { p_ = nullptr; }

    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }

private:
    PyObject* p_ = nullptr;
};

/// Shorthands for the two ways of making an owning handle.
[[nodiscard]] inline ref steal(PyObject* p) noexcept { return ref::steal(p); }
[[nodiscard]] inline ref borrow(PyObject* p) noexcept { return ref::borrow(p); }

}  // namespace quarn
