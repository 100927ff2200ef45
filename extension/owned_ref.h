// An owned (strong) reference, released when it goes out of scope. The bodies are written
// as the Python statements they stand for, with an early return at every failure; this
// keeps that style free of manual DECREFs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vexa_ext {

class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : object_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    void reset(PyObject* owned = nullptr) { Py_XSETREF(object_, owned); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

}  // namespace vexa_ext
