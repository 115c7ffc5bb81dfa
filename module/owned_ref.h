// A strong reference to a Python object, released on every path out of its
// scope unless taken.
#ifndef VYN_OWNED_REF_H
#define VYN_OWNED_REF_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

class owned_ref {
public:
    explicit owned_ref(PyObject* object) : object_(object) {}
    owned_ref(const owned_ref&) = delete;
    owned_ref& operator=(const owned_ref&) = delete;
    ~owned_ref() { Py_XDECREF(object_); }
    PyObject* get() const { return object_; }
    PyObject* release() {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }

private:
    PyObject* object_;
};

#endif
