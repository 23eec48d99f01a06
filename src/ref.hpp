// Owning references to Python objects.
//
// A Ref owns one strong reference, or nothing. It is made only through
// steal() (take over a new reference) or borrow() (add one to a borrowed
// pointer), so every place that makes one says which it is. Moving empties
// the source; the destructor releases; release() hands the reference out.
#pragma once

#include <Python.h>

namespace orvane {

class Ref {
public:
    Ref() = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        PyObject *old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        Py_XDECREF(old);  // store first, release after: safe against re-entry
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    [[nodiscard]] static Ref steal(PyObject *p) noexcept { return Ref(p); }
    [[nodiscard]] static Ref borrow(PyObject *p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject *get() const noexcept { return p_; }
    [[nodiscard]] PyObject *release() noexcept {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

[[nodiscard]] inline Ref steal(PyObject *p) noexcept { return Ref::steal(p); }
[[nodiscard]] inline Ref borrow(PyObject *p) noexcept { return Ref::borrow(p); }

}  // namespace orvane
